#pragma once

#include "core/Date.hpp"
#include "core/Error.hpp"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string_view>
#include <vector>

namespace velorinth {

class PairingAttemptLimitError : public Error {
public:
    enum class Case { rateLimited };

    explicit PairingAttemptLimitError(Case kind = Case::rateLimited);
    static std::string_view text(Case kind);

    Case kind;
};

// Counts pairing attempts in a sliding window. An attempt counts while
// now − t ≤ interval; a refused attempt is not recorded, so a client that
// keeps hammering is admitted again as soon as the window moves on.
// Callable from any thread.
class PairingAttemptLimiter {
public:
    PairingAttemptLimiter(std::size_t maxAttempts, std::chrono::duration<double> interval);

    // Throws PairingAttemptLimitError rateLimited when `maxAttempts` attempts
    // already fall within the interval before `now`; records `now` otherwise.
    void recordAttempt(Date now);

private:
    const std::size_t maxAttempts_;
    const double intervalSeconds_;
    std::mutex mutex_;
    std::vector<Date> attempts_; // never more than maxAttempts_
};

} // namespace velorinth
