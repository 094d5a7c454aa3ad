#include "transport/discovery/BLEHostAdvertiser.hpp"

#include <asio/post.hpp>

#include <utility>

namespace velorinth {

namespace {

constexpr std::uint8_t kPropertiesReadNotify = 0x02 | 0x10;
constexpr std::uint8_t kPermissionReadable = 0x01;

} // namespace

BLEHostAdvertiser::BLEHostAdvertiser(asio::any_io_executor executor, BlePeripheral::Factory factory)
    : executor_(std::move(executor)), factory_(std::move(factory)) {}

template <class Work>
void BLEHostAdvertiser::enqueue(Work work) {
    asio::post(executor_, [weak = weak_from_this(), work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

void BLEHostAdvertiser::start(const Uuid& id, std::string name, std::uint16_t port,
                              std::vector<std::string> addresses) {
    enqueue([payload = BLEHostPayload{id, std::move(name), port, std::move(addresses), 1}](
                BLEHostAdvertiser& self) mutable {
        self.currentPayload_ = std::move(payload);
        self.isAdvertisingRequested_ = true;
        if (!self.peripheralManager_) {
            // Publishing waits for the peripheral's first state.
            BlePeripheral::Handlers handlers;
            handlers.onStateChanged = [weak = self.weak_from_this()](BleManagerState state) {
                if (auto owner = weak.lock()) owner->handleState(state);
            };
            handlers.onReadRequest = [weak = self.weak_from_this()](const BlePeripheral::ReadRequest& request) {
                if (auto owner = weak.lock()) owner->handleReadRequest(request);
            };
            self.peripheralManager_ = self.factory_(self.executor_, std::move(handlers));
        } else if (self.peripheralManager_->state() == BleManagerState::poweredOn) {
            self.publish();
        }
    });
}

void BLEHostAdvertiser::updateNetworkInfo(std::vector<std::string> addresses, std::optional<std::uint16_t> port) {
    enqueue([addresses = std::move(addresses), port](BLEHostAdvertiser& self) mutable {
        if (!self.currentPayload_) return;
        self.currentPayload_->addresses = std::move(addresses);
        if (port) self.currentPayload_->port = *port;
        if (self.characteristic_ && self.peripheralManager_) {
            self.peripheralManager_->updateValue(self.servedPayload(), self.characteristic_->uuid);
        }
    });
}

void BLEHostAdvertiser::stop() {
    enqueue([](BLEHostAdvertiser& self) {
        self.isAdvertisingRequested_ = false;
        if (self.peripheralManager_) {
            self.peripheralManager_->stopAdvertising();
            self.peripheralManager_->removeAllServices();
        }
        self.characteristic_.reset();
    });
}

void BLEHostAdvertiser::publish() {
    if (!peripheralManager_ || peripheralManager_->state() != BleManagerState::poweredOn || !currentPayload_) return;
    peripheralManager_->stopAdvertising();
    peripheralManager_->removeAllServices();
    characteristic_ = BlePeripheral::Characteristic{std::string(BLEProximityConstants::characteristicUUID),
                                                    kPropertiesReadNotify, kPermissionReadable};
    peripheralManager_->addService(
        BlePeripheral::Service{std::string(BLEProximityConstants::serviceUUID), true, {*characteristic_}});
    peripheralManager_->startAdvertising(
        BlePeripheral::Advertisement{{std::string(BLEProximityConstants::serviceUUID)}, currentPayload_->name});
}

void BLEHostAdvertiser::handleState(BleManagerState state) {
    // Other states tear nothing down.
    if (state == BleManagerState::poweredOn && isAdvertisingRequested_) publish();
}

void BLEHostAdvertiser::handleReadRequest(const BlePeripheral::ReadRequest& request) {
    if (!peripheralManager_) return;
    if (!sameBluetoothUUID(request.characteristicUUID, BLEProximityConstants::characteristicUUID) ||
        !currentPayload_) {
        peripheralManager_->respond(request.id, BlePeripheral::AttResult::requestNotSupported, {});
        return;
    }
    const Bytes served = servedPayload();
    if (request.offset > served.size()) {
        peripheralManager_->respond(request.id, BlePeripheral::AttResult::invalidOffset, {});
        return;
    }
    const auto from = served.begin() + static_cast<std::ptrdiff_t>(request.offset);
    peripheralManager_->respond(request.id, BlePeripheral::AttResult::success, Bytes(from, served.end()));
}

Bytes BLEHostAdvertiser::servedPayload() const {
    return currentPayload_->encodedWithin(BLEHostPayload::kMaximumServedSize);
}

} // namespace velorinth
