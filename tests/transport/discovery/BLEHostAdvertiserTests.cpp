#include "transport/discovery/BLEHostAdvertiser.hpp"
#include "transport/discovery/LocalNetworkAddressScanner.hpp"

#include "support/FakeBlePeripheral.hpp"
#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>
#include <net/if.h>

namespace velorinth {
namespace {

using testing::FakeBlePeripheral;
using Kind = FakeBlePeripheral::Call::Kind;
using Result = BlePeripheral::AttResult;

const Uuid kHost = *Uuid::fromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
const std::string kCharacteristic(BLEProximityConstants::characteristicUUID);

TEST(BLEHostPayload, RoundTripsAndRefusesIncompleteDocuments) {
    const BLEHostPayload payload{kHost, "Studio Mac", 51891, {"10.0.0.7", "192.168.1.5"}, 1};
    EXPECT_EQ(BLEHostPayload::decode(payload.encoded()), payload);
    const std::string valid = R"("id":"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9","name":"Mac","port":51891,"addresses":["10.0.0.7"])";
    const auto decode = [](const std::string& document) { return BLEHostPayload::decode(bytesOf(document)); };
    // Unknown keys are ignored; an identifier of either case reads.
    EXPECT_EQ(decode("{" + valid + R"(,"v":1,"extra":[1,2]})").id, kHost);
    const std::string refused[] = {
        "{" + valid + "}", // no "v"
        R"({"id":"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9","name":"Mac","port":70000,"addresses":[],"v":1})",
        R"({"id":"not-a-uuid","name":"Mac","port":1,"addresses":[],"v":1})",
        R"({"id":"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9","name":"Mac","port":1,"addresses":[7],"v":1})",
        R"({"id":"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9","name":"Mac","port":1,"addresses":[],"v":1)",
    };
    for (const std::string& document : refused) {
        EXPECT_THROW(decode(document), JSONDecodingError) << document;
    }
}

TEST(BLEHostPayload, ServedFormDropsAddressesFromTheEndUntilItFitsTheAttLimit) {
    BLEHostPayload payload{kHost, "Studio Mac", 51891, {}, 1};
    for (int i = 0; i < 40; ++i) payload.addresses.push_back("192.168.100." + std::to_string(100 + i));
    const Bytes served = payload.encodedWithin(BLEHostPayload::kMaximumServedSize);
    ASSERT_LE(served.size(), BLEHostPayload::kMaximumServedSize);
    const BLEHostPayload decoded = BLEHostPayload::decode(served);
    ASSERT_FALSE(decoded.addresses.empty());
    ASSERT_LT(decoded.addresses.size(), payload.addresses.size());
    EXPECT_TRUE(std::equal(decoded.addresses.begin(), decoded.addresses.end(), payload.addresses.begin()));
    // One more address would not have fitted.
    BLEHostPayload larger = decoded;
    larger.addresses.push_back(payload.addresses[decoded.addresses.size()]);
    EXPECT_GT(larger.encoded().size(), BLEHostPayload::kMaximumServedSize);
}

TEST(LocalNetworkAddressScanner, PhysicalInterfacesFirstLastFoundFirstThenTheRestInOrder) {
    using Entry = LocalNetworkAddressScanner::Entry;
    const unsigned live = IFF_UP | IFF_RUNNING;
    auto inet = [](std::string name, unsigned flags, Bytes address, bool physical) {
        return Entry{InterfaceAddress{std::move(name), flags, InterfaceAddressFamily::inet, std::move(address), {}, 0}, physical};
    };
    const std::vector<Entry> entries{
        inet("lo", live | IFF_LOOPBACK, {127, 0, 0, 1}, false),
        inet("eth0", live, {192, 168, 1, 5}, true),
        inet("wlan0", live, {10, 0, 0, 7}, true),
        inet("br0", live, {172, 16, 0, 1}, false),
        inet("eth0:1", live, {192, 168, 1, 5}, true), // the same address again
        inet("eth1", live, {0, 0, 0, 0}, true),
        inet("veth0", live, {127, 0, 0, 5}, false), // 127.x outside loopback
        inet("eth2", IFF_UP, {192, 168, 2, 1}, true), // not running
        inet("eth3", IFF_RUNNING, {192, 168, 3, 1}, true), // down
        Entry{InterfaceAddress{"eth0", live, InterfaceAddressFamily::inet6, Bytes(16, 0xfd), {}, 0}, true},
        inet("tun0", live, {100, 64, 0, 2}, false),
    };
    EXPECT_EQ(LocalNetworkAddressScanner::orderedIPv4Addresses(entries),
              (std::vector<std::string>{"10.0.0.7", "192.168.1.5", "172.16.0.1", "100.64.0.2"}));
}

struct Beacon {
    testing::LoopRunner loop;
    std::shared_ptr<FakeBlePeripheral::Made> made = std::make_shared<FakeBlePeripheral::Made>();
    std::shared_ptr<BLEHostAdvertiser> advertiser =
        std::make_shared<BLEHostAdvertiser>(loop.io.get_executor(), FakeBlePeripheral::factory(made));

