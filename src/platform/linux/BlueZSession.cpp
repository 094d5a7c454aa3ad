#include "platform/linux/BlueZSession.hpp"

#include <asio/post.hpp>

#include <sdbus-c++/Error.h>

#include <utility>

namespace velorinth {

namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

} // namespace

BlueZSession::BlueZSession(asio::any_io_executor executor, std::vector<std::string> requiredAdapterInterfaces,
                           Handlers handlers, DBusLoopConnection::Opener opener)
    : executor_(std::move(executor)), requiredAdapterInterfaces_(std::move(requiredAdapterInterfaces)),
      handlers_(std::move(handlers)) {
    DBusLoopConnection::Handlers busHandlers;
    busHandlers.onOpened = [this] { opened(); };
    busHandlers.onClosed = [this](const std::string&) {
        // Everything made on the connection goes before it does.
        const bool wasPresent = ownerPresent_;
        forgetService();
        retired_.clear();
        busProxy_.reset();
        if (!wasPresent && handlers_.onServiceLost) handlers_.onServiceLost();
    };
    busHandlers.onSignal = [this](sdbus::Message& message) { onSignal(message); };
    bus_ = DBusLoopConnection::open(
        executor_, std::move(opener),
        {std::string("type='signal',sender='") + kBusName + "',path='" + kBusPath + "',interface='" + kBusName +
             "',member='NameOwnerChanged',arg0='" + bluez::kService + "'",
         std::string("type='signal',sender='") + bluez::kService + "'"},
        std::move(busHandlers));
}

BlueZSession::~BlueZSession() {
    *alive_ = false;
    // Proxies go before the connection they use.
    proxies_.clear();
    retired_.clear();
    busProxy_.reset();
    bus_->close();
}

const bluez::Interfaces* BlueZSession::object(const std::string& path) const {
    const auto found = objects_.find(sdbus::ObjectPath(path));
    return found == objects_.end() ? nullptr : &found->second;
}

sdbus::IProxy& BlueZSession::proxy(const std::string& path) {
    auto& slot = proxies_[path];
    if (!slot) slot = sdbus::createProxy(bus_->connection(), bluez::kService, path);
    return *slot;
}

void BlueZSession::send(const std::string& path, const std::string& interface, const std::string& method, Reply reply,
                        std::chrono::microseconds timeout, const std::function<void(sdbus::MethodCall&)>& fill) {
    // A reply for an earlier BlueZ (it left and came back) is dropped.
    auto deliver = [this, generation = serviceGeneration_, reply = std::move(reply)](sdbus::MethodReply* message,
                                                                                      const sdbus::Error* error) {
        if (generation != serviceGeneration_ || !reply) return;
        try {
            reply(message, error);
        } catch (...) {
            // A reply of an unexpected shape: that item is ignored.
        }
    };
    auto failLater = [this, deliver](sdbus::Error error) mutable {
        asio::post(executor_, [alive = alive_, deliver = std::move(deliver), error = std::move(error)]() mutable {
            if (*alive) deliver(nullptr, &error);
        });
    };
    if (!isOpen() || !ownerPresent_) {
        failLater(sdbus::Error("org.bluez.Error.NotReady", "BlueZ is not available."));
        return;
    }
    try {
        sdbus::IProxy& target = proxy(path);
        sdbus::MethodCall message = target.createMethodCall(interface, method);
        fill(message);
        target.callMethod(
            message, [deliver](sdbus::MethodReply& answer, const sdbus::Error* error) mutable {
                deliver(error == nullptr ? &answer : nullptr, error);
            },
            static_cast<std::uint64_t>(timeout.count()));
        bus_->kick();
    } catch (const sdbus::Error& error) {
        failLater(error);
    }
}

void BlueZSession::opened() {
    try {
        busProxy_ = sdbus::createProxy(bus_->connection(), kBusName, kBusPath);
    } catch (const sdbus::Error&) {
        setState(BleManagerState::unsupported);
        return;
    }
    lookUpOwner();
}

void BlueZSession::lookUpOwner() {
    try {
        sdbus::MethodCall message = busProxy_->createMethodCall(kBusName, "GetNameOwner");
        message << std::string(bluez::kService);
        busProxy_->callMethod(message, [this](sdbus::MethodReply&, const sdbus::Error* error) {
            if (error != nullptr) {
                // Nobody owns the name: BlueZ is not running.
                forgetService();
                return;
            }
            if (ownerPresent_) return; // NameOwnerChanged came first
            ownerPresent_ = true;
            readObjects();
        });
        bus_->kick();
    } catch (const sdbus::Error&) {
        forgetService();
    }
}

