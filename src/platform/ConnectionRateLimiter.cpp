#include "platform/ConnectionRateLimiter.hpp"

#include "platform/ConnectionSource.hpp"

#include <algorithm>

namespace velorinth {

bool ConnectionRateLimiter::admit(const asio::ip::address& peer, TimePoint now) {
    const asio::ip::address source = connectionSource(peer);
    auto found = buckets_.find(source);
    if (found == buckets_.end()) {
        if (buckets_.size() >= kMaximumSources) forgetRefilled(now);
        if (buckets_.size() >= kMaximumSources) return take(shared_, now);
        found = buckets_.emplace(source, Bucket{burst_, now}).first;
    }
    const bool admitted = take(found->second, now);
    nextRefill_ = std::min(nextRefill_, fullAt(found->second));
    return admitted;
}

bool ConnectionRateLimiter::take(Bucket& bucket, TimePoint now) const {
    if (bucket.refilledAt == TimePoint::min()) bucket.refilledAt = now;
    const std::chrono::duration<double> elapsed = now - bucket.refilledAt;
    bucket.tokens = std::min(burst_, bucket.tokens + std::max(0.0, elapsed.count()) * rate_);
    bucket.refilledAt = now;
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
}

ConnectionRateLimiter::TimePoint ConnectionRateLimiter::fullAt(const Bucket& bucket) const {
    const std::chrono::duration<double> missing((burst_ - bucket.tokens) / rate_);
    return bucket.refilledAt + std::chrono::duration_cast<TimePoint::duration>(missing);
}

void ConnectionRateLimiter::forgetRefilled(TimePoint now) {
    if (now < nextRefill_) return;
    TimePoint soonest = TimePoint::max();
    for (auto bucket = buckets_.begin(); bucket != buckets_.end();) {
        const TimePoint full = fullAt(bucket->second);
        if (full <= now) {
            bucket = buckets_.erase(bucket);
        } else {
            soonest = std::min(soonest, full);
            ++bucket;
        }
    }
    nextRefill_ = soonest;
}

} // namespace velorinth
