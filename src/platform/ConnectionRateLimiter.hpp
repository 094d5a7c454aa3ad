#pragma once

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <map>

namespace velorinth {

// New connections per source (connectionSource: an IPv4 address or an IPv6
// /64) as a token bucket: `burst` at once, then `rate` a second. Remembers at
// most kMaximumSources sources; a bucket that has refilled is forgotten when
// room is needed, which loses nothing. While every remembered bucket is still
// refilling, unknown sources draw from one shared bucket: a flood from more
// sources than that earns no fresh burst per source. The listener's alone:
// one thread.
class ConnectionRateLimiter {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::size_t kMaximumSources = 1024;

    ConnectionRateLimiter(double rate, double burst) : rate_(rate), burst_(burst < 1 ? 1 : burst) {}

    // Takes a token for `peer`'s source; false when its bucket is empty.
    bool admit(const asio::ip::address& peer, TimePoint now = std::chrono::steady_clock::now());

private:
    struct Bucket {
        double tokens = 0;
        TimePoint refilledAt;
    };

    bool take(Bucket& bucket, TimePoint now) const;
    TimePoint fullAt(const Bucket& bucket) const;
    // Forgets the buckets full again by `now`; scans only once one may be.
    void forgetRefilled(TimePoint now);

    const double rate_;
    const double burst_;
    std::map<asio::ip::address, Bucket> buckets_;
    Bucket shared_{burst_, TimePoint::min()};
    TimePoint nextRefill_ = TimePoint::min(); // no remembered bucket is full before it
};

} // namespace velorinth
