#pragma once

#include "core/Date.hpp"
#include "core/WakeModels.hpp"
#include "platform/SecureStore.hpp"
#include "transport/wake/SystemWakeEnvironmentProbe.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// The host's own wake configuration with its rating and the steps shown to the user.
struct HostWakeDiagnosticsSnapshot {
    SavedWakeConfiguration configuration;
    WakeCapabilityEvaluation evaluation;
    std::vector<std::string> preflightGuidanceSteps;

    bool operator==(const HostWakeDiagnosticsSnapshot&) const = default;
};

// The host's single source of its wake configuration, and the keeper of the
// last wake a paired tablet confirmed (across launches, in the secure store).
// No operation fails: store and coding errors are swallowed. Callable from
// any thread; the probe runs outside the lock and may block on the system.
class WakeReadinessService {
public:
    static constexpr std::string_view keychainAccount = "wake-state-v1";
    static constexpr double kMaximumEvidenceAgeSeconds = 604800; // 7 days

    // Reads nothing. `clock` bounds recorded dates (a wake cannot be later than now).
    WakeReadinessService(std::shared_ptr<SystemWakeEnvironmentProbe> probe, std::shared_ptr<SecureStore> secureStore,
                         WallClock clock = &Date::now);

    // "org.velorinth.host-wake-readiness".
    static std::string keychainService();

    // Observes the machine and builds its configuration: eligible for a sleep
    // proxy only with a port, remote access on and an eligible observation.
    // Carries the verified wake as it stood when the observation returned.
    HostWakeDiagnosticsSnapshot diagnosticsSnapshot(std::optional<std::uint16_t> bonjourServicePort,
                                                    bool remoteAccessEnabled, Date now);

    // Keeps min(at, now): an earlier date than the one kept changes nothing,
    // unless the kept one lies in the future.
    void recordVerifiedWake(Date at);
    // Forgets the date; the stored item is not read again in this process.
    void clearVerifiedWake();
    // Reads the stored item once in the life of the service, whatever came of it.
    void loadStoredRecordIfNeeded();

    static std::vector<std::string> preflightGuidanceSteps(const SavedWakeConfiguration& configuration,
                                                           const WakeCapabilityEvaluation& evaluation);

private:
    void loadStoredRecordLocked();

    const std::shared_ptr<SystemWakeEnvironmentProbe> probe_;
    const std::shared_ptr<SecureStore> secureStore_;
    const WallClock clock_;
    std::mutex mutex_;
    std::optional<Date> cachedLastVerifiedWakeAt_;
    bool didLoadStore_ = false;
};

} // namespace velorinth
