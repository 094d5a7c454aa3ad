#include "transport/discovery/BLEHostScanner.hpp"

#include "support/FakeBleCentral.hpp"
#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using testing::FakeBleCentral;

const std::string kService(BLEProximityConstants::serviceUUID);
const std::string kCharacteristic(BLEProximityConstants::characteristicUUID);
const BLEHostPayload kPayload{*Uuid::fromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"), "Studio Mac", 51891,
                              {"10.0.0.7"}, 1};

struct Scanner {
    testing::LoopRunner loop;
    std::shared_ptr<FakeBleCentral::Made> made = std::make_shared<FakeBleCentral::Made>();
    std::vector<BLEHostPayload> found;
    std::shared_ptr<BLEHostScanner> scanner = std::make_shared<BLEHostScanner>(
        loop.io.get_executor(), [this](const BLEHostPayload& payload) { found.push_back(payload); },
        FakeBleCentral::factory(made));

    FakeBleCentral& central() { return *made->centrals.at(0); }
    void start() {
        scanner->start();
        loop.drain();
    }
    void stop() {
        scanner->stop();
        loop.drain();
    }
    // A peripheral taken through discovery, connection, services and characteristics.
    void bringUp(const std::string& peripheral) {
        auto& handlers = central().handlers;
        handlers.onDiscovered(peripheral);
        handlers.onConnected(peripheral);
        handlers.onServicesDiscovered(peripheral, {{"other", "180A"}, {peripheral + "/s", kService}}, std::nullopt);
        handlers.onCharacteristicsDiscovered(peripheral, {peripheral + "/s", kService},
                                             {{"x", "2A00"}, {peripheral + "/c", kCharacteristic}}, std::nullopt);
    }
    void value(const std::string& peripheral, const std::optional<Bytes>& bytes, BleCentral::Error error = std::nullopt,
               const std::string& uuid = kCharacteristic) {
        central().handlers.onValueUpdated(peripheral, {peripheral + "/c", uuid}, bytes, error);
    }
};

TEST(BLEHostScanner, ScansOnlyWhenPoweredOnAndAgainOnEachPowerOnWhileRequested) {
    Scanner scanner;
    scanner.start();
    ASSERT_EQ(scanner.made->centrals.size(), 1u);
    EXPECT_TRUE(scanner.central().takeCalls().empty());
    scanner.central().setState(BleManagerState::unauthorized);
    EXPECT_TRUE(scanner.central().takeCalls().empty());
    scanner.central().setState(BleManagerState::poweredOn);
    EXPECT_EQ(scanner.central().takeCalls(), std::vector<std::string>{"scan " + kService});
    scanner.central().setState(BleManagerState::poweredOff);
    scanner.central().setState(BleManagerState::poweredOn);
    EXPECT_EQ(scanner.central().takeCalls(), std::vector<std::string>{"scan " + kService});
    // A second start while powered on scans at once, with the same central.
    scanner.start();
    EXPECT_EQ(scanner.made->centrals.size(), 1u);
    EXPECT_EQ(scanner.central().takeCalls(), std::vector<std::string>{"scan " + kService});
}

TEST(BLEHostScanner, ConnectsFindsSubscribesThenReadsAndDeliversEveryDecodedValue) {
    Scanner scanner;
    scanner.start();
    scanner.central().setState(BleManagerState::poweredOn);
    scanner.central().takeCalls();

    scanner.bringUp("dev1");
    EXPECT_EQ(scanner.central().takeCalls(), (std::vector<std::string>{
                                                 "connect dev1",
                                                 "discoverServices dev1 " + kService,
                                                 "discoverCharacteristics dev1 dev1/s " + kCharacteristic,
                                                 "notify dev1 dev1/c",
                                                 "read dev1 dev1/c",
                                             }));
    scanner.value("dev1", kPayload.encoded());
    BLEHostPayload moved = kPayload;
    moved.addresses = {"10.0.0.8"};
    scanner.value("dev1", moved.encoded()); // a notification after the host changed
    EXPECT_EQ(scanner.found, (std::vector<BLEHostPayload>{kPayload, moved}));

    // Dropped: an error, another characteristic, no value, and anything that is not a whole payload.
    scanner.value("dev1", kPayload.encoded(), std::string("read failed"));
    scanner.value("dev1", kPayload.encoded(), std::nullopt, "2A00");
    scanner.value("dev1", std::nullopt);
    for (const char* document : {R"({"id":"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9","name":"M","port":1,"addresses":[]})",
                                 R"({"id":"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9","name":"M","port":"1","addresses":[],"v":1})",
                                 "{\"id\":", "\xff\xfe"}) {
        scanner.value("dev1", bytesOf(document));
    }
    EXPECT_EQ(scanner.found.size(), 2u);
}

TEST(BLEHostScanner, ADiscoveryErrorStopsThatPeripheralsChain) {
    Scanner scanner;
    scanner.start();
    scanner.central().setState(BleManagerState::poweredOn);
    auto& handlers = scanner.central().handlers;
    handlers.onDiscovered("dev1");
    handlers.onConnected("dev1");
    scanner.central().takeCalls();
    handlers.onServicesDiscovered("dev1", {{"dev1/s", kService}}, std::string("failed"));
    EXPECT_TRUE(scanner.central().takeCalls().empty());
    handlers.onCharacteristicsDiscovered("dev1", {"dev1/s", kService}, {{"dev1/c", kCharacteristic}}, std::string("failed"));
    EXPECT_TRUE(scanner.central().takeCalls().empty());
}

TEST(BLEHostScanner, DisconnectionRescansWhileRequestedAndRediscoveryConnectsAgain) {
    Scanner scanner;
    scanner.start();
    scanner.central().setState(BleManagerState::poweredOn);
    scanner.bringUp("dev1");
    scanner.central().takeCalls();

    scanner.central().handlers.onDisconnected("dev1", std::nullopt);
    EXPECT_EQ(scanner.central().takeCalls(), std::vector<std::string>{"scan " + kService});
    EXPECT_EQ(scanner.scanner->discoveredPeripherals().count("dev1"), 1u); // still listed
    scanner.central().handlers.onDiscovered("dev1");
    EXPECT_EQ(scanner.central().takeCalls(), std::vector<std::string>{"connect dev1"});
    EXPECT_EQ(scanner.scanner->discoveredPeripherals().size(), 1u);
}

TEST(BLEHostScanner, StopCancelsEveryConnectionEmptiesTheMapAndLaterDisconnectionsDoNotRescan) {
    Scanner scanner;
    scanner.start();
    scanner.central().setState(BleManagerState::poweredOn);
    scanner.bringUp("dev1");
    scanner.bringUp("dev2");
    scanner.central().takeCalls();

    scanner.stop();
    EXPECT_EQ(scanner.central().takeCalls(), (std::vector<std::string>{"stopScan", "cancel dev1", "cancel dev2"}));
    EXPECT_TRUE(scanner.scanner->discoveredPeripherals().empty());
    scanner.central().handlers.onDisconnected("dev1", std::nullopt);
    scanner.central().setState(BleManagerState::poweredOn);
    EXPECT_TRUE(scanner.central().takeCalls().empty());
}

} // namespace
} // namespace velorinth
