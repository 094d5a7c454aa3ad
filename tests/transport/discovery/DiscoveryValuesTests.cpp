#include "core/BackoffPolicy.hpp"
#include "transport/discovery/BonjourHostListener.hpp"
#include "transport/discovery/DiscoveredService.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Duration = BackoffPolicy::Duration;

TEST(BackoffPolicy, HostScheduleIsOneTwoFourThenEightUntilTheLimit) {
    const BackoffPolicy& policy = ListenerRestartPlan::policy;
    const Duration expected[] = {1s, 2s, 4s, 8s, 8s, 8s};
    for (int attempt = 0; attempt < 6; ++attempt) EXPECT_EQ(policy.delay(attempt), expected[attempt]) << attempt;
    EXPECT_EQ(policy.delay(6), std::nullopt);
    EXPECT_EQ(policy.delay(-1), std::nullopt);
    // A multiplier below 1 shrinks; growth far past any representable delay stays at the maximum.
    EXPECT_EQ((BackoffPolicy{8s, 1h, 0.5, 3}.delay(2)), Duration(2s));
    EXPECT_EQ((BackoffPolicy{1s, 8s, 1e300, 100}.delay(99)), Duration(8s));
    EXPECT_EQ((BackoffPolicy{1s, 8s, 2.0, 0}.delay(0)), std::nullopt);
}

TEST(ListenerRestartPlan, AddressInUseSoonOnAnyPortOtherwiseBackoffThenTwoSeconds) {
    using Plan = ListenerRestartPlan;
    EXPECT_EQ(Plan::forFailure("Address already in use", 0), (Plan{100ms, true}));
    EXPECT_EQ(Plan::forFailure("POSIX error 48", 4), (Plan{100ms, true}));
    EXPECT_EQ(Plan::forFailure("Network is down", 1), (Plan{2s, false}));
    EXPECT_EQ(Plan::forFailure("Network is down", 2), (Plan{4s, true}));
    EXPECT_EQ(Plan::forFailure("Network is down", 5), (Plan{8s, true}));
    EXPECT_EQ(Plan::forFailure("Network is down", 6), (Plan{2s, true}));
}

TEST(BonjourHostListener, AdvertisementCarriesNameAndTxtInOrder) {
    DevicePublicIdentity identity;
    identity.displayName = "Studio Mac";
    identity.discoveryInstanceID = *Uuid::fromString("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
    const ServiceAdvertisement advertisement = BonjourHostListener::advertisement(identity);
    EXPECT_EQ(advertisement.instanceName, "Studio Mac");
    EXPECT_EQ(advertisement.serviceType, "_velorinth._tcp");
    const std::vector<std::pair<std::string, std::string>> txt{
        {"v", "1"}, {"id", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"}, {"role", "host"}};
    EXPECT_EQ(advertisement.txtRecord, txt);
}

TEST(DiscoveredService, NameIsTrimmedAndIdComesFromTheIdentifierElseTheEndpoint) {
    const ServiceEndpoint endpoint{ServiceEndpoint::BonjourService{"Studio", "_velorinth._tcp", "local.", "eth0"}};
    const Uuid instance = *Uuid::fromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");

    const auto withId = DiscoveredService::make(" \t Studio Mac\n", endpoint, instance, 1);
    EXPECT_EQ(withId.name, "Studio Mac");
    EXPECT_EQ(withId.id, "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
    EXPECT_EQ(withId.discoveredHost().endpointDescription, "studio._velorinth._tcp.local.");

    const auto withoutId = DiscoveredService::make("\u00A0\u3000 \r\n", endpoint, std::nullopt, std::nullopt);
    EXPECT_EQ(withoutId.name, "Unknown Mac");
    EXPECT_EQ(withoutId.id, "studio._velorinth._tcp.local.");
    const ServiceEndpoint address{HostPort{"fe80::1", 51891}};
    EXPECT_EQ(DiscoveredService::make("Mac", address, std::nullopt, std::nullopt).id, "[fe80::1]:51891");
}

} // namespace
} // namespace velorinth
