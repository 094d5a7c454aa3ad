#include "transport/security/PairingAttemptLimiter.hpp"

#include <algorithm>
#include <string>

namespace velorinth {

PairingAttemptLimitError::PairingAttemptLimitError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view PairingAttemptLimitError::text(Case kind) {
    switch (kind) {
    case Case::rateLimited: return "Too many pairing attempts. Wait a minute and try again.";
    }
    return {};
}

PairingAttemptLimiter::PairingAttemptLimiter(std::size_t maxAttempts, std::chrono::duration<double> interval)
    : maxAttempts_(maxAttempts), intervalSeconds_(interval.count()) {
    attempts_.reserve(maxAttempts_);
}

void PairingAttemptLimiter::recordAttempt(Date now) {
    std::lock_guard lock(mutex_);
    std::erase_if(attempts_, [&](Date t) { return now.timeIntervalSince(t) > intervalSeconds_; });
    if (attempts_.size() >= maxAttempts_) throw PairingAttemptLimitError(PairingAttemptLimitError::Case::rateLimited);
    attempts_.push_back(now);
}

} // namespace velorinth
