#include "transport/discovery/BLEHostScanner.hpp"

#include "core/Json.hpp"

#include <asio/post.hpp>

#include <utility>

namespace velorinth {

BLEHostScanner::BLEHostScanner(asio::any_io_executor executor, HostHandler onHostDiscovered,
                               BleCentral::Factory factory)
    : executor_(std::move(executor)), onHostDiscovered_(std::move(onHostDiscovered)), factory_(std::move(factory)) {}

template <class Work>
void BLEHostScanner::enqueue(Work work) {
    asio::post(executor_, [weak = weak_from_this(), work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

void BLEHostScanner::start() {
    enqueue([](BLEHostScanner& self) {
        self.isScanningRequested_ = true;
        if (!self.centralManager_) {
            // Scanning begins with the central's first powered-on state.
            self.centralManager_ = self.factory_(self.executor_, self.makeHandlers());
        } else if (self.centralManager_->state() == BleManagerState::poweredOn) {
            self.scan();
        }
    });
}

void BLEHostScanner::stop() {
    enqueue([](BLEHostScanner& self) {
        self.isScanningRequested_ = false;
        if (self.centralManager_) {
            self.centralManager_->stopScan();
            for (const std::string& peripheral : self.discoveredPeripherals_) {
                self.centralManager_->cancelPeripheralConnection(peripheral);
            }
        }
        self.discoveredPeripherals_.clear();
    });
}

BleCentral::Handlers BLEHostScanner::makeHandlers() {
    // The central lives inside this scanner and calls back on the loop; the
    // weak pointer covers a callback queued while the scanner went away.
    const std::weak_ptr<BLEHostScanner> weak = weak_from_this();
    BleCentral::Handlers handlers;
    handlers.onStateChanged = [weak](BleManagerState state) {
        if (auto self = weak.lock()) self->handleState(state);
    };
    handlers.onDiscovered = [weak](const std::string& peripheral) {
        if (auto self = weak.lock()) self->handleDiscovered(peripheral);
    };
    handlers.onConnected = [weak](const std::string& peripheral) {
        if (auto self = weak.lock()) self->handleConnected(peripheral);
    };
    handlers.onDisconnected = [weak](const std::string&, const BleCentral::Error&) {
        if (auto self = weak.lock()) self->handleDisconnected();
    };
    handlers.onServicesDiscovered = [weak](const std::string& peripheral,
                                           const std::vector<BleCentral::Service>& services,
                                           const BleCentral::Error& error) {
        if (auto self = weak.lock()) self->handleServices(peripheral, services, error);
    };
    handlers.onCharacteristicsDiscovered = [weak](const std::string& peripheral, const BleCentral::Service&,
                                                  const std::vector<BleCentral::Characteristic>& characteristics,
                                                  const BleCentral::Error& error) {
        if (auto self = weak.lock()) self->handleCharacteristics(peripheral, characteristics, error);
    };
    handlers.onValueUpdated = [weak](const std::string&, const BleCentral::Characteristic& characteristic,
                                     const std::optional<Bytes>& value, const BleCentral::Error& error) {
        if (auto self = weak.lock()) self->handleValue(characteristic, value, error);
    };
    return handlers;
}

void BLEHostScanner::scan() {
    centralManager_->scanForPeripherals({std::string(BLEProximityConstants::serviceUUID)});
}

void BLEHostScanner::handleState(BleManagerState state) {
    if (state == BleManagerState::poweredOn && isScanningRequested_) scan();
}

void BLEHostScanner::handleDiscovered(const std::string& peripheral) {
    discoveredPeripherals_.insert(peripheral);
    centralManager_->connect(peripheral);
}

void BLEHostScanner::handleConnected(const std::string& peripheral) {
    centralManager_->discoverServices(peripheral, {std::string(BLEProximityConstants::serviceUUID)});
}

void BLEHostScanner::handleDisconnected() {
    // The peripheral stays listed; a new scan finds it again.
    if (isScanningRequested_) scan();
}

void BLEHostScanner::handleServices(const std::string& peripheral, const std::vector<BleCentral::Service>& services,
                                    const BleCentral::Error& error) {
    if (error) return;
    for (const BleCentral::Service& service : services) {
        if (!sameBluetoothUUID(service.uuid, BLEProximityConstants::serviceUUID)) continue;
        centralManager_->discoverCharacteristics(peripheral, service,
                                                 {std::string(BLEProximityConstants::characteristicUUID)});
    }
}

void BLEHostScanner::handleCharacteristics(const std::string& peripheral,
                                           const std::vector<BleCentral::Characteristic>& characteristics,
                                           const BleCentral::Error& error) {
    if (error) return;
    for (const BleCentral::Characteristic& characteristic : characteristics) {
        if (!sameBluetoothUUID(characteristic.uuid, BLEProximityConstants::characteristicUUID)) continue;
        centralManager_->setNotifyValue(true, peripheral, characteristic);
        centralManager_->readValue(peripheral, characteristic);
    }
}

void BLEHostScanner::handleValue(const BleCentral::Characteristic& characteristic, const std::optional<Bytes>& value,
                                 const BleCentral::Error& error) {
    if (error || !value || !sameBluetoothUUID(characteristic.uuid, BLEProximityConstants::characteristicUUID)) return;
    const std::optional<BLEHostPayload> payload = json::tryDecodeFromBytes<BLEHostPayload>(*value);
    if (payload && onHostDiscovered_) onHostDiscovered_(*payload);
}

} // namespace velorinth
