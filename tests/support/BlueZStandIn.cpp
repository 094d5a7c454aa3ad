#include "support/BlueZStandIn.hpp"

#include <sdbus-c++/Error.h>

#include <utility>

namespace velorinth::testing {

namespace {

using VariantMap = std::map<std::string, sdbus::Variant>;

} // namespace

BlueZStandIn::BlueZStandIn(const asio::any_io_executor& executor, const std::string& busAddress, Options options)
    : options_(options) {
    DBusLoopConnection::Handlers handlers;
    handlers.onOpened = [this] { exportAdapter(); };
    handlers.onClosed = [this](const std::string&) { failed_ = true; };
    handlers.onSignal = [this](sdbus::Message& message) { onSignal(message); };
    bus_ = DBusLoopConnection::open(
        executor,
        [busAddress] {
            auto connection = sdbus::createSessionBusConnectionWithAddress(busAddress);
            connection->requestName(bluez::kService);
            return connection;
        },
        {"type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'"}, std::move(handlers));
}

BlueZStandIn::~BlueZStandIn() {
    devices_.clear();
    proxies_.clear();
    adapter_.reset();
    root_.reset();
    bus_->close();
}

void BlueZStandIn::exportAdapter() {
    auto& connection = bus_->connection();
    root_ = sdbus::createObject(connection, "/");
    root_->addObjectManager();
    adapter_ = sdbus::createObject(connection, kAdapterPath);
    adapter_->registerProperty("Powered").onInterface(bluez::kAdapter).withGetter([this] { return options_.powered; });
    adapter_->registerMethod("SetDiscoveryFilter").onInterface(bluez::kAdapter).implementedAs([this](const VariantMap& filter) {
        std::string text = "SetDiscoveryFilter";
        for (const auto& [key, value] : filter) text += " " + key;
        calls.push_back(text);
    });
    for (const char* method : {"StartDiscovery", "StopDiscovery"}) {
        adapter_->registerMethod(method).onInterface(bluez::kAdapter).implementedAs([this, method] {
            calls.emplace_back(method);
        });
    }
    if (options_.advertisingManagers) {
        adapter_->registerMethod("RegisterApplication")
            .onInterface(bluez::kGattManager)
            .implementedAs([this](const sdbus::ObjectPath& path, const VariantMap&) {
                calls.push_back("RegisterApplication " + path);
                readBack(adapter_->getCurrentlyProcessedMessage()->getSender(), path, true);
            });
        adapter_->registerMethod("RegisterAdvertisement")
            .onInterface(bluez::kAdvertisingManager)
            .implementedAs([this](const sdbus::ObjectPath& path, const VariantMap&) {
                calls.push_back("RegisterAdvertisement " + path);
                readBack(adapter_->getCurrentlyProcessedMessage()->getSender(), path, false);
            });
        adapter_->registerMethod("UnregisterApplication")
            .onInterface(bluez::kGattManager)
            .implementedAs([this](const sdbus::ObjectPath& path) { calls.push_back("UnregisterApplication " + path); });
        adapter_->registerMethod("UnregisterAdvertisement")
            .onInterface(bluez::kAdvertisingManager)
            .implementedAs([this](const sdbus::ObjectPath& path) { calls.push_back("UnregisterAdvertisement " + path); });
    }
    adapter_->finishRegistration();
    adapter_->emitInterfacesAddedSignal();
    bus_->kick();
    ready_ = true;
}

void BlueZStandIn::setPowered(bool powered) {
    options_.powered = powered;
    adapter_->emitPropertiesChangedSignal(bluez::kAdapter, {"Powered"});
    bus_->kick();
}

sdbus::IProxy& BlueZStandIn::proxy(const std::string& destination, const std::string& path) {
    proxies_.push_back(sdbus::createProxy(bus_->connection(), destination, path));
    return *proxies_.back();
}

void BlueZStandIn::readBack(const std::string& sender, const std::string& path, bool isApplication) {
    applicationOwner_ = sender;
    auto& target = proxy(sender, path);
    if (isApplication) {
        auto call = target.createMethodCall(bluez::kObjectManager, "GetManagedObjects");
        target.callMethod(call, [this](sdbus::MethodReply& reply, const sdbus::Error* error) {
            if (error != nullptr) return;
            bluez::Objects objects;
            reply >> objects;
            application = std::move(objects);
        });
    } else {
        auto call = target.createMethodCall(bluez::kProperties, "GetAll");
        call << std::string(bluez::kAdvertisement);
        target.callMethod(call, [this](sdbus::MethodReply& reply, const sdbus::Error* error) {
            if (error != nullptr) return;
            bluez::Properties properties;
            reply >> properties;
            advertisement = std::move(properties);
        });
    }
    bus_->kick();
}

void BlueZStandIn::readValue(const std::string& path, std::optional<std::uint16_t> offset,
                             std::function<void(std::optional<Bytes>, std::string)> done) {
    auto& target = proxy(applicationOwner_, path);
    auto call = target.createMethodCall(bluez::kGattCharacteristic, "ReadValue");
    VariantMap options;
    if (offset) options.emplace("offset", sdbus::Variant(*offset));
    call << options;
    target.callMethod(call, [done = std::move(done)](sdbus::MethodReply& reply, const sdbus::Error* error) {
        if (error != nullptr) {
            done(std::nullopt, error->getName());
            return;
        }
        std::vector<std::uint8_t> value;
        reply >> value;
        done(Bytes(std::move(value)), {});
    });
    bus_->kick();
}

void BlueZStandIn::startNotify(const std::string& path) {
    auto& target = proxy(applicationOwner_, path);
    auto call = target.createMethodCall(bluez::kGattCharacteristic, "StartNotify");
    target.callMethod(call, [](sdbus::MethodReply&, const sdbus::Error*) {});
    bus_->kick();
}

void BlueZStandIn::onSignal(sdbus::Message& message) {
    if (message.getSender() != applicationOwner_ || applicationOwner_.empty()) return;
    std::string interface;
    bluez::Properties changed;
    message >> interface >> changed;
    changes.emplace_back(message.getPath(), std::move(changed));
}

std::string BlueZStandIn::addDevice(const std::vector<std::string>& uuids, const std::string& serviceUUID,
                                    const std::string& characteristicUUID, Bytes value, int connectFailures) {
    const std::string path = std::string(kAdapterPath) + "/dev_00_00_00_00_00_0" + std::to_string(devices_.size() + 1);
    Device& device = devices_[path];
    device.uuids = uuids;
    device.connectFailures = connectFailures;
    device.serviceUUID = serviceUUID;
    device.characteristicUUID = characteristicUUID;
    device.value = std::move(value);
    auto& connection = bus_->connection();

    device.object = sdbus::createObject(connection, path);
    device.object->registerProperty("UUIDs").onInterface(bluez::kDevice).withGetter([&device] { return device.uuids; });
    device.object->registerProperty("RSSI").onInterface(bluez::kDevice).withGetter([&device] { return device.rssi; });
    device.object->registerProperty("Connected").onInterface(bluez::kDevice).withGetter([&device] { return device.connected; });
    device.object->registerProperty("ServicesResolved").onInterface(bluez::kDevice).withGetter([&device] {
        return device.servicesResolved;
    });
    device.object->registerMethod("Connect").onInterface(bluez::kDevice).implementedAs([this, path, &device] {
        calls.push_back("Connect " + path);
        if (device.connectFailures > 0) {
            --device.connectFailures;
            throw sdbus::Error("org.bluez.Error.Failed", "le-connection-abort-by-local");
        }
        setConnected(path, true);
    });
    device.object->registerMethod("Disconnect").onInterface(bluez::kDevice).implementedAs([this, path] {
        calls.push_back("Disconnect " + path);
        setConnected(path, false);
    });
    device.object->finishRegistration();

    const std::string servicePath = path + "/service0010";
    device.service = sdbus::createObject(connection, servicePath);
    device.service->registerProperty("UUID").onInterface(bluez::kGattService).withGetter([&device] { return device.serviceUUID; });
    device.service->registerProperty("Primary").onInterface(bluez::kGattService).withGetter([] { return true; });
    device.service->registerProperty("Device").onInterface(bluez::kGattService).withGetter([path] {
        return sdbus::ObjectPath(path);
    });
    device.service->finishRegistration();

    const std::string characteristic = characteristicPath(path);
    device.characteristic = sdbus::createObject(connection, characteristic);
    const char* gatt = bluez::kGattCharacteristic;
    device.characteristic->registerProperty("UUID").onInterface(gatt).withGetter([&device] { return device.characteristicUUID; });
    device.characteristic->registerProperty("Service").onInterface(gatt).withGetter([servicePath] {
        return sdbus::ObjectPath(servicePath);
    });
    device.characteristic->registerProperty("Value").onInterface(gatt).withGetter([&device] { return device.value; });
    device.characteristic->registerProperty("Notifying").onInterface(gatt).withGetter([&device] { return device.notifying; });
    device.characteristic->registerMethod("ReadValue").onInterface(gatt).implementedAs([this, characteristic, &device](const VariantMap&) {
        calls.push_back("ReadValue " + characteristic);
        return device.value;
    });
    device.characteristic->registerMethod("StartNotify").onInterface(gatt).implementedAs([this, characteristic, &device] {
        calls.push_back("StartNotify " + characteristic);
        device.notifying = true;
    });
    device.characteristic->registerMethod("StopNotify").onInterface(gatt).implementedAs([&device] { device.notifying = false; });
    device.characteristic->finishRegistration();

    device.object->emitInterfacesAddedSignal();
    device.service->emitInterfacesAddedSignal();
    device.characteristic->emitInterfacesAddedSignal();
    bus_->kick();
    return path;
}

void BlueZStandIn::setRssi(const std::string& device, std::int16_t rssi) {
    Device& entry = devices_.at(device);
    entry.rssi = rssi;
    entry.object->emitPropertiesChangedSignal(bluez::kDevice, {"RSSI"});
    bus_->kick();
}

void BlueZStandIn::setConnected(const std::string& device, bool connected) {
    Device& entry = devices_.at(device);
    entry.connected = connected;
    entry.servicesResolved = connected;
    entry.object->emitPropertiesChangedSignal(bluez::kDevice, {"Connected", "ServicesResolved"});
    bus_->kick();
}

void BlueZStandIn::setValue(const std::string& device, Bytes value) {
    Device& entry = devices_.at(device);
    entry.value = std::move(value);
    entry.characteristic->emitPropertiesChangedSignal(bluez::kGattCharacteristic, {"Value"});
    bus_->kick();
}

} // namespace velorinth::testing
