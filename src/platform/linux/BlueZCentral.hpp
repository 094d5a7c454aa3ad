#pragma once

#include "platform/BleCentral.hpp"
#include "platform/linux/BlueZSession.hpp"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace velorinth {

// The central on BlueZ; peripherals, services and characteristics are named
// by their object paths.
//
// A scan request sets the adapter's discovery filter (the service UUIDs, LE,
// no duplicate data) and starts discovery; each Device1 advertising one of
// the services is then discovered once, when it appears or its RSSI changes.
// A connection stays pending until the device reports Connected or it is
// cancelled, trying again after `connectRetryPause` while the device exists.
// Services are listed once BlueZ has resolved them. Notifications are
// PropertiesChanged on a subscribed characteristic's Value. After
// cancelPeripheralConnection only the disconnection is delivered.
class BlueZCentral : public BleCentral {
public:
    BlueZCentral(const asio::any_io_executor& executor, Handlers handlers,
                 DBusLoopConnection::Opener opener = &DBusLoopConnection::openSystemBus,
                 std::chrono::steady_clock::duration connectRetryPause = std::chrono::seconds(5));
    ~BlueZCentral() override;

    BleManagerState state() const override { return session_->state(); }
    void scanForPeripherals(const std::vector<std::string>& serviceUUIDs) override;
    void stopScan() override;
    void connect(const std::string& peripheral) override;
    void cancelPeripheralConnection(const std::string& peripheral) override;
    void discoverServices(const std::string& peripheral, const std::vector<std::string>& serviceUUIDs) override;
    void discoverCharacteristics(const std::string& peripheral, const Service& service,
                                 const std::vector<std::string>& characteristicUUIDs) override;
    void setNotifyValue(bool enabled, const std::string& peripheral, const Characteristic& characteristic) override;
    void readValue(const std::string& peripheral, const Characteristic& characteristic) override;

private:
    struct Peripheral {
        bool connectPending = false;
        bool connected = false;
        std::optional<std::vector<std::string>> servicesWanted; // until ServicesResolved
        std::unique_ptr<asio::steady_timer> retry;
    };

    // Posts `call` to the owner's handlers; for a peripheral, only while it
    // is still tracked and not cancelled.
    template <class Call>
    void notify(Call call);
    template <class Call>
    void notifyFor(const std::string& peripheral, Call call);

    void attemptConnect(const std::string& peripheral);
    void considerDiscovery(const std::string& path);
    void deviceChanged(const std::string& path, const std::vector<std::string>& changed);
    void valueChanged(const std::string& path);
    void deliverServices(const std::string& peripheral);
    void serviceLost();
    const bluez::Properties* device(const std::string& path) const;
    std::string deviceOfCharacteristic(const std::string& path) const;

    asio::any_io_executor executor_;
    Handlers handlers_;
    std::chrono::steady_clock::duration connectRetryPause_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::unique_ptr<BlueZSession> session_;
    bool scanning_ = false;
    std::vector<std::string> scanUUIDs_;        // lower case
    std::set<std::string> discoveredThisScan_;
    std::map<std::string, Peripheral> peripherals_;
    std::set<std::string> subscribed_;          // characteristic paths
};

} // namespace velorinth
