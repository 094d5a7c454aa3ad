#include "transport/discovery/BonjourHostBrowser.hpp"
#include "transport/discovery/DiscoveryNormalizer.hpp"

#include "support/FakeBonjourBrowsing.hpp"
#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using testing::FakeBonjourBrowsing;
using Normalizer = DiscoveryNormalizer;
using State = BonjourBrowsing::State;

const std::string kId = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";

std::optional<DiscoveredService> serviceOf(const std::string& name, std::optional<std::vector<std::string>> txt,
                                           const std::string& interfaceName = "eth0") {
    return Normalizer::service(FakeBonjourBrowsing::service(name, std::move(txt), interfaceName));
}

TEST(DiscoveryNormalizer, ProtocolVersionTexts) {
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"1", 1},     {"+1", 1},           {"007", 7},           {"-0", 0},  {"0", 0},  {"-00", 0},
        {"65535", 65535}, {"-1", std::nullopt}, {"1.0", std::nullopt}, {"", std::nullopt}, {"70000", std::nullopt},
        {"65536", std::nullopt}, {"+", std::nullopt}, {"-", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt},
        {"+-1", std::nullopt}, {"99999999999999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Normalizer::parseProtocolVersion(text), expected) << text;
}

TEST(DiscoveryNormalizer, TxtKeysMatchWithoutCaseFirstOccurrenceWinsAndABareKeyIsEmpty) {
    EXPECT_EQ(Normalizer::txtMap({"ID=" + kId, "id=other", "V=2", "role", "extra=1", "=x", "Role=host"}),
              (std::map<std::string, std::string>{{"id", kId}, {"v", "2"}, {"role", ""}}));
    EXPECT_EQ(Normalizer::txtMap({"v=a=b"}), (std::map<std::string, std::string>{{"v", "a=b"}}));
}

TEST(DiscoveryNormalizer, TxtRoleDropsAndMalformedValuesAreLeftOut) {
    EXPECT_EQ(Normalizer::parseTXT({}), Normalizer::TXTFields{});
    EXPECT_EQ(Normalizer::parseTXT({{"role", "Host"}}), std::nullopt);
    EXPECT_EQ(Normalizer::parseTXT({{"role", ""}}), std::nullopt);
    EXPECT_EQ(Normalizer::parseTXT({{"role", "host"}, {"id", "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"}, {"v", "1"}}),
              (Normalizer::TXTFields{Uuid::fromString(kId), 1}));
    EXPECT_EQ(Normalizer::parseTXT({{"id", "0a1b2c3d4e5f60718293a4b5c6d7e8f9"}, {"v", "x"}}), Normalizer::TXTFields{});

    EXPECT_EQ(serviceOf("Mac", std::vector<std::string>{"role"}), std::nullopt); // a bare "role" drops
    EXPECT_EQ(serviceOf("Mac", std::vector<std::string>{"role=tablet"}), std::nullopt);
    const auto kept = serviceOf("  Studio  ", std::vector<std::string>{"v=1", "id=" + kId});
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->name, "Studio");
    EXPECT_EQ(kept->id, "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
    EXPECT_EQ(kept->protocolVersion, 1);
    EXPECT_EQ(serviceOf(" \n", std::nullopt)->name, "Unknown Mac");
    // Only a service endpoint is a service.
    EXPECT_EQ(Normalizer::service(BonjourBrowsing::Result{ServiceEndpoint{HostPort{"10.0.0.7", 1}}, std::nullopt}),
              std::nullopt);
}

TEST(DiscoveryNormalizer, DeduplicatesByIdAndSortsByNameWithoutCaseThenById) {
    const std::vector<std::string> txt{"id=" + kId, "v=1"};
    // The same host on two interfaces.
    EXPECT_EQ(Normalizer::normalize({*serviceOf("Studio", txt, "eth0"), *serviceOf("Studio", txt, "wlan0")}).size(), 1u);
    // No "id": the endpoint key, lower-cased letter by letter, decides.
    EXPECT_EQ(Normalizer::normalize({*serviceOf("Mac Mini", std::nullopt), *serviceOf("MAC MINI", std::nullopt)}).size(), 1u);
    EXPECT_EQ(Normalizer::normalize({*serviceOf("\u00c9mile", std::nullopt), *serviceOf("\u00e9mile", std::nullopt)}).size(), 1u);

    auto named = [](const std::string& name, const std::string& id) {
        return DiscoveredService::make(name, ServiceEndpoint{HostPort{"10.0.0.1", 1}}, Uuid::fromString(id), 1);
    };
    const auto sorted = Normalizer::normalize({named("beta", "00000000-0000-0000-0000-000000000001"),
                                               named("alpha", "00000000-0000-0000-0000-000000000002"),
                                               named("Alpha", "00000000-0000-0000-0000-000000000003"),
                                               named("Zed", "00000000-0000-0000-0000-000000000004")});
    std::vector<std::string> names;
    for (const auto& service : sorted) names.push_back(service.name);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Alpha", "beta", "Zed"}));
}

