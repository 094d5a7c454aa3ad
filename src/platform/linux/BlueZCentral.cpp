#include "platform/linux/BlueZCentral.hpp"

#include <asio/post.hpp>

#include <sdbus-c++/Error.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace velorinth {

namespace {

using namespace std::chrono_literals;

constexpr const char* kInProgress = "org.bluez.Error.InProgress";
// A BLE connection may take this long before BlueZ gives up on it.
constexpr std::chrono::microseconds kConnectTimeout = 30s;

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool wanted(const std::vector<std::string>& uuids, const std::string& uuid) {
    if (uuids.empty()) return true;
    return std::any_of(uuids.begin(), uuids.end(), [&](const std::string& one) { return sameBluetoothUUID(one, uuid); });
}

const bluez::Properties* interfaceOf(const bluez::Interfaces* object, const char* interface) {
    if (object == nullptr) return nullptr;
    const auto found = object->find(interface);
    return found == object->end() ? nullptr : &found->second;
}

bool changedOne(const std::vector<std::string>& changed, const char* name) {
    return std::find(changed.begin(), changed.end(), name) != changed.end();
}

std::string errorText(const sdbus::Error& error) {
    return error.getMessage().empty() ? error.getName() : error.getMessage();
}

} // namespace

BlueZCentral::BlueZCentral(const asio::any_io_executor& executor, Handlers handlers,
                           DBusLoopConnection::Opener opener, std::chrono::steady_clock::duration connectRetryPause)
    : executor_(executor), handlers_(std::move(handlers)), connectRetryPause_(connectRetryPause) {
    BlueZSession::Handlers session;
    session.onState = [this](BleManagerState state) {
        notify([state](Handlers& owner) {
            if (owner.onStateChanged) owner.onStateChanged(state);
        });
    };
    session.onObjectAdded = [this](const std::string& path) { considerDiscovery(path); };
    session.onObjectRemoved = [this](const std::string& path) {
        const auto found = peripherals_.find(path);
        if (found == peripherals_.end() || device(path) != nullptr) return;
        // The device is gone: no more connection attempts; a connection it had is over.
        found->second.retry.reset();
        if (found->second.connected) {
            found->second.connected = false;
            notifyFor(path, [path](Handlers& owner) {
                if (owner.onDisconnected) owner.onDisconnected(path, std::nullopt);
            });
        }
    };
    session.onPropertiesChanged = [this](const std::string& path, const std::string& interface,
                                         const std::vector<std::string>& changed) {
        if (interface == bluez::kDevice) deviceChanged(path, changed);
        if (interface == bluez::kGattCharacteristic && changedOne(changed, "Value")) valueChanged(path);
    };
    session.onServiceLost = [this] { serviceLost(); };
    session_ = std::make_unique<BlueZSession>(executor_, std::vector<std::string>{}, std::move(session),
                                              std::move(opener));
}

BlueZCentral::~BlueZCentral() { *alive_ = false; }

template <class Call>
void BlueZCentral::notify(Call call) {
    // Callbacks leave the connection's processing first: an owner may destroy us from one.
    asio::post(executor_, [alive = alive_, this, call = std::move(call)]() mutable {
        if (*alive) call(handlers_);
    });
}

template <class Call>
void BlueZCentral::notifyFor(const std::string& peripheral, Call call) {
    asio::post(executor_, [alive = alive_, this, peripheral, call = std::move(call)]() mutable {
        if (*alive && peripherals_.contains(peripheral)) call(handlers_);
    });
}

const bluez::Properties* BlueZCentral::device(const std::string& path) const {
    return interfaceOf(session_->object(path), bluez::kDevice);
}

std::string BlueZCentral::deviceOfCharacteristic(const std::string& path) const {
    const auto* characteristic = interfaceOf(session_->object(path), bluez::kGattCharacteristic);
    if (characteristic == nullptr) return {};
    const auto service = bluez::property<sdbus::ObjectPath>(*characteristic, "Service");
    if (!service) return {};
    const auto* serviceObject = interfaceOf(session_->object(*service), bluez::kGattService);
    if (serviceObject == nullptr) return {};
    return bluez::property<sdbus::ObjectPath>(*serviceObject, "Device").value_or(sdbus::ObjectPath());
}

void BlueZCentral::scanForPeripherals(const std::vector<std::string>& serviceUUIDs) {
    scanning_ = true;
    scanUUIDs_.clear();
    for (const std::string& uuid : serviceUUIDs) scanUUIDs_.push_back(lowerCase(uuid));
    discoveredThisScan_.clear();
    if (session_->adapterPath().empty()) return; // the owner scans again once an adapter is on
    const std::map<std::string, sdbus::Variant> filter{
        {"UUIDs", sdbus::Variant(scanUUIDs_)},
        {"Transport", sdbus::Variant(std::string("le"))},
        {"DuplicateData", sdbus::Variant(false)},
    };
    const std::string adapter = session_->adapterPath();
    session_->call(adapter, bluez::kAdapter, "SetDiscoveryFilter", {}, 0us, filter);
    // A discovery already running is as good.
    session_->call(adapter, bluez::kAdapter, "StartDiscovery", [](sdbus::MethodReply*, const sdbus::Error*) {}, 0us);
}

