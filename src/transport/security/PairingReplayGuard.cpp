#include "transport/security/PairingReplayGuard.hpp"

#include "transport/security/PairingProtocolError.hpp"

#include <algorithm>

namespace velorinth {

PairingReplayGuard::PairingReplayGuard(std::chrono::duration<double> retention, std::size_t capacity,
                                       std::optional<std::size_t> trustedReserve)
    : retentionSeconds_(retention.count()), capacity_(capacity == 0 ? 1 : capacity),
      trustedReserve_(std::min(trustedReserve.value_or(capacity_ / 16), capacity_ - 1)) {}

void PairingReplayGuard::consume(const Uuid& pairingID, Date now, bool trustedInitiator) {
    std::lock_guard lock(mutex_);
    pruneLocked(now);
    if (byID_.contains(pairingID)) throw PairingProtocolError(PairingProtocolError::Case::replayedHandshake);
    const std::size_t limit = trustedInitiator ? capacity_ : capacity_ - trustedReserve_;
    if (byTime_.size() >= limit) {
        auto oldest = byTime_.begin();
        if (!(now.timeIntervalSince(oldest->first) > kMinimumEvictionAge.count())) {
            throw PairingProtocolError(PairingProtocolError::Case::replayedHandshake);
        }
        byID_.erase(oldest->second);
        byTime_.erase(oldest);
    }
    auto entry = byTime_.emplace(now, pairingID);
    byID_.emplace(pairingID, entry);
}

std::size_t PairingReplayGuard::size() const {
    std::lock_guard lock(mutex_);
    return byTime_.size();
}

void PairingReplayGuard::pruneLocked(Date now) {
    while (!byTime_.empty()) {
        auto oldest = byTime_.begin();
        if (!(now.timeIntervalSince(oldest->first) > retentionSeconds_)) break;
        byID_.erase(oldest->second);
        byTime_.erase(oldest);
    }
}

} // namespace velorinth
