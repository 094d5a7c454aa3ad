#include "transport/wake/LocalWakeError.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include "support/FakeWakePacketTransmitter.hpp"
#include "support/LoopRunner.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using Case = LocalWakeError::Case;
using testing::FakeWakePacketTransmitter;
using testing::thrown;
using Kind = WakeInterfaceKind;

const Date kNow(786316800.5);
const Uuid kMac = *Uuid::fromString("6F1E1C0A-3D2B-4C5D-8E9F-0A1B2C3D4E5F");
const Uuid kOtherMac = *Uuid::fromString("11111111-2222-4333-8444-555555555555");

WakeNetworkInterfaceTarget interface(std::string name, Kind kind, std::optional<std::string> address,
                                     std::optional<std::string> broadcast = std::nullopt,
                                     Bytes mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}) {
    return WakeNetworkInterfaceTarget::stored(std::move(name), kind, MACAddress::unvalidated(std::move(mac)),
                                              std::move(address), std::nullopt, std::move(broadcast));
}

SavedWakeConfiguration configuration(std::vector<WakeNetworkInterfaceTarget> targets,
                                     std::optional<std::uint16_t> port = std::nullopt, bool eligible = false,
                                     Evidence<bool> wake = Evidence<bool>::unknown()) {
    SavedWakeConfiguration saved;
    saved.targets = std::move(targets);
    saved.bonjourServicePort = port;
    saved.sleepProxyEligible = eligible;
    saved.wakeForNetworkAccess = std::move(wake);
    return saved;
}

const SavedWakeConfiguration kOneEthernet =
    configuration({interface("en0", Kind::ethernet, "192.168.1.20", "192.168.1.255")});

std::vector<std::string> destinations(const LocalWakeService::DispatchPlan& plan) {
    std::vector<std::string> out;
    for (const auto& planned : plan) {
        for (const auto& target : planned.destinations) {
            out.push_back((target.isDirectedBroadcast ? "b " : "u ") + target.ipv4Address + ":" +
                          std::to_string(target.port));
        }
    }
    return out;
}

struct Dispatch {
    std::optional<WakeDispatchOutcome> outcome;
    std::exception_ptr failure;

    std::string failureText() const { return testing::expectFailure<LocalWakeError>(failure).what(); }
};

class LocalWakeServiceTest : public ::testing::Test {
protected:
    LocalWakeService service(std::vector<std::uint16_t> ports = {9}, std::chrono::nanoseconds cooldown = 0s,
                             int perMinute = 100) {
        return LocalWakeService(loop.io.get_executor(), transmitter,
                                WakeDispatchPolicy(ports, cooldown, perMinute, 2s, false), [this] { return clock; });
    }

    asio::awaitable<Dispatch> dispatchTask(LocalWakeService& wake, Uuid device,
                                           std::optional<SavedWakeConfiguration> saved) {
        try {
            co_return Dispatch{co_await wake.dispatchWake(device, std::move(saved), kNow), nullptr};
        } catch (...) {
            co_return Dispatch{std::nullopt, std::current_exception()};
        }
    }

    Dispatch dispatch(LocalWakeService& wake, std::optional<SavedWakeConfiguration> saved = kOneEthernet,
                      Uuid device = kMac) {
        return loop.run(dispatchTask(wake, device, std::move(saved)));
    }

    testing::LoopRunner loop;
    std::shared_ptr<FakeWakePacketTransmitter> transmitter =
        std::make_shared<FakeWakePacketTransmitter>(loop.io.get_executor());
    std::chrono::nanoseconds clock = 1000s;
};

