#pragma once

#include "platform/BlePeripheral.hpp"
#include "platform/linux/BlueZSession.hpp"

#include <sdbus-c++/IObject.h>
#include <sdbus-c++/MethodResult.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The peripheral on BlueZ. Under `rootPath` it exports an object manager, a
// GattService1 with its GattCharacteristic1s (lower-case UUIDs, Flags from
// the properties, no NotifyAcquired) and an LEAdvertisement1 ("peripheral",
// the service UUIDs, the local name). addService registers the application
// with the adapter's GattManager1 and startAdvertising the advertisement with
// its LEAdvertisingManager1; stopping and removing unregister what is
// registered. Results are logged, never awaited.
//
// A ReadValue is a read request at its "offset" option (absent: 0) answered
// through respond(); StartNotify and StopNotify are answered here, and while
// notifying updateValue emits PropertiesChanged on Value. When BlueZ leaves,
// the registrations are forgotten; the owner republishes once it is back.
class BlueZPeripheral : public BlePeripheral {
public:
    // "/org/velorinth/ble", from the application identifier.
    static std::string applicationPath();

    BlueZPeripheral(const asio::any_io_executor& executor, Handlers handlers,
                    DBusLoopConnection::Opener opener = &DBusLoopConnection::openSystemBus,
                    std::string rootPath = applicationPath());
    // Unregisters what is registered.
    ~BlueZPeripheral() override;

    BleManagerState state() const override { return session_->state(); }
    void stopAdvertising() override;
    void removeAllServices() override;
    void addService(const Service& service) override;
    void startAdvertising(const Advertisement& advertisement) override;
    bool updateValue(const Bytes& value, const std::string& characteristicUUID) override;
    void respond(std::uint64_t requestID, AttResult result, const Bytes& value) override;

private:
    struct ExportedCharacteristic {
        std::string uuid;
        std::vector<std::string> flags;
        Bytes value;
        bool notifying = false;
        std::unique_ptr<sdbus::IObject> object;
    };

    template <class Call>
    void notify(Call call);
    void exportRoot();
    std::unique_ptr<sdbus::IObject> exportCharacteristic(const std::string& path, const std::string& servicePath,
                                                         std::size_t index);
    void readRequested(std::size_t index, sdbus::Result<std::vector<std::uint8_t>> result,
                       const std::map<std::string, sdbus::Variant>& options);
    // Registers `path` with the adapter's `manager`; a refusal is logged.
    void registerWith(const char* manager, const char* method, const std::string& path, const char* what);
    void dropExported();
    void logFailure(const char* what, const sdbus::Error* error);

    asio::any_io_executor executor_;
    Handlers handlers_;
    std::string rootPath_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    // The loop's. Objects go before the session, whose connection they use.
    std::unique_ptr<BlueZSession> session_;
    std::unique_ptr<sdbus::IObject> root_;
    std::unique_ptr<sdbus::IObject> service_;
    std::vector<ExportedCharacteristic> characteristics_;
    std::unique_ptr<sdbus::IObject> advertisement_;
    std::string serviceUUID_;
    Advertisement advertised_;
    bool applicationRegistered_ = false;
    bool advertisementRegistered_ = false;
    std::map<std::uint64_t, sdbus::Result<std::vector<std::uint8_t>>> pendingReads_;
    std::uint64_t nextRequestID_ = 1;
};

} // namespace velorinth
