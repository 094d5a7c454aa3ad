#pragma once

#include "core/Bytes.hpp"
#include "platform/linux/BlueZSession.hpp"
#include "platform/linux/DBusLoopConnection.hpp"

#include <asio/any_io_executor.hpp>

#include <sdbus-c++/IObject.h>
#include <sdbus-c++/IProxy.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

// A small "org.bluez" for the BlueZ back-ends: one adapter (hci0) with the GATT
// and advertising managers, devices with one service and one characteristic
// each, on a private bus. It reads back what a peripheral registers (its
// object tree through GetManagedObjects, its advertisement through GetAll)
// and acts as a central on it. Everything runs on the test's loop; what it
// was asked is in `calls` ("RegisterApplication /org/velorinth/ble", …).
class BlueZStandIn {
public:
    static constexpr const char* kAdapterPath = "/org/bluez/hci0";

    struct Options {
        bool powered = true;
        bool advertisingManagers = true;
    };

    BlueZStandIn(const asio::any_io_executor& executor, const std::string& busAddress, Options options);
    ~BlueZStandIn();
    BlueZStandIn(const BlueZStandIn&) = delete;
    BlueZStandIn& operator=(const BlueZStandIn&) = delete;

    // Owns "org.bluez" and has exported its adapter.
    bool ready() const noexcept { return ready_; }
    bool failed() const noexcept { return failed_; }
    void setPowered(bool powered);

    // What a peripheral registered, once read back.
    std::optional<bluez::Objects> application;
    std::optional<bluez::Properties> advertisement;
    std::vector<std::string> calls;
    // PropertiesChanged of the peripheral's objects: path and the properties changed.
    std::vector<std::pair<std::string, bluez::Properties>> changes;

    // The peripheral's characteristic: ReadValue with an "offset" when given;
    // `done` gets the bytes, or the error's name.
    void readValue(const std::string& path, std::optional<std::uint16_t> offset,
                   std::function<void(std::optional<Bytes> value, std::string error)> done);
    void startNotify(const std::string& path);

    // A device advertising `uuids`, whose characteristic (of `characteristicUUID`)
    // holds `value`; Connect fails `connectFailures` times first. Returns its path.
    std::string addDevice(const std::vector<std::string>& uuids, const std::string& serviceUUID,
                          const std::string& characteristicUUID, Bytes value, int connectFailures = 0);
    void setRssi(const std::string& device, std::int16_t rssi);
    void setConnected(const std::string& device, bool connected);
    void setValue(const std::string& device, Bytes value);
    static std::string characteristicPath(const std::string& device) { return device + "/service0010/char0011"; }

private:
    struct Device {
        std::vector<std::string> uuids;
        std::int16_t rssi = -60;
        bool connected = false;
        bool servicesResolved = false;
        int connectFailures = 0;
        std::string serviceUUID;
        std::string characteristicUUID;
        Bytes value;
        bool notifying = false;
        std::unique_ptr<sdbus::IObject> object;
        std::unique_ptr<sdbus::IObject> service;
        std::unique_ptr<sdbus::IObject> characteristic;
    };

    void exportAdapter();
    void readBack(const std::string& sender, const std::string& path, bool application);
    sdbus::IProxy& proxy(const std::string& destination, const std::string& path);
    void onSignal(sdbus::Message& message);

    Options options_;
    bool ready_ = false;
    bool failed_ = false;
    std::string applicationOwner_;
    std::map<std::string, Device> devices_;
    std::vector<std::unique_ptr<sdbus::IProxy>> proxies_;
    std::unique_ptr<sdbus::IObject> root_;
    std::unique_ptr<sdbus::IObject> adapter_;
    std::shared_ptr<DBusLoopConnection> bus_; // closed by the destructor once the objects and proxies are gone
};

} // namespace velorinth::testing
