#include "transport/session/SessionValueTypes.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

TEST(SessionHandshakeError, RejectionCarriesTheHostsReasonUnlessEmpty) {
    EXPECT_STREQ(SessionHandshakeError::rejectedByHost("").what(), "Pairing was rejected on the Mac.");
    EXPECT_STREQ(SessionHandshakeError::rejectedByHost(" ").what(), " ");
    EXPECT_STREQ(SessionHandshakeError(SessionHandshakeError::Case::pairingBusyOnHost).what(),
                 "The Mac is already handling another pairing request.");
}

} // namespace
} // namespace velorinth
