// The BlueZ back-ends against a small "org.bluez" of the test's own, on a
// private bus named as the system bus: no Bluetooth, no root.

#include "platform/linux/BlueZCentral.hpp"
#include "platform/linux/BlueZPeripheral.hpp"
#include "transport/discovery/BLEHostAdvertiser.hpp"
#include "transport/discovery/BLEHostScanner.hpp"

#include "support/BlueZStandIn.hpp"
#include "support/LoopRunner.hpp"
#include "support/PrivateDBusDaemon.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace velorinth {
namespace {

using namespace std::chrono_literals;
using testing::BlueZStandIn;

const Uuid kHost = *Uuid::fromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
const std::string kServiceLower = "9b15d79b-89e2-4c70-983f-3164f0a91d3c";
const std::string kCharacteristicLower = "9b15d79c-89e2-4c70-983f-3164f0a91d3c";
const std::string kApplication = "/org/velorinth/ble";
const std::string kCharacteristicPath = kApplication + "/service0/char0";

BleCentral::Handlers stateInto(std::vector<BleManagerState>& states) {
    BleCentral::Handlers handlers;
    handlers.onStateChanged = [&states](BleManagerState state) { states.push_back(state); };
    return handlers;
}

bool contains(const std::vector<std::string>& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

struct Bus {
    testing::PrivateDBusDaemon daemon;
    testing::LoopRunner loop;

    bool start() {
        if (daemon.address().empty()) return false;
        daemon.useAsSystemBus();
        return true;
    }
    std::unique_ptr<BlueZStandIn> standIn(BlueZStandIn::Options options = {}) {
        auto bluez = std::make_unique<BlueZStandIn>(loop.io.get_executor(), daemon.address(), options);
        loop.until([&] { return bluez->ready() || bluez->failed(); });
        return bluez;
    }
};

#define VELORINTH_REQUIRE_BUS(bus)                                                                                     \
    if (!(bus).start()) GTEST_SKIP() << "no private D-Bus daemon: " << (bus).daemon.failure()

TEST(LoopbackBlueZ, WithoutABusAnOwnerOrTheManagersTheManagersAreUnsupported) {
    Bus bus;
    VELORINTH_REQUIRE_BUS(bus);
    std::vector<BleManagerState> noOwner, noBus, central;
    BlueZPeripheral withoutOwner(bus.loop.io.get_executor(), {[&](BleManagerState state) { noOwner.push_back(state); }, {}});
    bus.loop.until([&] { return !noOwner.empty(); });
    EXPECT_EQ(noOwner, std::vector<BleManagerState>{BleManagerState::unsupported});
    EXPECT_EQ(withoutOwner.state(), BleManagerState::unsupported);

    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velorinth-bus", 1);
    BlueZCentral withoutBus(bus.loop.io.get_executor(), stateInto(noBus));
    bus.loop.until([&] { return !noBus.empty(); });
    EXPECT_EQ(noBus, std::vector<BleManagerState>{BleManagerState::unsupported});
    bus.daemon.useAsSystemBus();

    // An adapter without the advertising managers serves a central, not a peripheral.
    auto bluez = bus.standIn({true, false});
    ASSERT_TRUE(bluez->ready());
    std::vector<BleManagerState> peripheral;
    BlueZPeripheral withoutManagers(bus.loop.io.get_executor(), {[&](BleManagerState state) { peripheral.push_back(state); }, {}});
    BlueZCentral scanning(bus.loop.io.get_executor(), stateInto(central));
    bus.loop.until([&] { return !peripheral.empty() && !central.empty(); });
    EXPECT_EQ(peripheral, std::vector<BleManagerState>{BleManagerState::unsupported});
    EXPECT_EQ(central, std::vector<BleManagerState>{BleManagerState::poweredOn});
    withoutManagers.addService(BlePeripheral::Service{kServiceLower, true, {}});
    bus.loop.settle(20ms);
    EXPECT_TRUE(bluez->calls.empty());
}

TEST(LoopbackBlueZ, TheBeaconPublishesWhenPoweredAndServesReadsAndNotifications) {
    Bus bus;
    VELORINTH_REQUIRE_BUS(bus);
    auto bluez = bus.standIn({false, true});
    ASSERT_TRUE(bluez->ready());
    auto advertiser = std::make_shared<BLEHostAdvertiser>(bus.loop.io.get_executor());
    advertiser->start(kHost, "Studio Mac", 51891, {"10.0.0.7", "192.168.1.5"});
    bus.loop.settle(50ms);
    EXPECT_TRUE(bluez->calls.empty()); // powered off: nothing published

    bluez->setPowered(true);
    bus.loop.until([&] { return bluez->application && bluez->advertisement; });
    EXPECT_EQ(bluez->calls, (std::vector<std::string>{"RegisterApplication " + kApplication,
                                                     "RegisterAdvertisement " + kApplication + "/advertisement0"}));
    const auto& service = bluez->application->at(sdbus::ObjectPath(kApplication + "/service0")).at(bluez::kGattService);
    EXPECT_EQ(bluez::property<std::string>(service, "UUID"), kServiceLower);
    EXPECT_EQ(bluez::property<bool>(service, "Primary"), true);
    const auto& characteristic = bluez->application->at(sdbus::ObjectPath(kCharacteristicPath)).at(bluez::kGattCharacteristic);
    EXPECT_EQ(bluez::property<std::string>(characteristic, "UUID"), kCharacteristicLower);
    EXPECT_EQ(bluez::property<std::vector<std::string>>(characteristic, "Flags"), (std::vector<std::string>{"read", "notify"}));
    EXPECT_EQ(bluez::property<sdbus::ObjectPath>(characteristic, "Service"), sdbus::ObjectPath(kApplication + "/service0"));
    EXPECT_FALSE(characteristic.contains("NotifyAcquired"));
    EXPECT_EQ(bluez::property<std::string>(*bluez->advertisement, "Type"), "peripheral");
    EXPECT_EQ(bluez::property<std::vector<std::string>>(*bluez->advertisement, "ServiceUUIDs"),
              std::vector<std::string>{kServiceLower});
    EXPECT_EQ(bluez::property<std::string>(*bluez->advertisement, "LocalName"), "Studio Mac");

    // Reads at no offset, at the end and past it.
    std::vector<std::pair<std::optional<Bytes>, std::string>> answers;
    auto answer = [&](std::optional<Bytes> value, std::string error) { answers.emplace_back(std::move(value), std::move(error)); };
    bluez->readValue(kCharacteristicPath, std::nullopt, answer);
    bus.loop.until([&] { return answers.size() == 1; });
    ASSERT_TRUE(answers[0].first) << answers[0].second;
    const Bytes payload = *answers[0].first;
    EXPECT_EQ(BLEHostPayload::decode(payload), *advertiser->currentPayload());
    bluez->readValue(kCharacteristicPath, static_cast<std::uint16_t>(payload.size()), answer);
    bluez->readValue(kCharacteristicPath, static_cast<std::uint16_t>(payload.size() + 1), answer);
    bus.loop.until([&] { return answers.size() == 3; });
    EXPECT_EQ(answers[1].first, Bytes{});
    EXPECT_EQ(answers[2].second, "org.bluez.Error.InvalidOffset");

    // Subscribed, an update arrives as a change of Value.
    bluez->startNotify(kCharacteristicPath);
    bus.loop.until([&] { return !bluez->changes.empty(); }); // Notifying
    advertiser->updateNetworkInfo({"10.0.0.8"}, std::nullopt);
    bus.loop.until([&] { return bluez->changes.back().second.contains("Value"); });
    const auto pushed = bluez->changes.back().second.at("Value").get<std::vector<std::uint8_t>>();
    EXPECT_EQ(BLEHostPayload::decode(pushed).addresses, std::vector<std::string>{"10.0.0.8"});

    advertiser->stop();
    bus.loop.until([&] { return bluez->calls.size() == 4; });
    EXPECT_TRUE(contains(bluez->calls, "UnregisterAdvertisement " + kApplication + "/advertisement0"));
    EXPECT_TRUE(contains(bluez->calls, "UnregisterApplication " + kApplication));
}

TEST(LoopbackBlueZ, BlueZLeavingForgetsTheRegistrationsAndItsReturnRepublishes) {
    Bus bus;
    VELORINTH_REQUIRE_BUS(bus);
    auto bluez = bus.standIn();
    auto advertiser = std::make_shared<BLEHostAdvertiser>(bus.loop.io.get_executor());
    advertiser->start(kHost, "Studio Mac", 51891, {});
    bus.loop.until([&] { return bluez->application.has_value(); });

    bluez.reset(); // bluetoothd exits
    bus.loop.settle(50ms);
    bluez = bus.standIn();
    bus.loop.until([&] { return bluez->application && bluez->advertisement; });
    EXPECT_EQ(bluez->calls.front(), "RegisterApplication " + kApplication);
}

// A scanner on the real central (retrying after 10 ms), once it has asked for discovery.
struct Scanning {
    Scanning(Bus& bus, const BlueZStandIn& bluez)
        : scanner(std::make_shared<BLEHostScanner>(
              bus.loop.io.get_executor(), [this](const BLEHostPayload& payload) { found.push_back(payload); },
              [](const asio::any_io_executor& executor, BleCentral::Handlers handlers) {
                  return std::make_unique<BlueZCentral>(executor, std::move(handlers), &DBusLoopConnection::openSystemBus, 10ms);
              })) {
        scanner->start();
        bus.loop.until([&] { return contains(bluez.calls, "StartDiscovery"); });
    }
    std::vector<BLEHostPayload> found;
    std::shared_ptr<BLEHostScanner> scanner;
};

TEST(LoopbackBlueZ, TheScannerConnectsResolvesSubscribesAndReadsAndFindsTheHostAgainAfterADisconnection) {
    Bus bus;
    VELORINTH_REQUIRE_BUS(bus);
    auto bluez = bus.standIn();
    Scanning scanning(bus, *bluez);
    EXPECT_EQ(bluez->calls.front(), "SetDiscoveryFilter DuplicateData Transport UUIDs");

    const BLEHostPayload payload{kHost, "Studio Mac", 51891, {"10.0.0.7"}, 1};
    bluez->addDevice({"0000180a-0000-1000-8000-00805f9b34fb"}, "180a", "2a29", bytesOf("{}")); // another service
    const std::string device = bluez->addDevice({kServiceLower}, kServiceLower, kCharacteristicLower, payload.encoded());
    bus.loop.until([&] { return !scanning.found.empty(); });
    EXPECT_EQ(scanning.found.front(), payload);
    EXPECT_TRUE(contains(bluez->calls, "StartNotify " + BlueZStandIn::characteristicPath(device)));
    EXPECT_TRUE(contains(bluez->calls, "ReadValue " + BlueZStandIn::characteristicPath(device)));
    EXPECT_FALSE(contains(bluez->calls, "Connect /org/bluez/hci0/dev_00_00_00_00_00_01"));

    // The host changes: the value arrives again.
    BLEHostPayload moved = payload;
    moved.port = 40000;
    const std::size_t before = scanning.found.size();
    bluez->setValue(device, moved.encoded());
    bus.loop.until([&] { return scanning.found.size() > before; });
    EXPECT_EQ(scanning.found.back(), moved);

    // Disconnected: a new scan, and the device seen again is connected again.
    bluez->calls.clear();
    bluez->setConnected(device, false);
    bus.loop.until([&] { return contains(bluez->calls, "StartDiscovery"); });
    bluez->setRssi(device, -40);
    bus.loop.until([&] { return contains(bluez->calls, "Connect " + device); });

    scanning.scanner->stop();
    bus.loop.until([&] { return contains(bluez->calls, "Disconnect " + device); });
}

TEST(LoopbackBlueZ, AFailedConnectIsTriedAgain) {
    Bus bus;
    VELORINTH_REQUIRE_BUS(bus);
    auto bluez = bus.standIn();
    Scanning scanning(bus, *bluez);
    const BLEHostPayload payload{kHost, "Studio Mac", 51891, {}, 1};
    const std::string device = bluez->addDevice({kServiceLower}, kServiceLower, kCharacteristicLower, payload.encoded(), 2);
    bus.loop.until([&] { return !scanning.found.empty(); });
    EXPECT_EQ(std::count(bluez->calls.begin(), bluez->calls.end(), "Connect " + device), 3);
}

} // namespace
} // namespace velorinth
