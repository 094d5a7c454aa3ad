#include "platform/ConnectionRateLimiter.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;

// A burst, then the rate; each address has its own bucket, and the memory of
// addresses is bounded (one still refilling is not forgotten for a newcomer).
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
    EXPECT_FALSE(limiter.admit(a, t0 + 2h)); // still refilling: remembered, so no fresh burst
}

// Every IPv6 address of one /64 draws from one bucket; a mapped IPv4 address
// from its IPv4 one.
TEST(LoopbackAdmissionSources, IPv6AddressesOfOneSlash64ShareARate) {
    ConnectionRateLimiter limiter(1, 2);
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("2001:db8:1:2::1"), t0));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("2001:db8:1:2:ffff:ffff:ffff:ffff"), t0));
    EXPECT_FALSE(limiter.admit(asio::ip::make_address("2001:db8:1:2:abcd::7"), t0));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("2001:db8:1:3::1"), t0));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("192.0.2.1"), t0));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("::ffff:192.0.2.1"), t0));
    EXPECT_FALSE(limiter.admit(asio::ip::make_address("192.0.2.1"), t0));
}

// Once every remembered source is still refilling, sources it does not know
// share one bucket instead of a burst each; a bucket that has refilled is
// forgotten to make room, which loses nothing.
TEST(LoopbackAdmissionSources, AFullRateTableMakesUnknownSourcesShareOneBucket) {
    ConnectionRateLimiter limiter(1, 2);
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    for (std::uint32_t i = 0; i < ConnectionRateLimiter::kMaximumSources; ++i) {
        EXPECT_TRUE(limiter.admit(asio::ip::address_v4(0x0A000000 + i), t0)); // full again at t0 + 1 s
    }
    const auto strangers = t0 + 500ms;
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("198.51.100.1"), strangers));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("198.51.100.2"), strangers));
    EXPECT_FALSE(limiter.admit(asio::ip::make_address("198.51.100.3"), strangers)); // the shared bucket is empty
    EXPECT_FALSE(limiter.admit(asio::ip::make_address("2001:db8::1"), strangers));
    EXPECT_TRUE(limiter.admit(asio::ip::address_v4(0x0A000000), strangers)); // a remembered source keeps its own

    const auto refilled = t0 + 1001ms; // every other remembered bucket is full again
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("198.51.100.3"), refilled));
    EXPECT_TRUE(limiter.admit(asio::ip::make_address("198.51.100.3"), refilled)); // a bucket of its own
    EXPECT_FALSE(limiter.admit(asio::ip::make_address("198.51.100.3"), refilled));
}

} // namespace
} // namespace velorinth