void BlueZCentral::stopScan() {
    if (!scanning_) return;
    scanning_ = false;
    session_->call(session_->adapterPath(), bluez::kAdapter, "StopDiscovery", {}, 0us);
}

void BlueZCentral::considerDiscovery(const std::string& path) {
    if (!scanning_ || discoveredThisScan_.contains(path)) return;
    const bluez::Properties* properties = device(path);
    if (properties == nullptr) return;
    const auto uuids = bluez::property<std::vector<std::string>>(*properties, "UUIDs");
    if (!uuids || !std::any_of(uuids->begin(), uuids->end(), [&](const std::string& uuid) { return wanted(scanUUIDs_, uuid); })) {
        return;
    }
    discoveredThisScan_.insert(path);
    notify([path](Handlers& owner) {
        if (owner.onDiscovered) owner.onDiscovered(path);
    });
}

void BlueZCentral::deviceChanged(const std::string& path, const std::vector<std::string>& changed) {
    if (changedOne(changed, "RSSI") || changedOne(changed, "UUIDs")) considerDiscovery(path);
    const auto found = peripherals_.find(path);
    const bluez::Properties* properties = device(path);
    if (found == peripherals_.end() || properties == nullptr) return;
    Peripheral& peripheral = found->second;
    if (changedOne(changed, "Connected")) {
        const bool connected = bluez::property<bool>(*properties, "Connected").value_or(false);
        if (connected && peripheral.connectPending) {
            peripheral.connectPending = false;
            peripheral.connected = true;
            peripheral.retry.reset();
            notifyFor(path, [path](Handlers& owner) {
                if (owner.onConnected) owner.onConnected(path);
            });
        } else if (!connected && peripheral.connected) {
            peripheral.connected = false;
            peripheral.servicesWanted.reset();
            notifyFor(path, [path](Handlers& owner) {
                if (owner.onDisconnected) owner.onDisconnected(path, std::nullopt);
            });
        }
    }
    if (changedOne(changed, "ServicesResolved") && peripheral.servicesWanted &&
        bluez::property<bool>(*properties, "ServicesResolved").value_or(false)) {
        deliverServices(path);
    }
}

void BlueZCentral::valueChanged(const std::string& path) {
    if (!subscribed_.contains(path)) return;
    const std::string peripheral = deviceOfCharacteristic(path);
    const auto* characteristic = interfaceOf(session_->object(path), bluez::kGattCharacteristic);
    if (peripheral.empty() || characteristic == nullptr) return;
    const auto value = bluez::property<std::vector<std::uint8_t>>(*characteristic, "Value");
    if (!value) return;
    const Characteristic which{path, bluez::property<std::string>(*characteristic, "UUID").value_or("")};
    notifyFor(peripheral, [peripheral, which, value](Handlers& owner) {
        if (owner.onValueUpdated) owner.onValueUpdated(peripheral, which, Bytes(*value), std::nullopt);
    });
}

void BlueZCentral::connect(const std::string& peripheral) {
    Peripheral& entry = peripherals_[peripheral];
    entry.connectPending = true;
    entry.connected = false;
    entry.retry.reset();
    const bluez::Properties* properties = device(peripheral);
    if (properties != nullptr && bluez::property<bool>(*properties, "Connected").value_or(false)) {
        entry.connectPending = false;
        entry.connected = true;
        notifyFor(peripheral, [peripheral](Handlers& owner) {
            if (owner.onConnected) owner.onConnected(peripheral);
        });
        return;
    }
    attemptConnect(peripheral);
}

void BlueZCentral::attemptConnect(const std::string& peripheral) {
    session_->call(
        peripheral, bluez::kDevice, "Connect",
        [this, peripheral](sdbus::MethodReply*, const sdbus::Error* error) {
            const auto found = peripherals_.find(peripheral);
            if (error == nullptr || found == peripherals_.end() || !found->second.connectPending) return;
            if (device(peripheral) == nullptr) return; // gone: pending until cancelled
            auto& retry = found->second.retry;
            retry = std::make_unique<asio::steady_timer>(executor_, connectRetryPause_);
            retry->async_wait([this, alive = alive_, peripheral](asio::error_code waitError) {
                if (waitError || !*alive) return;
                const auto again = peripherals_.find(peripheral);
                if (again != peripherals_.end() && again->second.connectPending && device(peripheral) != nullptr) {
                    attemptConnect(peripheral);
                }
            });
        },
        kConnectTimeout);
}

void BlueZCentral::cancelPeripheralConnection(const std::string& peripheral) {
    // From now on only the disconnection is delivered.
    peripherals_.erase(peripheral);
    for (auto subscription = subscribed_.begin(); subscription != subscribed_.end();) {
        subscription = subscription->starts_with(peripheral + "/") ? subscribed_.erase(subscription) : std::next(subscription);
    }
    session_->call(
        peripheral, bluez::kDevice, "Disconnect",
        [this, peripheral](sdbus::MethodReply*, const sdbus::Error*) {
            notify([peripheral](Handlers& owner) {
                if (owner.onDisconnected) owner.onDisconnected(peripheral, std::nullopt);
            });
        },
        0us);
}

