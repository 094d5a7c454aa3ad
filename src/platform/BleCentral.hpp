#pragma once

#include "core/Bytes.hpp"
#include "platform/BleManagerState.hpp"

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The central side of Bluetooth LE: scans for peripherals advertising a
// service, connects to them and reads and subscribes to their
// characteristics. Peripherals, services and characteristics are named by an
// identifier of the back-end's (BlueZ: the object path).
//
// Lives on the event loop; callbacks run there, never after destruction. A
// back-end reports its first state after creation (until then `state()` is
// `unknown`). Each result callback carries the error text when the operation
// failed.
class BleCentral {
public:
    using Error = std::optional<std::string>;

    struct Service {
        std::string id;
        std::string uuid;
        bool operator==(const Service&) const = default;
    };
    struct Characteristic {
        std::string id;
        std::string uuid;
        bool operator==(const Characteristic&) const = default;
    };
    struct Handlers {
        std::function<void(BleManagerState)> onStateChanged;
        std::function<void(const std::string& peripheral)> onDiscovered;
        std::function<void(const std::string& peripheral)> onConnected;
        std::function<void(const std::string& peripheral, const Error&)> onDisconnected;
        std::function<void(const std::string& peripheral, const std::vector<Service>&, const Error&)> onServicesDiscovered;
        std::function<void(const std::string& peripheral, const Service&, const std::vector<Characteristic>&, const Error&)>
            onCharacteristicsDiscovered;
        // A read's answer or a notification.
        std::function<void(const std::string& peripheral, const Characteristic&, const std::optional<Bytes>& value,
                           const Error&)>
            onValueUpdated;
    };
    using Factory = std::function<std::unique_ptr<BleCentral>(const asio::any_io_executor&, Handlers)>;

    virtual ~BleCentral() = default;

    virtual BleManagerState state() const = 0;
    // Each peripheral advertising one of `serviceUUIDs` is discovered once per
    // request (no duplicates).
    virtual void scanForPeripherals(const std::vector<std::string>& serviceUUIDs) = 0;
    virtual void stopScan() = 0;
    // Pending until connected or cancelled.
    virtual void connect(const std::string& peripheral) = 0;
    // Afterwards only the disconnection of `peripheral` is delivered.
    virtual void cancelPeripheralConnection(const std::string& peripheral) = 0;
    virtual void discoverServices(const std::string& peripheral, const std::vector<std::string>& serviceUUIDs) = 0;
    virtual void discoverCharacteristics(const std::string& peripheral, const Service& service,
                                         const std::vector<std::string>& characteristicUUIDs) = 0;
    virtual void setNotifyValue(bool enabled, const std::string& peripheral, const Characteristic& characteristic) = 0;
    virtual void readValue(const std::string& peripheral, const Characteristic& characteristic) = 0;

    // The BlueZ back-end on the system bus.
    static std::unique_ptr<BleCentral> create(const asio::any_io_executor& executor, Handlers handlers);
};

} // namespace velorinth
