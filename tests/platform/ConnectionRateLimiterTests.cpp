#include "platform/ConnectionRateLimiter.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

// A burst, then the rate; each address has its own bucket, and the memory of
// addresses is bounded (a forgotten one starts again with a full bucket).
TEST(ConnectionRateLimiter, BurstThenRatePerAddressWithBoundedMemory) {
    ConnectionRateLimiter limiter(2, 3);
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    const auto a = asio::ip::make_address("192.0.2.1");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.admit(a, t0));
    EXPECT_FALSE(limiter.admit(a, t0));
    EXPECT_FALSE(limiter.admit(a, t0 + 400ms)); // refusals take nothing, but 0.8 tokens are not one
    EXPECT_TRUE(limiter.admit(a, t0 + 500ms));
    EXPECT_FALSE(limiter.admit(a, t0 + 500ms));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("192.0.2.2"), t0 + 500ms));
    int admitted = 0;
    for (int i = 0; i < 5; ++i) admitted += limiter.admit(a, t0 + 1h) ? 1 : 0;
    EXPECT_EQ(admitted, 3); // a long idle earns the burst, not more

    while (limiter.admit(a, t0 + 2h - 1ms)) {
    }
    for (std::uint32_t i = 0; i < ConnectionRateLimiter::kMaximumSources; ++i) {
        limiter.admit(asio::ip::address_v4(0x0A000000 + i), t0 + 2h);
    }
    EXPECT_TRUE(limiter.admit(a, t0 + 2h)); // forgotten (seen longest ago), so full again
}

} // namespace
} // namespace velorinth