void BlueZCentral::discoverServices(const std::string& peripheral, const std::vector<std::string>& serviceUUIDs) {
    const auto found = peripherals_.find(peripheral);
    if (found == peripherals_.end()) return;
    found->second.servicesWanted = serviceUUIDs;
    const bluez::Properties* properties = device(peripheral);
    if (properties != nullptr && bluez::property<bool>(*properties, "ServicesResolved").value_or(false)) {
        deliverServices(peripheral);
    }
}

void BlueZCentral::deliverServices(const std::string& peripheral) {
    auto& entry = peripherals_.at(peripheral);
    const std::vector<std::string> uuids = entry.servicesWanted.value_or(std::vector<std::string>{});
    entry.servicesWanted.reset();
    std::vector<Service> services;
    for (const auto& [path, interfaces] : session_->objects()) {
        const bluez::Properties* service = interfaceOf(&interfaces, bluez::kGattService);
        if (service == nullptr || bluez::property<sdbus::ObjectPath>(*service, "Device") != sdbus::ObjectPath(peripheral)) {
            continue;
        }
        const auto uuid = bluez::property<std::string>(*service, "UUID");
        if (uuid && wanted(uuids, *uuid)) services.push_back(Service{path, *uuid});
    }
    notifyFor(peripheral, [peripheral, services](Handlers& owner) {
        if (owner.onServicesDiscovered) owner.onServicesDiscovered(peripheral, services, std::nullopt);
    });
}

void BlueZCentral::discoverCharacteristics(const std::string& peripheral, const Service& service,
                                           const std::vector<std::string>& characteristicUUIDs) {
    if (!peripherals_.contains(peripheral)) return;
    std::vector<Characteristic> characteristics;
    for (const auto& [path, interfaces] : session_->objects()) {
        const bluez::Properties* characteristic = interfaceOf(&interfaces, bluez::kGattCharacteristic);
        if (characteristic == nullptr ||
            bluez::property<sdbus::ObjectPath>(*characteristic, "Service") != sdbus::ObjectPath(service.id)) {
            continue;
        }
        const auto uuid = bluez::property<std::string>(*characteristic, "UUID");
        if (uuid && wanted(characteristicUUIDs, *uuid)) characteristics.push_back(Characteristic{path, *uuid});
    }
    notifyFor(peripheral, [peripheral, service, characteristics](Handlers& owner) {
        if (owner.onCharacteristicsDiscovered) {
            owner.onCharacteristicsDiscovered(peripheral, service, characteristics, std::nullopt);
        }
    });
}

void BlueZCentral::setNotifyValue(bool enabled, const std::string& peripheral, const Characteristic& characteristic) {
    if (!peripherals_.contains(peripheral)) return;
    if (enabled) {
        subscribed_.insert(characteristic.id);
    } else {
        subscribed_.erase(characteristic.id);
    }
    session_->call(characteristic.id, bluez::kGattCharacteristic, enabled ? "StartNotify" : "StopNotify", {}, 0us);
}

void BlueZCentral::readValue(const std::string& peripheral, const Characteristic& characteristic) {
    if (!peripherals_.contains(peripheral)) return;
    session_->call(
        characteristic.id, bluez::kGattCharacteristic, "ReadValue",
        [this, peripheral, characteristic](sdbus::MethodReply* reply, const sdbus::Error* error) {
            std::optional<Bytes> value;
            Error failure;
            if (error != nullptr) {
                failure = errorText(*error);
            } else {
                try {
                    std::vector<std::uint8_t> bytes;
                    *reply >> bytes;
                    value = Bytes(std::move(bytes));
                } catch (const sdbus::Error& malformed) {
                    failure = errorText(malformed);
                }
            }
            notifyFor(peripheral, [peripheral, characteristic, value, failure](Handlers& owner) {
                if (owner.onValueUpdated) owner.onValueUpdated(peripheral, characteristic, value, failure);
            });
        },
        0us, std::map<std::string, sdbus::Variant>{});
}

void BlueZCentral::serviceLost() {
    // BlueZ's connections went with it.
    scanning_ = false;
    subscribed_.clear();
    for (auto& [path, peripheral] : peripherals_) {
        peripheral.retry.reset();
        if (!peripheral.connected) continue;
        peripheral.connected = false;
        notifyFor(path, [path = path](Handlers& owner) {
            if (owner.onDisconnected) owner.onDisconnected(path, std::string("Bluetooth is unavailable."));
        });
    }
}

std::unique_ptr<BleCentral> BleCentral::create(const asio::any_io_executor& executor, Handlers handlers) {
    return std::make_unique<BlueZCentral>(executor, std::move(handlers));
}

} // namespace velorinth
