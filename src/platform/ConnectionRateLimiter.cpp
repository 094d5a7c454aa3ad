#include "platform/ConnectionRateLimiter.hpp"

#include <algorithm>

namespace velorinth {

bool ConnectionRateLimiter::admit(const asio::ip::address& source, TimePoint now) {
    auto found = buckets_.find(source);
    if (found == buckets_.end()) {
        if (buckets_.size() >= kMaximumSources) {
            auto stalest = std::min_element(buckets_.begin(), buckets_.end(), [](const auto& a, const auto& b) {
                return a.second.refilledAt < b.second.refilledAt;
            });
            buckets_.erase(stalest);
        }
        found = buckets_.emplace(source, Bucket{burst_, now}).first;
    }
    Bucket& bucket = found->second;
    const std::chrono::duration<double> elapsed = now - bucket.refilledAt;
    bucket.tokens = std::min(burst_, bucket.tokens + std::max(0.0, elapsed.count()) * rate_);
    bucket.refilledAt = now;
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
}

} // namespace velorinth