TEST(DiscoveryNormalizer, ErrorsMapToStatuses) {
    EXPECT_EQ(Normalizer::discoveryStatus({-65570, "denied"}), DiscoveryStatus::permissionDenied());
    EXPECT_EQ(Normalizer::discoveryStatus({-2, "Bad state"}), DiscoveryStatus::failed("Bad state"));
}

TEST(DiscoveryCatalog, KeepsItsListOnlyWhileSearchingOrReady) {
    DiscoveryCatalog catalog;
    EXPECT_EQ(catalog.status, DiscoveryStatus::idle());
    const auto one = *serviceOf("Mac", std::nullopt);
    for (const DiscoveryStatus& kept : {DiscoveryStatus::searching(), DiscoveryStatus::ready()}) {
        catalog.setServices({one, one});
        catalog.setStatus(kept);
        EXPECT_EQ(catalog.services.size(), 1u);
    }
    for (const DiscoveryStatus& emptied : {DiscoveryStatus::idle(), DiscoveryStatus::failed("x"), DiscoveryStatus::permissionDenied()}) {
        catalog.setServices({one});
        catalog.setStatus(emptied);
        EXPECT_TRUE(catalog.services.empty());
    }
}

struct Browser {
    testing::LoopRunner loop;
    std::shared_ptr<FakeBonjourBrowsing::Made> made = std::make_shared<FakeBonjourBrowsing::Made>();
    std::vector<std::vector<DiscoveredService>> results;
    std::vector<DiscoveryStatus> statuses;
    BonjourHostBrowser browser{loop.io.get_executor(), true,
                               [this](const std::vector<DiscoveredService>& list) { results.push_back(list); },
                               [this](const DiscoveryStatus& status) { statuses.push_back(status); },
                               FakeBonjourBrowsing::factory(made)};

    FakeBonjourBrowsing& browsing() { return *made->browsings.at(0); }
};

TEST(BonjourHostBrowser, ReportsSearchingInsideStartAndMapsEveryBrowseState) {
    Browser browser;
    EXPECT_EQ(browser.browsing().starts, 0); // nothing runs before start
    browser.browser.start();
    browser.browser.start();
    EXPECT_EQ(browser.statuses, std::vector<DiscoveryStatus>{DiscoveryStatus::searching()});
    EXPECT_EQ(browser.browsing().starts, 1);
    EXPECT_EQ(browser.browsing().browsedType, "_velorinth._tcp");

    browser.browsing().deliver(State{State::Kind::setup, std::nullopt});
    browser.browsing().deliver(State{State::Kind::ready, std::nullopt});
    const std::string unavailable = "Local network discovery is unavailable because the Avahi daemon is not running.";
    browser.browsing().deliver(State{State::Kind::waiting, BonjourBrowsing::BrowseError{-26, unavailable}});
    browser.browsing().deliver(State{State::Kind::ready, std::nullopt});
    browser.browsing().deliver(State{State::Kind::failed, BonjourBrowsing::BrowseError{-65570, "denied"}});
    browser.browsing().deliver(State{State::Kind::unknown, std::nullopt});
    EXPECT_EQ(browser.statuses, (std::vector<DiscoveryStatus>{
                                    DiscoveryStatus::searching(), DiscoveryStatus::ready(), DiscoveryStatus::failed(unavailable),
                                    DiscoveryStatus::ready(), DiscoveryStatus::permissionDenied(),
                                    DiscoveryStatus::failed("Discovery entered an unexpected state.")}));
}

TEST(BonjourHostBrowser, EveryChangeReportsTheWholeListAndNothingAfterStopButIdle) {
    Browser browser;
    browser.browser.start();
    const auto host = FakeBonjourBrowsing::service("Studio", std::vector<std::string>{"id=" + kId, "v=1", "role=host"});
    const auto tablet = FakeBonjourBrowsing::service("iPad", std::vector<std::string>{"role=tablet"});
    browser.browsing().deliver(std::vector<BonjourBrowsing::Result>{host, tablet, host});
    browser.browsing().deliver(std::vector<BonjourBrowsing::Result>{tablet});
    ASSERT_EQ(browser.results.size(), 2u);
    ASSERT_EQ(browser.results[0].size(), 1u);
    EXPECT_EQ(browser.results[0][0].name, "Studio");
    EXPECT_TRUE(browser.results[1].empty()); // an empty list is reported too

    browser.browser.stop();
    EXPECT_EQ(browser.browsing().stops, 1);
    EXPECT_EQ(browser.statuses.back(), DiscoveryStatus::idle());
    browser.browsing().deliver(std::vector<BonjourBrowsing::Result>{host});
    browser.browsing().deliver(State{State::Kind::ready, std::nullopt});
    EXPECT_EQ(browser.results.size(), 2u);
    EXPECT_EQ(browser.statuses.back(), DiscoveryStatus::idle());
}

} // namespace
} // namespace velorinth
