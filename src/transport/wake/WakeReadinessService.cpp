#include "transport/wake/WakeReadinessService.hpp"

#include "core/Constants.hpp"
#include "core/Json.hpp"
#include "core/WakeReadinessEvaluator.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace velorinth {

namespace {

// The stored item's content.
struct PersistedHostWakeRecord {
    std::optional<Date> lastVerifiedWakeAt;
};

} // namespace

namespace json {
template <>
struct JsonFields<PersistedHostWakeRecord> {
    static constexpr auto fields =
        std::make_tuple(member("lastVerifiedWakeAt", &PersistedHostWakeRecord::lastVerifiedWakeAt));
};
} // namespace json

WakeReadinessService::WakeReadinessService(std::shared_ptr<SystemWakeEnvironmentProbe> probe,
                                           std::shared_ptr<SecureStore> secureStore, WallClock clock)
    : probe_(std::move(probe)), secureStore_(std::move(secureStore)), clock_(std::move(clock)) {}

std::string WakeReadinessService::keychainService() { return applicationIdentifier(".host-wake-readiness"); }

HostWakeDiagnosticsSnapshot WakeReadinessService::diagnosticsSnapshot(std::optional<std::uint16_t> bonjourServicePort,
                                                                      bool remoteAccessEnabled, Date now) {
    loadStoredRecordIfNeeded();
    // Outside the lock: a record or clear may run meanwhile.
    const ObservedWakeEnvironment observation = probe_->observe(now);

    SavedWakeConfiguration configuration;
    configuration.targets = observation.interfaces;
    configuration.bonjourServicePort = bonjourServicePort;
    configuration.sleepProxyEligible = remoteAccessEnabled && bonjourServicePort && observation.sleepProxyEligible;
    configuration.wakeForNetworkAccess = observation.wakeForNetworkAccess;
    configuration.wakeOnlyOnACPower = observation.wakeOnlyOnACPower;
    configuration.lastKnownPowerSource = observation.powerSource;
    configuration.lastKnownPowerState = observation.powerState;
    configuration.updatedAt = observation.observedAt;
    {
        const std::lock_guard lock(mutex_);
        configuration.lastVerifiedWakeAt = cachedLastVerifiedWakeAt_;
    }

    HostWakeDiagnosticsSnapshot snapshot;
    snapshot.evaluation = WakeReadinessEvaluator::evaluate(HostAvailability::reachable, configuration, false, false,
                                                           now, kMaximumEvidenceAgeSeconds);
    snapshot.preflightGuidanceSteps = preflightGuidanceSteps(configuration, snapshot.evaluation);
    snapshot.configuration = std::move(configuration);
    return snapshot;
}

void WakeReadinessService::recordVerifiedWake(Date at) {
    const std::lock_guard lock(mutex_);
    loadStoredRecordLocked();
    if (!std::isfinite(at.timeIntervalSinceReferenceDate())) return; // no date at all: nothing to keep
    const Date now = clock_();
    // A wake cannot have happened after now: a date ahead of the clock would
    // otherwise pin the record until that date.
    const Date date = std::min(at, now);
    if (cachedLastVerifiedWakeAt_ && *cachedLastVerifiedWakeAt_ > date && *cachedLastVerifiedWakeAt_ <= now) return;
    cachedLastVerifiedWakeAt_ = date;
    try {
        secureStore_->save(json::encodeToBytes(PersistedHostWakeRecord{date}), keychainService(), keychainAccount);
    } catch (const std::exception&) {
        // Memory holds the date; the next launch reads the older one.
    }
}

void WakeReadinessService::clearVerifiedWake() {
    const std::lock_guard lock(mutex_);
    cachedLastVerifiedWakeAt_.reset();
    didLoadStore_ = true;
    try {
        secureStore_->deleteItem(keychainService(), keychainAccount);
    } catch (const std::exception&) {
        // Memory shows no wake; the next launch reads the old item.
    }
}

void WakeReadinessService::loadStoredRecordIfNeeded() {
    const std::lock_guard lock(mutex_);
    loadStoredRecordLocked();
}

void WakeReadinessService::loadStoredRecordLocked() {
    if (didLoadStore_) return;
    didLoadStore_ = true;
    try {
        const std::optional<Bytes> stored = secureStore_->load(keychainService(), keychainAccount);
        if (!stored) return;
        // Content that is not a record is left in place and reads as no date.
        if (auto record = json::tryDecodeFromBytes<PersistedHostWakeRecord>(*stored)) {
            cachedLastVerifiedWakeAt_ = record->lastVerifiedWakeAt;
        }
    } catch (const std::exception&) {
        // Unreadable: no verified wake is known until one is recorded.
    }
}

std::vector<std::string> WakeReadinessService::preflightGuidanceSteps(const SavedWakeConfiguration& configuration,
                                                                      const WakeCapabilityEvaluation& evaluation) {
    std::vector<std::string> steps;
    if (configuration.targets.empty()) {
        steps.emplace_back("Connect this Mac to your local Wi-Fi or a Wake-on-LAN-capable Ethernet adapter.");
    }
    if (configuration.wakeForNetworkAccess == Evidence<bool>::verified(false)) {
        steps.emplace_back("Open System Settings > Battery > Options (or Energy Saver) and set \u201CWake for network "
                           "access\u201D to Only on Power Adapter or Always.");
    }
    if (configuration.lastKnownPowerSource == PowerSourceCondition::batteryPower) {
        steps.emplace_back("Connect this Mac to its power adapter \u2014 Apple Silicon MacBooks commonly ignore "
                           "network wake packets while sleeping on battery.");
    }
    steps.emplace_back("Ensure your paired iPad has connected at least once while this Mac is awake so the latest "
                       "wake target is synced.");
    steps.emplace_back("Note: Velorinth Host cannot run code during true macOS system sleep. To verify end-to-end "
                       "wake, put this Mac to sleep via Apple menu > Sleep (keep the lid open on MacBooks unless "
                       "connected to AC power and an external display), wait 30 seconds, then tap Wake & Connect on "
                       "your iPad.");
    if (evaluation.requiresExternalWakeAssistance) {
        steps.emplace_back("Wi-Fi wake depends on your router and/or an Apple TV or HomePod acting as a Bonjour Sleep "
                           "Proxy on the same LAN. Wired Ethernet on AC power provides the highest reliability.");
    }
    return steps;
}

} // namespace velorinth