TEST_F(LocalWakeServiceTest, PlansBroadcastBeforeUnicastPerPortAndSortsInterfaces) {
    EXPECT_EQ(
        destinations(service({9, 7}).resolveTargets(kOneEthernet)),
        (std::vector<std::string>{"b 192.168.1.255:9", "b 192.168.1.255:7", "u 192.168.1.20:9", "u 192.168.1.20:7"}));
    EXPECT_EQ(destinations(service({9, 9}).resolveTargets(kOneEthernet)),
              (std::vector<std::string>{"b 192.168.1.255:9", "b 192.168.1.255:9", "u 192.168.1.20:9"}));

    const auto plan = service().resolveTargets(configuration({
        interface("zz0", Kind::other, "10.0.0.4", std::nullopt, {0x02, 0, 0, 0, 0, 4}),
        interface("wlan0", Kind::wifi, "10.0.0.3", std::nullopt, {0x02, 0, 0, 0, 0, 3}),
        interface("eth1", Kind::ethernet, "010.0.0.2", std::nullopt, {0x02, 0, 0, 0, 0, 2}),
        interface("eth0", Kind::ethernet, "10.0.0.1", std::nullopt, {0x02, 0, 0, 0, 0, 1}),
    }));
    EXPECT_EQ(destinations(plan),
              (std::vector<std::string>{"u 10.0.0.1:9", "u 10.0.0.2:9", "u 10.0.0.3:9", "u 10.0.0.4:9"}));
    EXPECT_EQ(plan[0].packet, WakeMagicPacket(std::string_view("02:00:00:00:00:01")));
    EXPECT_EQ(plan[2].destinations[0].interfaceKind, Kind::wifi);
}

TEST_F(LocalWakeServiceTest, PolicyNormalisesOnlyTheEmptyPortListAndTheLimit) {
    EXPECT_EQ(WakeDispatchPolicy({}, 1s, 0, 1s, false).udpPorts(), std::vector<std::uint16_t>{9});
    EXPECT_EQ(WakeDispatchPolicy({}, 1s, 0, 1s, false).maxDispatchesPerMinute(), 1);
    EXPECT_EQ(WakeDispatchPolicy({}, 1s, -5, 1s, false).maxDispatchesPerMinute(), 1);
    EXPECT_EQ(WakeDispatchPolicy({0}, 1s, 3, 1s, false).udpPorts(), std::vector<std::uint16_t>{0});
    EXPECT_EQ(WakeDispatchPolicy::standard(), WakeDispatchPolicy({9}, 2s, 6, 2s, false));
}

TEST_F(LocalWakeServiceTest, InterfacesWithoutAUsableDestinationOrHardwareAddressContributeNothing) {
    const auto usable = interface("eth0", Kind::ethernet, "10.0.0.1");
    const WakeNetworkInterfaceTarget unusable[] = {
        interface("eth1", Kind::ethernet, "203.0.113.5"),
        interface("eth2", Kind::ethernet, "10.0.0.2", std::nullopt, {0x02, 0, 0, 0, 2}),       // 5 bytes
        interface("eth3", Kind::ethernet, "10.0.0.3", std::nullopt, {0x01, 0, 0x5e, 0, 0, 1}), // multicast
        interface("eth4", Kind::ethernet, std::nullopt),
    };
    for (const auto& target : unusable) {
        SCOPED_TRACE(target.interfaceName);
        EXPECT_EQ(destinations(service().resolveTargets(configuration({target, usable}))),
                  std::vector<std::string>{"u 10.0.0.1:9"});
        EXPECT_EQ(thrown<LocalWakeError>([&] { service().resolveTargets(configuration({target})); }).kind,
                  Case::noValidLocalTargets);
    }
    EXPECT_EQ(thrown<LocalWakeError>([&] { service({0}).resolveTargets(kOneEthernet); }).kind,
              Case::noValidLocalTargets);
    EXPECT_EQ(thrown<LocalWakeError>([&] { service().resolveTargets(configuration({})); }).kind,
              Case::noValidLocalTargets);
}

