#pragma once

#include "platform/BleManagerState.hpp"
#include "platform/linux/DBusLoopConnection.hpp"

#include <asio/any_io_executor.hpp>

#include <sdbus-c++/IProxy.h>
#include <sdbus-c++/Types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

namespace bluez {
inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapter = "org.bluez.Adapter1";
inline constexpr const char* kDevice = "org.bluez.Device1";
inline constexpr const char* kGattManager = "org.bluez.GattManager1";
inline constexpr const char* kGattService = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristic = "org.bluez.GattCharacteristic1";
inline constexpr const char* kAdvertisingManager = "org.bluez.LEAdvertisingManager1";
inline constexpr const char* kAdvertisement = "org.bluez.LEAdvertisement1";
inline constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;
using Objects = std::map<sdbus::ObjectPath, Interfaces>;

// A property of the expected type; none when absent or of another type (a
// faulty or rogue daemon's value is ignored).
template <class T>
std::optional<T> property(const Properties& properties, const std::string& name) {
    const auto found = properties.find(name);
    if (found == properties.end()) return std::nullopt;
    try {
        if (!found->second.containsValueOfType<T>()) return std::nullopt;
        return found->second.get<T>();
    } catch (...) {
        return std::nullopt;
    }
}
} // namespace bluez

// The connection to BlueZ shared by the peripheral and central back-ends: the
// system bus on the loop, the owner of "org.bluez", its object tree kept up to
// date, and the manager state that follows from it.
//
// The state: no system bus, nobody owning "org.bluez" or no adapter (the first
// Adapter1 in path order, carrying the required interfaces too) →
// unsupported; the adapter's Powered false or true → poweredOff or poweredOn;
// BlueZ refusing access → unauthorized. When BlueZ leaves, its objects and
// every pending call are forgotten; when it returns, its tree is read again.
class BlueZSession {
public:
    using Reply = std::function<void(sdbus::MethodReply* reply, const sdbus::Error* error)>;
    struct Handlers {
        // Each change, starting with the first state once it is known.
        std::function<void(BleManagerState)> onState;
        // Called after every change of the tree (the state already updated).
        std::function<void(const std::string& path, const std::string& interface, const std::vector<std::string>& changed)>
            onPropertiesChanged;
        std::function<void(const std::string& path)> onObjectAdded;
        std::function<void(const std::string& path)> onObjectRemoved;
        // BlueZ left, or the bus broke: its registrations are gone, and
        // objects exported on the connection must go now.
        std::function<void()> onServiceLost;
    };

    BlueZSession(asio::any_io_executor executor, std::vector<std::string> requiredAdapterInterfaces, Handlers handlers,
                 DBusLoopConnection::Opener opener = &DBusLoopConnection::openSystemBus);
    ~BlueZSession();

    BlueZSession(const BlueZSession&) = delete;
    BlueZSession& operator=(const BlueZSession&) = delete;

    BleManagerState state() const noexcept { return state_; }
    const std::string& adapterPath() const noexcept { return adapterPath_; }
    const bluez::Objects& objects() const noexcept { return objects_; }
    const bluez::Interfaces* object(const std::string& path) const;
    // Only while open.
    DBusLoopConnection& bus() { return *bus_; }
    bool isOpen() const noexcept { return bus_ && bus_->isOpen(); }

    // Calls `method` on BlueZ's object at `path`; `reply` runs on the loop
    // with the reply or the error, never after destruction or after BlueZ
    // left. A zero time-out is the bus's default.
    template <class... Args>
    void call(const std::string& path, const std::string& interface, const std::string& method, Reply reply,
              std::chrono::microseconds timeout, const Args&... args) {
        send(path, interface, method, std::move(reply), timeout,
             [&](sdbus::MethodCall& message) { ((void)(message << args), ...); });
    }

private:
    void send(const std::string& path, const std::string& interface, const std::string& method, Reply reply,
              std::chrono::microseconds timeout, const std::function<void(sdbus::MethodCall&)>& fill);
    sdbus::IProxy& proxy(const std::string& path);
    void opened();
    void lookUpOwner();
    void readObjects();
    void onSignal(sdbus::Message& message);
    void forgetService();
    void evaluate();
    void setState(BleManagerState state);

    asio::any_io_executor executor_;
    std::vector<std::string> requiredAdapterInterfaces_;
    Handlers handlers_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_; // BlueZ's, by path
    std::vector<std::unique_ptr<sdbus::IProxy>> retired_;           // an earlier BlueZ's
    std::unique_ptr<sdbus::IProxy> busProxy_;
    bool ownerPresent_ = false;
    std::uint64_t serviceGeneration_ = 0; // advanced each time BlueZ is forgotten
    bool refused_ = false;                // BlueZ refused us access
    bluez::Objects objects_;
    std::string adapterPath_;
    BleManagerState state_ = BleManagerState::unknown;
    bool reported_ = false;
    std::shared_ptr<DBusLoopConnection> bus_; // last: it goes first
};

} // namespace velorinth
