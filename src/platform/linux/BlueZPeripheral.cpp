#include "platform/linux/BlueZPeripheral.hpp"

#include "core/Constants.hpp"

#include <asio/post.hpp>

#include <sdbus-c++/Error.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <utility>

namespace velorinth {

namespace {

constexpr const char* kNotSupported = "org.bluez.Error.NotSupported";
constexpr const char* kInvalidOffset = "org.bluez.Error.InvalidOffset";
constexpr const char* kInvalidArguments = "org.bluez.Error.InvalidArguments";
constexpr const char* kFailed = "org.bluez.Error.Failed";

// BlueZ writes UUIDs in lower case.
std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> flagsOf(std::uint8_t properties) {
    std::vector<std::string> flags;
    if ((properties & 0x02) != 0) flags.emplace_back("read");
    if ((properties & 0x04) != 0) flags.emplace_back("write-without-response");
    if ((properties & 0x08) != 0) flags.emplace_back("write");
    if ((properties & 0x10) != 0) flags.emplace_back("notify");
    if ((properties & 0x20) != 0) flags.emplace_back("indicate");
    return flags;
}

std::vector<std::string> lowerCased(const std::vector<std::string>& uuids) {
    std::vector<std::string> out;
    for (const std::string& uuid : uuids) out.push_back(lowerCase(uuid));
    return out;
}

} // namespace

std::string BlueZPeripheral::applicationPath() {
    std::string path = "/" + std::string(kApplicationIdentifierPrefix) + "/ble";
    std::replace(path.begin(), path.end(), '.', '/');
    return path;
}

BlueZPeripheral::BlueZPeripheral(const asio::any_io_executor& executor, Handlers handlers,
                                 DBusLoopConnection::Opener opener, std::string rootPath)
    : executor_(executor), handlers_(std::move(handlers)), rootPath_(std::move(rootPath)) {
    BlueZSession::Handlers session;
    session.onState = [this](BleManagerState state) {
        notify([state](Handlers& owner) {
            if (owner.onStateChanged) owner.onStateChanged(state);
        });
    };
    // BlueZ took our registrations with it; the owner publishes again on the next poweredOn.
    session.onServiceLost = [this] { dropExported(); };
    session_ = std::make_unique<BlueZSession>(
        executor_, std::vector<std::string>{bluez::kGattManager, bluez::kAdvertisingManager}, std::move(session),
        std::move(opener));
}

BlueZPeripheral::~BlueZPeripheral() {
    *alive_ = false;
    try {
        stopAdvertising();
        removeAllServices();
        dropExported();
    } catch (...) {
        // The connection is going anyway; BlueZ forgets what a closed connection registered.
    }
}

template <class Call>
void BlueZPeripheral::notify(Call call) {
    // Callbacks leave the connection's processing first: an owner may destroy us from one.
    asio::post(executor_, [alive = alive_, this, call = std::move(call)]() mutable {
        if (*alive) call(handlers_);
    });
}

void BlueZPeripheral::exportRoot() {
    if (root_ || !session_->isOpen()) return;
    try {
        root_ = sdbus::createObject(session_->bus().connection(), rootPath_);
        root_->addObjectManager();
    } catch (const sdbus::Error& error) {
        root_.reset();
        logFailure("exporting the application", &error);
    }
}

void BlueZPeripheral::stopAdvertising() {
    if (advertisementRegistered_) {
        session_->call(session_->adapterPath(), bluez::kAdvertisingManager, "UnregisterAdvertisement", {},
                       std::chrono::microseconds(0), sdbus::ObjectPath(rootPath_ + "/advertisement0"));
    }
    advertisementRegistered_ = false;
    advertisement_.reset();
}

void BlueZPeripheral::removeAllServices() {
    if (applicationRegistered_) {
        session_->call(session_->adapterPath(), bluez::kGattManager, "UnregisterApplication", {},
                       std::chrono::microseconds(0), sdbus::ObjectPath(rootPath_));
    }
    applicationRegistered_ = false;
    for (auto& [id, result] : pendingReads_) {
        try {
            result.returnError(sdbus::Error(kNotSupported, "The service was removed."));
        } catch (...) {
        }
    }
    pendingReads_.clear();
    try {
        for (auto& characteristic : characteristics_) characteristic.object->emitInterfacesRemovedSignal();
        if (service_) service_->emitInterfacesRemovedSignal();
        if (session_->isOpen()) session_->bus().kick();
    } catch (const sdbus::Error&) {
    }
    characteristics_.clear();
    service_.reset();
}

void BlueZPeripheral::addService(const Service& service) {
    if (session_->adapterPath().empty()) return; // no adapter: the owner publishes once there is one
    exportRoot();
    if (!root_) return;
    removeAllServices();
    const std::string servicePath = rootPath_ + "/service0";
    try {
        serviceUUID_ = lowerCase(service.uuid);
        service_ = sdbus::createObject(session_->bus().connection(), servicePath);
        service_->registerProperty("UUID").onInterface(bluez::kGattService).withGetter([this] { return serviceUUID_; });
        service_->registerProperty("Primary").onInterface(bluez::kGattService).withGetter([primary = service.primary] {
            return primary;
        });
        service_->finishRegistration();
        for (const Characteristic& characteristic : service.characteristics) {
            characteristics_.push_back(
                ExportedCharacteristic{lowerCase(characteristic.uuid), flagsOf(characteristic.properties), {}, false, nullptr});
        }
        for (std::size_t index = 0; index < characteristics_.size(); ++index) {
            characteristics_[index].object =
                exportCharacteristic(servicePath + "/char" + std::to_string(index), servicePath, index);
        }
        service_->emitInterfacesAddedSignal();
        for (auto& characteristic : characteristics_) characteristic.object->emitInterfacesAddedSignal();
    } catch (const sdbus::Error& error) {
        characteristics_.clear();
        service_.reset();
        logFailure("exporting the service", &error);
        return;
    }
    applicationRegistered_ = true;
    registerWith(bluez::kGattManager, "RegisterApplication", rootPath_, "registering the GATT application");
}

void BlueZPeripheral::registerWith(const char* manager, const char* method, const std::string& path, const char* what) {
    session_->call(
        session_->adapterPath(), manager, method,
        [this, alive = alive_, what](sdbus::MethodReply*, const sdbus::Error* error) {
            if (error != nullptr && *alive) logFailure(what, error);
        },
        std::chrono::microseconds(0), sdbus::ObjectPath(path), std::map<std::string, sdbus::Variant>{});
}

std::unique_ptr<sdbus::IObject> BlueZPeripheral::exportCharacteristic(const std::string& path,
                                                                     const std::string& servicePath, std::size_t index) {
    auto object = sdbus::createObject(session_->bus().connection(), path);
    const char* interface = bluez::kGattCharacteristic;
    object->registerProperty("UUID").onInterface(interface).withGetter([this, index] {
        return characteristics_.at(index).uuid;
    });
    object->registerProperty("Service").onInterface(interface).withGetter([servicePath] {
        return sdbus::ObjectPath(servicePath);
    });
    object->registerProperty("Flags").onInterface(interface).withGetter([this, index] {
        return characteristics_.at(index).flags;
    });
    object->registerProperty("Value").onInterface(interface).withGetter([this, index] {
        return characteristics_.at(index).value;
    });
    object->registerProperty("Notifying").onInterface(interface).withGetter([this, index] {
        return characteristics_.at(index).notifying;
    });
    object->registerMethod("ReadValue")
        .onInterface(interface)
        .implementedAs([this, index](sdbus::Result<std::vector<std::uint8_t>>&& result,
                                     std::map<std::string, sdbus::Variant> options) {
            readRequested(index, std::move(result), options);
        });
    const auto setNotifying = [this, index](bool notifying) {
        ExportedCharacteristic& characteristic = characteristics_.at(index);
        if (characteristic.notifying == notifying) return;
        characteristic.notifying = notifying;
        characteristic.object->emitPropertiesChangedSignal(bluez::kGattCharacteristic, {"Notifying"});
    };
    object->registerMethod("StartNotify").onInterface(interface).implementedAs([setNotifying] { setNotifying(true); });
    object->registerMethod("StopNotify").onInterface(interface).implementedAs([setNotifying] { setNotifying(false); });
    object->finishRegistration();
    return object;
}

void BlueZPeripheral::readRequested(std::size_t index, sdbus::Result<std::vector<std::uint8_t>> result,
                                    const std::map<std::string, sdbus::Variant>& options) {
    std::size_t offset = 0;
    if (const auto found = options.find("offset"); found != options.end()) {
        if (!found->second.containsValueOfType<std::uint16_t>()) {
            result.returnError(sdbus::Error(kInvalidArguments, "The offset is not an unsigned 16-bit number."));
            return;
        }
        offset = found->second.get<std::uint16_t>();
    }
    const std::uint64_t id = nextRequestID_++;
    pendingReads_.emplace(id, std::move(result));
    notify([request = ReadRequest{id, characteristics_.at(index).uuid, offset}](Handlers& owner) {
        if (owner.onReadRequest) owner.onReadRequest(request);
    });
}

void BlueZPeripheral::respond(std::uint64_t requestID, AttResult result, const Bytes& value) {
    const auto found = pendingReads_.find(requestID);
    if (found == pendingReads_.end()) return;
    const sdbus::Result<std::vector<std::uint8_t>> reply = std::move(found->second);
    pendingReads_.erase(found);
    try {
        switch (result) {
        case AttResult::success: reply.returnResults(value); break;
        case AttResult::requestNotSupported: reply.returnError(sdbus::Error(kNotSupported, "Request not supported")); break;
        case AttResult::invalidOffset: reply.returnError(sdbus::Error(kInvalidOffset, "Invalid offset")); break;
        default: reply.returnError(sdbus::Error(kFailed, "The read failed.")); break;
        }
        session_->bus().kick();
    } catch (const sdbus::Error&) {
        // The caller went away.
    }
}

void BlueZPeripheral::startAdvertising(const Advertisement& advertisement) {
    if (session_->adapterPath().empty()) return;
    exportRoot();
    if (!root_) return;
    stopAdvertising();
    const std::string path = rootPath_ + "/advertisement0";
    try {
        advertised_ = Advertisement{lowerCased(advertisement.serviceUUIDs), advertisement.localName};
        advertisement_ = sdbus::createObject(session_->bus().connection(), path);
        const char* interface = bluez::kAdvertisement;
        advertisement_->registerProperty("Type").onInterface(interface).withGetter([] { return std::string("peripheral"); });
        advertisement_->registerProperty("ServiceUUIDs").onInterface(interface).withGetter([this] {
            return advertised_.serviceUUIDs;
        });
        advertisement_->registerProperty("LocalName").onInterface(interface).withGetter([this] {
            return advertised_.localName;
        });
        // BlueZ dropped the advertisement on its own.
        advertisement_->registerMethod("Release").onInterface(interface).implementedAs([this] {
            advertisementRegistered_ = false;
        });
        advertisement_->finishRegistration();
        advertisement_->emitInterfacesAddedSignal();
    } catch (const sdbus::Error& error) {
        advertisement_.reset();
        logFailure("exporting the advertisement", &error);
        return;
    }
    advertisementRegistered_ = true;
    registerWith(bluez::kAdvertisingManager, "RegisterAdvertisement", path, "registering the advertisement");
}

bool BlueZPeripheral::updateValue(const Bytes& value, const std::string& characteristicUUID) {
    const std::string uuid = lowerCase(characteristicUUID);
    for (ExportedCharacteristic& characteristic : characteristics_) {
        if (characteristic.uuid != uuid) continue;
        characteristic.value = value;
        if (!characteristic.notifying) return true;
        try {
            characteristic.object->emitPropertiesChangedSignal(bluez::kGattCharacteristic, {"Value"});
            session_->bus().kick();
            return true;
        } catch (const sdbus::Error&) {
            return false;
        }
    }
    return false;
}

void BlueZPeripheral::dropExported() {
    pendingReads_.clear();
    characteristics_.clear();
    service_.reset();
    advertisement_.reset();
    root_.reset();
    applicationRegistered_ = false;
    advertisementRegistered_ = false;
}

void BlueZPeripheral::logFailure(const char* what, const sdbus::Error* error) {
    std::clog << "velorinth: BLE beacon: " << what << " failed"
              << (error != nullptr ? ": " + error->getName() + " " + error->getMessage() : std::string()) << '\n';
}

std::unique_ptr<BlePeripheral> BlePeripheral::create(const asio::any_io_executor& executor, Handlers handlers) {
    return std::make_unique<BlueZPeripheral>(executor, std::move(handlers));
}

} // namespace velorinth