TEST_F(LocalWakeServiceTest, RefusedConfigurationsSendNothingAndTakeNoSlot) {
    auto wake = service({9}, 60s, 1);
    EXPECT_EQ(dispatch(wake, std::nullopt).failureText(), "No saved wake configuration is available for this Mac.");
    auto off = kOneEthernet;
    off.wakeForNetworkAccess = Evidence<bool>::verified(false);
    EXPECT_EQ(dispatch(wake, off).failureText(), "No valid local network wake address is saved for this Mac.");
    EXPECT_EQ(dispatch(wake, configuration({interface("eth0", Kind::ethernet, "8.8.8.8")})).failureText(),
              "No valid local network wake address is saved for this Mac.");
    EXPECT_TRUE(transmitter->attempts().empty());

    auto remembered = kOneEthernet;
    remembered.wakeForNetworkAccess = Evidence<bool>::lastKnown(false, kNow);
    EXPECT_EQ(dispatch(wake, remembered).outcome->datagramsSent, 2);
}

TEST_F(LocalWakeServiceTest, SlotsFollowTheCooldownAndTheMinuteWindowPerMac) {
    struct Step {
        double at;
        bool accepted;
    };
    const auto run = [&](LocalWakeService& wake, std::initializer_list<Step> steps) {
        for (const Step& step : steps) {
            SCOPED_TRACE(step.at);
            clock = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(step.at));
            const Dispatch result = dispatch(wake);
            if (step.accepted) {
                EXPECT_TRUE(result.outcome.has_value());
            } else {
                EXPECT_EQ(result.failureText(),
                          "Wake requests are temporarily rate-limited to avoid flooding your local network.");
            }
        }
    };
    auto wake = service({9}, 10s, 3);
    run(wake, {{0, true}, {5, false}, {10, true}, {20, true}, {30, false}, {60, false}, {60.5, true}});
    EXPECT_TRUE(dispatch(wake, kOneEthernet, kOtherMac).outcome.has_value());

    // A cooldown longer than the window still counts from the last dispatch.
    auto slow = service({9}, 90s, 6);
    run(slow, {{0, true}, {61, false}, {90, true}});
}

TEST_F(LocalWakeServiceTest, SendsEveryDestinationAndCountsOnlySuccesses) {
    auto wake = service();
    const Dispatch all = dispatch(wake);
    ASSERT_EQ(transmitter->sent().size(), 2u);
    EXPECT_TRUE(transmitter->sent()[0].target.isDirectedBroadcast);
    EXPECT_EQ(transmitter->sent()[1].packet.payload(),
              WakeMagicPacket(std::string_view("02:11:22:33:44:55")).payload());
    EXPECT_EQ(all.outcome, (WakeDispatchOutcome{WakeSignalStatus::wakeRequestSent, WakeRouteKind::directLocalNetwork, 2,
                                                false, kNow}));

    transmitter->failSend(2, std::make_exception_ptr(LocalWakeError::transmissionFailed("first")));
    EXPECT_EQ(dispatch(wake).outcome->datagramsSent, 1);
}

TEST_F(LocalWakeServiceTest, EveryFailedSendReportsTheLastErrorAndKeepsTheSlot) {
    auto wake = service({9}, 60s, 6);
    transmitter->failSend(0,
                          std::make_exception_ptr(LocalWakeError::transmissionFailed("UDP send failed (errno 65).")));
    transmitter->failSend(1, std::make_exception_ptr(LocalWakeError::invalidDestination("last")));
    EXPECT_EQ(dispatch(wake).failureText(), "Invalid local wake destination: last");
    EXPECT_EQ(dispatch(wake).failureText(),
              "Wake requests are temporarily rate-limited to avoid flooding your local network.");

    transmitter->failEverySend(std::make_exception_ptr(std::runtime_error("socket table full")));
    EXPECT_EQ(dispatch(wake, kOneEthernet, kOtherMac).failureText(),
              "Couldn't send local wake packet: socket table full");
}

