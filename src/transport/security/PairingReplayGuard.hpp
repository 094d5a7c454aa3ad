#pragma once

#include "core/Date.hpp"
#include "core/Uuid.hpp"

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace velorinth {

// Remembers the pairing identifiers of recent handshakes so that a recorded
// request cannot be played again. Reconnections bypass the attempt limiter,
// so the memory is bounded: when it is full, the oldest identifier gives way
// only once it is older than any request the age window still admits;
// otherwise the new identifier is refused. Part of the memory is kept for
// requests whose initiator is a trusted device (proven by its TLS
// certificate before the guard is asked): strangers, however many, never
// fill that part, so they cannot lock a paired tablet out. Callable from any
// thread.
class PairingReplayGuard {
public:
    static constexpr std::size_t kDefaultCapacity = 65'536;
    // Twice the request age window: a request older than this fails its age
    // check anyway, so forgetting its identifier cannot let it replay.
    static constexpr std::chrono::duration<double> kMinimumEvictionAge{240.0};

    // A capacity of 0 is taken as 1. The reserve for trusted initiators is a
    // sixteenth of the capacity unless given (at most the capacity less one).
    explicit PairingReplayGuard(std::chrono::duration<double> retention, std::size_t capacity = kDefaultCapacity,
                                std::optional<std::size_t> trustedReserve = std::nullopt);

    // Records `pairingID` as seen at `now`. Throws PairingProtocolError
    // replayedHandshake when it was seen within the retention (an entry
    // exactly at the retention age still counts), or when the guard is full
    // and its oldest entry is too young to forget; for a stranger "full"
    // means everything but the reserve.
    void consume(const Uuid& pairingID, Date now, bool trustedInitiator = false);

    std::size_t size() const;

private:
    using ByTime = std::multimap<Date, Uuid>;

    void pruneLocked(Date now);

    const double retentionSeconds_;
    const std::size_t capacity_;
    const std::size_t trustedReserve_;
    mutable std::mutex mutex_;
    ByTime byTime_;
    std::unordered_map<Uuid, ByTime::iterator> byID_;
};

} // namespace velorinth