void BlueZSession::readObjects() {
    call("/", bluez::kObjectManager, "GetManagedObjects",
         [this](sdbus::MethodReply* reply, const sdbus::Error* error) {
             objects_.clear();
             refused_ = error != nullptr && error->getName() == kAccessDenied;
             if (reply != nullptr) {
                 try {
                     *reply >> objects_;
                 } catch (const sdbus::Error&) {
                     objects_.clear(); // a tree of the wrong type is no tree
                 }
             }
             evaluate();
             for (const auto& [path, interfaces] : objects_) {
                 if (handlers_.onObjectAdded) handlers_.onObjectAdded(path);
             }
         },
         std::chrono::microseconds(0));
}

void BlueZSession::onSignal(sdbus::Message& message) {
    const std::string member = message.getMemberName();
    const std::string interface = message.getInterfaceName();
    if (interface == kBusName && member == "NameOwnerChanged") {
        std::string name, previousOwner, newOwner;
        message >> name >> previousOwner >> newOwner;
        if (name != bluez::kService) return;
        // Whoever owned it before took its registrations with it.
        if (ownerPresent_ || newOwner.empty()) forgetService();
        if (!newOwner.empty()) {
            ownerPresent_ = true;
            readObjects();
        }
        return;
    }
    if (!ownerPresent_) return;
    if (interface == bluez::kObjectManager && member == "InterfacesAdded") {
        sdbus::ObjectPath path;
        bluez::Interfaces added;
        message >> path >> added;
        for (auto& [name, properties] : added) objects_[path][name] = std::move(properties);
        evaluate();
        if (handlers_.onObjectAdded) handlers_.onObjectAdded(path);
    } else if (interface == bluez::kObjectManager && member == "InterfacesRemoved") {
        sdbus::ObjectPath path;
        std::vector<std::string> removed;
        message >> path >> removed;
        const auto found = objects_.find(path);
        if (found == objects_.end()) return;
        for (const std::string& name : removed) found->second.erase(name);
        if (found->second.empty()) objects_.erase(found);
        evaluate();
        if (handlers_.onObjectRemoved) handlers_.onObjectRemoved(path);
    } else if (interface == bluez::kProperties && member == "PropertiesChanged") {
        std::string changedInterface;
        bluez::Properties changed;
        std::vector<std::string> invalidated;
        message >> changedInterface >> changed >> invalidated;
        const sdbus::ObjectPath path(message.getPath());
        const auto found = objects_.find(path);
        if (found == objects_.end() || !found->second.contains(changedInterface)) return;
        bluez::Properties& properties = found->second[changedInterface];
        std::vector<std::string> names;
        for (auto& [name, value] : changed) {
            properties[name] = std::move(value);
            names.push_back(name);
        }
        for (const std::string& name : invalidated) {
            properties.erase(name);
            names.push_back(name);
        }
        evaluate();
        if (handlers_.onPropertiesChanged) handlers_.onPropertiesChanged(path, changedInterface, names);
    }
}

void BlueZSession::forgetService() {
    const bool wasPresent = ownerPresent_;
    ownerPresent_ = false;
    ++serviceGeneration_;
    objects_.clear();
    refused_ = false;
    // Their pending calls die with them; not now, a reply of theirs may be running.
    for (auto& [path, proxy] : proxies_) retired_.push_back(std::move(proxy));
    proxies_.clear();
    asio::post(executor_, [alive = alive_, this] {
        if (*alive) retired_.clear();
    });
    evaluate();
    if (wasPresent && handlers_.onServiceLost) handlers_.onServiceLost();
}

void BlueZSession::evaluate() {
    adapterPath_.clear();
    BleManagerState next = BleManagerState::unsupported;
    if (isOpen() && ownerPresent_) {
        if (refused_) {
            next = BleManagerState::unauthorized;
        } else {
            for (const auto& [path, interfaces] : objects_) {
                const auto adapter = interfaces.find(bluez::kAdapter);
                if (adapter == interfaces.end()) continue;
                // The first adapter in path order is the one; it must carry what is required.
                bool complete = true;
                for (const std::string& required : requiredAdapterInterfaces_) complete &= interfaces.contains(required);
                const std::optional<bool> powered = bluez::property<bool>(adapter->second, "Powered");
                if (complete && powered) {
                    adapterPath_ = path;
                    next = *powered ? BleManagerState::poweredOn : BleManagerState::poweredOff;
                }
                break;
            }
        }
    }
    setState(next);
}

void BlueZSession::setState(BleManagerState state) {
    if (reported_ && state == state_) return;
    state_ = state;
    reported_ = true;
    if (handlers_.onState) handlers_.onState(state);
}

} // namespace velorinth
