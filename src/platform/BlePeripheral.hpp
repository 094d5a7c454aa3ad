#pragma once

#include "core/Bytes.hpp"
#include "platform/BleManagerState.hpp"

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velorinth {

// The peripheral side of Bluetooth LE: publishes one primary GATT service with
// one characteristic, advertises it, and answers reads through its owner.
//
// Lives on the event loop; callbacks run there, never after destruction. A
// back-end reports its first state after creation (until then `state()` is
// `unknown`); publishing waits for `poweredOn`. Destroying it withdraws
// everything it published.
class BlePeripheral {
public:
    // ATT result codes.
    enum class AttResult : std::uint8_t { success = 0, requestNotSupported = 6, invalidOffset = 7 };

    struct Characteristic {
        std::string uuid;
        std::uint8_t properties = 0;  // 0x02 read, 0x10 notify
        std::uint8_t permissions = 0; // 0x01 readable
        bool operator==(const Characteristic&) const = default;
    };
    struct Service {
        std::string uuid;
        bool primary = true;
        std::vector<Characteristic> characteristics;
        bool operator==(const Service&) const = default;
    };
    struct Advertisement {
        std::vector<std::string> serviceUUIDs;
        std::string localName;
        bool operator==(const Advertisement&) const = default;
    };
    // A central's read of a characteristic; answered with respond().
    struct ReadRequest {
        std::uint64_t id = 0;
        std::string characteristicUUID;
        std::size_t offset = 0;
        bool operator==(const ReadRequest&) const = default;
    };
    struct Handlers {
        std::function<void(BleManagerState)> onStateChanged;
        std::function<void(const ReadRequest&)> onReadRequest;
    };
    using Factory = std::function<std::unique_ptr<BlePeripheral>(const asio::any_io_executor&, Handlers)>;

    virtual ~BlePeripheral() = default;

    virtual BleManagerState state() const = 0;
    virtual void stopAdvertising() = 0;
    virtual void removeAllServices() = 0;
    virtual void addService(const Service& service) = 0;
    virtual void startAdvertising(const Advertisement& advertisement) = 0;
    // Pushes `value` to the centrals subscribed to the characteristic; false
    // when it could not be queued.
    virtual bool updateValue(const Bytes& value, const std::string& characteristicUUID) = 0;
    // `value` counts only with success.
    virtual void respond(std::uint64_t requestID, AttResult result, const Bytes& value) = 0;

    // The BlueZ back-end on the system bus.
    static std::unique_ptr<BlePeripheral> create(const asio::any_io_executor& executor, Handlers handlers);
};

} // namespace velorinth
