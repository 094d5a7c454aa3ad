#pragma once

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <map>

namespace velorinth {

// New connections per source address as a token bucket: `burst` at once,
// then `rate` a second. Remembers at most kMaximumSources addresses; beyond
// that the one seen longest ago is forgotten (it starts again full). The
// listener's alone: one thread.
class ConnectionRateLimiter {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::size_t kMaximumSources = 1024;

    ConnectionRateLimiter(double rate, double burst) : rate_(rate), burst_(burst < 1 ? 1 : burst) {}

    // Takes a token for `source`; false when its bucket is empty.
    bool admit(const asio::ip::address& source, TimePoint now = std::chrono::steady_clock::now());

private:
    struct Bucket {
        double tokens = 0;
        TimePoint refilledAt;
    };

    const double rate_;
    const double burst_;
    std::map<asio::ip::address, Bucket> buckets_;
};

} // namespace velorinth
