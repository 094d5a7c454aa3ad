#include "transport/server/SessionValueTypes.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

TEST(SessionHandshakeError, RejectionCarriesTheHostsReasonUnlessEmpty) {
    EXPECT_STREQ(SessionHandshakeError::rejectedByHost("").what(), "Pairing was rejected on the Mac.");
    EXPECT_STREQ(SessionHandshakeError::rejectedByHost(" ").what(), " ");
    EXPECT_NE(SessionHandshakeError::rejectedByHost("a"), SessionHandshakeError::rejectedByHost("b"));
    EXPECT_STREQ(SessionHandshakeError(SessionHandshakeError::Case::pairingBusyOnHost).what(),
                 "The Mac is already handling another pairing request.");
}

TEST(SessionValueTypes, EqualityTakesEveryFieldIntoAccount) {
    ActiveSessionDescriptor a;
    ActiveSessionDescriptor b = a;
    b.heartbeatCount = 1;
    EXPECT_NE(a, b);
    b = a;
    b.latestRTTMilliseconds = 0.0; // absent differs from zero
    EXPECT_NE(a, b);
    EXPECT_NE((IncomingPairingPrompt{{}, {}, "123456", Date(10)}), (IncomingPairingPrompt{{}, {}, "123456", Date(11)}));
    EXPECT_NE(SessionTerminationReason::revoked("x"), SessionTerminationReason::remoteDisconnect("x"));
    EXPECT_EQ(SessionTerminationReason::localDisconnect(), SessionTerminationReason::localDisconnect());
}

} // namespace
} // namespace velorinth