    FakeBlePeripheral& peripheral() { return *made->peripherals.at(0); }
    void start(std::vector<std::string> addresses = {"10.0.0.7"}, std::uint16_t port = 51891) {
        advertiser->start(kHost, "Studio Mac", port, std::move(addresses));
        loop.drain();
    }
    // The answer to a read of `uuid` at `offset`.
    FakeBlePeripheral::Call read(const std::string& uuid, std::size_t offset, std::uint64_t id = 9) {
        peripheral().read(id, uuid, offset);
        return peripheral().calls.back();
    }
};

TEST(BLEHostAdvertiser, PublishesOnPowerOnWithTheBeaconsLayout) {
    Beacon beacon;
    beacon.start();
    ASSERT_EQ(beacon.made->peripherals.size(), 1u);
    EXPECT_TRUE(beacon.peripheral().calls.empty()); // waits for the first state
    beacon.peripheral().setState(BleManagerState::poweredOff);
    EXPECT_TRUE(beacon.peripheral().calls.empty());
    beacon.peripheral().setState(BleManagerState::poweredOn);

    const auto& calls = beacon.peripheral().calls;
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, Kind::stopAdvertising);
    EXPECT_EQ(calls[1].kind, Kind::removeAllServices);
    ASSERT_EQ(calls[2].kind, Kind::addService);
    const BlePeripheral::Service expected{std::string(BLEProximityConstants::serviceUUID), true, {{kCharacteristic, 0x12, 0x01}}};
    EXPECT_EQ(calls[2].service, expected);
    ASSERT_EQ(calls[3].kind, Kind::startAdvertising);
    EXPECT_EQ(calls[3].advertisement,
              (BlePeripheral::Advertisement{{std::string(BLEProximityConstants::serviceUUID)}, "Studio Mac"}));
}

TEST(BLEHostAdvertiser, ReadsServeThePayloadFromTheirOffset) {
    Beacon beacon;
    beacon.start();
    beacon.peripheral().setState(BleManagerState::poweredOn);
    const Bytes encoded = beacon.advertiser->currentPayload()->encoded();

    const auto whole = beacon.read(kCharacteristic, 0, 1);
    EXPECT_EQ(whole.requestID, 1u);
    EXPECT_EQ(whole.result, Result::success);
    EXPECT_EQ(BLEHostPayload::decode(whole.value), *beacon.advertiser->currentPayload());
    EXPECT_EQ(beacon.read(kCharacteristic, 5).value, Bytes(encoded.begin() + 5, encoded.end()));
    // Upper-case or lower-case, the characteristic is the same.
    EXPECT_EQ(beacon.read("9b15d79c-89e2-4c70-983f-3164f0a91d3c", 0).result, Result::success);

    const auto atEnd = beacon.read(kCharacteristic, encoded.size());
    EXPECT_EQ(atEnd.result, Result::success);
    EXPECT_TRUE(atEnd.value.empty());
    EXPECT_EQ(beacon.read(kCharacteristic, encoded.size() + 1).result, Result::invalidOffset);
    EXPECT_EQ(beacon.read(std::string(BLEProximityConstants::serviceUUID), 0).result, Result::requestNotSupported);
}

TEST(BLEHostAdvertiser, ReadsAndPushesServeAtMostTheAttLimitWhileThePayloadKeepsEveryAddress) {
    Beacon beacon;
    std::vector<std::string> addresses;
    for (int i = 0; i < 40; ++i) addresses.push_back("10.1.2." + std::to_string(i));
    beacon.start(addresses);
    beacon.peripheral().setState(BleManagerState::poweredOn);
    EXPECT_EQ(beacon.advertiser->currentPayload()->addresses.size(), 40u);

    const Bytes served = beacon.read(kCharacteristic, 0).value;
    EXPECT_LE(served.size(), BLEHostPayload::kMaximumServedSize);
    EXPECT_EQ(BLEHostPayload::decode(served).addresses.front(), "10.1.2.0");

    beacon.advertiser->updateNetworkInfo(addresses, std::nullopt);
    beacon.loop.drain();
    ASSERT_EQ(beacon.peripheral().calls.back().kind, Kind::updateValue);
    EXPECT_EQ(beacon.peripheral().calls.back().value, served);
}

TEST(BLEHostAdvertiser, UpdatesReplaceAddressesAndPortAndArePushedOnlyWhilePublished) {
    Beacon beacon;
    beacon.advertiser->updateNetworkInfo({"10.9.9.9"}, 1);
    beacon.loop.drain();
    EXPECT_TRUE(beacon.made->peripherals.empty()); // nothing before a start
    beacon.start({"10.0.0.7"}, 51891);

    // Not yet published (no power): stored, not pushed.
    beacon.advertiser->updateNetworkInfo({"10.0.0.8"}, std::nullopt);
    beacon.loop.drain();
    EXPECT_EQ(beacon.advertiser->currentPayload()->port, 51891);
    EXPECT_EQ(beacon.advertiser->currentPayload()->addresses, std::vector<std::string>{"10.0.0.8"});
    EXPECT_TRUE(beacon.peripheral().calls.empty());

    beacon.peripheral().setState(BleManagerState::poweredOn);
    beacon.peripheral().calls.clear();
    // An unchanged payload is pushed all the same.
    for (int i = 0; i < 2; ++i) {
        beacon.advertiser->updateNetworkInfo({"10.0.0.8"}, 40000);
        beacon.loop.drain();
    }
    ASSERT_EQ(beacon.peripheral().calls.size(), 2u);
    const auto& push = beacon.peripheral().calls.back();
    EXPECT_EQ(push.uuid, kCharacteristic);
    EXPECT_EQ(BLEHostPayload::decode(push.value).port, 40000);

    beacon.advertiser->stop();
    beacon.loop.drain();
    beacon.peripheral().calls.clear();
    beacon.advertiser->updateNetworkInfo({"10.0.0.9"}, std::nullopt);
    beacon.loop.drain();
    EXPECT_TRUE(beacon.peripheral().calls.empty());
}

TEST(BLEHostAdvertiser, StopWithdrawsAndPowerAloneDoesNotRepublishButAStartDoesAtOnce) {
    Beacon beacon;
    beacon.start();
    beacon.peripheral().setState(BleManagerState::poweredOn);
    beacon.peripheral().calls.clear();

    beacon.advertiser->stop();
    beacon.loop.drain();
    EXPECT_EQ(beacon.peripheral().takeKinds(), (std::vector<Kind>{Kind::stopAdvertising, Kind::removeAllServices}));
    // Another state tears nothing down; power alone does not publish after stop.
    beacon.peripheral().setState(BleManagerState::resetting);
    beacon.peripheral().setState(BleManagerState::poweredOn);
    EXPECT_TRUE(beacon.peripheral().calls.empty());

    beacon.advertiser->start(kHost, "Renamed Mac", 40000, {"10.0.0.9"});
    beacon.loop.drain();
    EXPECT_EQ(beacon.made->peripherals.size(), 1u); // one manager for the object's life
    const auto& calls = beacon.peripheral().calls;
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[3].advertisement.localName, "Renamed Mac");
    EXPECT_EQ(BLEHostPayload::decode(beacon.read(kCharacteristic, 0).value).port, 40000);

    // Bluetooth switched off and on again publishes again while requested.
    beacon.peripheral().calls.clear();
    beacon.peripheral().setState(BleManagerState::poweredOff);
    beacon.peripheral().setState(BleManagerState::poweredOn);
    EXPECT_EQ(beacon.peripheral().takeKinds(),
              (std::vector<Kind>{Kind::stopAdvertising, Kind::removeAllServices, Kind::addService, Kind::startAdvertising}));
}

TEST(BLEHostAdvertiser, WorkPostedJustBeforeDestructionReachesNothingAndDestructionTakesThePeripheral) {
    Beacon beacon;
    beacon.advertiser->start(kHost, "Studio Mac", 51891, {});
    beacon.advertiser.reset();
    beacon.loop.drain();
    EXPECT_TRUE(beacon.made->peripherals.empty());
    EXPECT_EQ(beacon.made->destroyed, 0);

    Beacon second;
    second.start();
    second.advertiser->stop();
    second.advertiser.reset();
    second.loop.drain();
    EXPECT_EQ(second.made->destroyed, 1);
}

} // namespace
} // namespace velorinth
