#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/PairingReplayGuard.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace velorinth {
namespace {

using Seconds = std::chrono::duration<double>;
const Date kStart(700'000'000.0);
Date at(double offset) { return kStart.addingTimeInterval(offset); }
Uuid id(std::uint8_t n) {
    Uuid::Storage bytes{};
    bytes[15] = n;
    return Uuid(bytes);
}

bool consumes(PairingReplayGuard& guard, const Uuid& pairingID, Date now) {
    try {
        guard.consume(pairingID, now);
        return true;
    } catch (const PairingProtocolError& error) {
        EXPECT_EQ(error.kind, PairingProtocolError::Case::replayedHandshake);
        EXPECT_STREQ(error.what(), "A replayed handshake attempt was detected and blocked.");
        return false;
    }
}

bool admits(PairingAttemptLimiter& limiter, Date now) {
    try {
        limiter.recordAttempt(now);
        return true;
    } catch (const PairingAttemptLimitError& error) {
        EXPECT_EQ(error.kind, PairingAttemptLimitError::Case::rateLimited);
        EXPECT_STREQ(error.what(), "Too many pairing attempts. Wait a minute and try again.");
        return false;
    }
}

TEST(PairingReplayGuard, RefusesAnIdentifierUntilItIsOlderThanTheRetention) {
    PairingReplayGuard guard(Seconds(300));
    EXPECT_TRUE(consumes(guard, id(1), at(0)));
    EXPECT_TRUE(consumes(guard, id(2), at(0)));
    EXPECT_FALSE(consumes(guard, id(1), at(1)));
    EXPECT_FALSE(consumes(guard, id(1), at(300))); // exactly at the retention age still counts
    EXPECT_TRUE(consumes(guard, id(1), at(300.001)));
    EXPECT_FALSE(consumes(guard, id(1), at(300.002))); // recorded again
    EXPECT_EQ(guard.size(), 1u);                       // id(2) pruned on the way
}

TEST(PairingReplayGuard, WhenFullForgetsOnlyEntriesOlderThanTheAgeWindowAllows) {
    PairingReplayGuard guard(Seconds(300), 3);
    EXPECT_TRUE(consumes(guard, id(1), at(0)));
    EXPECT_TRUE(consumes(guard, id(2), at(10)));
    EXPECT_TRUE(consumes(guard, id(3), at(20)));
    EXPECT_FALSE(consumes(guard, id(4), at(100)));
    EXPECT_FALSE(consumes(guard, id(4), at(240))); // the oldest is exactly 240 s old
    EXPECT_EQ(guard.size(), 3u);
    EXPECT_TRUE(consumes(guard, id(4), at(240.5))); // id(1) gives way
    EXPECT_FALSE(consumes(guard, id(2), at(241)));  // the others are still remembered
    EXPECT_FALSE(consumes(guard, id(4), at(241)));
    EXPECT_EQ(guard.size(), 3u);
    // Pruning frees room before the cap is considered.
    EXPECT_TRUE(consumes(guard, id(5), at(320.5)));
    EXPECT_EQ(guard.size(), 2u); // id(2) and id(3) expired; id(4) and id(5) remain
}

TEST(PairingAttemptLimiter, AllowsMaxAttemptsPerInterval) {
    PairingAttemptLimiter limiter(5, Seconds(60));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(admits(limiter, at(i)));
    EXPECT_FALSE(admits(limiter, at(5)));
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(admits(limiter, at(30))); // refusals are not recorded
    EXPECT_FALSE(admits(limiter, at(60)));       // the first attempt, exactly 60 s old, still counts
    EXPECT_TRUE(admits(limiter, at(60.001)));    // ... and not once it is older
    EXPECT_FALSE(admits(limiter, at(60.002)));   // the second (at 1 s) still counts
    EXPECT_TRUE(admits(limiter, at(61.5)));
}

} // namespace
} // namespace velorinth