TEST_F(LocalWakeServiceTest, ProbesTheFirstSortedAddressOnlyWhenEligibleWithAPort) {
    const auto wifi = interface("wlan1", Kind::wifi, "192.168.1.31");
    const auto wifiFirst = interface("wlan0", Kind::wifi, " 192.168.1.30");
    const auto ethernet = interface("eth0", Kind::ethernet, "192.168.1.20");
    struct Row {
        const char* name;
        SavedWakeConfiguration saved;
        bool probed;
        WakeRouteKind route;
    };
    const Row rows[] = {
        {"Wi-Fi only", configuration({wifi, wifiFirst}, 51891, true), true, WakeRouteKind::bonjourSleepProxy},
        {"an Ethernet success", configuration({wifi, ethernet}, 51891, true), true, WakeRouteKind::directLocalNetwork},
        {"no port", configuration({wifi}, std::nullopt, true), false, WakeRouteKind::directLocalNetwork},
        {"not eligible", configuration({wifi}, 51891, false), false, WakeRouteKind::directLocalNetwork},
        {"port 0", configuration({wifi}, 0, true), true, WakeRouteKind::bonjourSleepProxy},
        {"no IPv4", configuration({interface("wlan0", Kind::wifi, std::nullopt, "192.168.1.255")}, 51891, true), false,
         WakeRouteKind::directLocalNetwork},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        transmitter = std::make_shared<FakeWakePacketTransmitter>(loop.io.get_executor());
        auto wake = service();
        const Dispatch result = dispatch(wake, row.saved);
        ASSERT_TRUE(result.outcome.has_value());
        EXPECT_EQ(result.outcome->sleepProxyProbed, row.probed);
        EXPECT_EQ(result.outcome->routeUsed, row.route);
        EXPECT_EQ(transmitter->probes().size(), row.probed ? 1u : 0u);
        EXPECT_EQ(transmitter->calls().back(), row.probed ? "probe" : "send");
    }
    // The address as saved, the saved port and the policy's timeout.
    transmitter = std::make_shared<FakeWakePacketTransmitter>(loop.io.get_executor());
    auto wake = service();
    dispatch(wake, configuration({wifi, wifiFirst}, 51891, true));
    EXPECT_EQ(transmitter->probes()[0].host, " 192.168.1.30");
    EXPECT_EQ(transmitter->probes()[0].port, 51891);
    EXPECT_EQ(transmitter->probes()[0].timeout, 2s);

    transmitter->failEverySend(
        std::make_exception_ptr(LocalWakeError::transmissionFailed("UDP send failed (errno 65).")));
    EXPECT_EQ(dispatch(wake, configuration({wifi}, 51891, true), kOtherMac).failureText(),
              "Couldn't send local wake packet: UDP send failed (errno 65).");
    EXPECT_EQ(transmitter->probes().size(), 2u);
}

TEST_F(LocalWakeServiceTest, OverlappingDispatchesForOneMacSeeEachOthersSlot) {
    auto wake = service({9}, 1s, 6);
    transmitter->holdSends();
    auto first = loop.spawn(dispatchTask(wake, kMac, kOneEthernet));
    loop.until([&] { return transmitter->heldSends() == 1; });
    EXPECT_EQ(dispatch(wake).failureText(),
              "Wake requests are temporarily rate-limited to avoid flooding your local network.");
    transmitter->releaseSends();
    EXPECT_EQ(loop.wait(first).outcome->datagramsSent, 2);
}

TEST_F(LocalWakeServiceTest, CancellingBetweenSendsEndsTheDispatchAndKeepsTheSlot) {
    auto wake = service({9}, 60s, 6);
    asio::cancellation_signal cancel;
    transmitter->afterSend(
        [&](const FakeWakePacketTransmitter::Send&) { cancel.emit(asio::cancellation_type::terminal); });
    auto cancelled = loop.spawn(wake.dispatchWake(kMac, kOneEthernet, kNow), cancel.slot());
    EXPECT_THROW(loop.wait(cancelled), CancellationError);
    EXPECT_EQ(transmitter->sent().size(), 1u);
    EXPECT_EQ(transmitter->attempts().size(), 1u);
    transmitter->afterSend(nullptr);
    EXPECT_EQ(dispatch(wake).failureText(),
              "Wake requests are temporarily rate-limited to avoid flooding your local network.");
}

} // namespace
} // namespace velorinth
