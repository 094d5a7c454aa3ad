#include "support/FakeBleCentral.hpp"

namespace velorinth::testing {

namespace {

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += " " + part;
    return text;
}

} // namespace

BleCentral::Factory FakeBleCentral::factory(std::shared_ptr<Made> made) {
    return [made](const asio::any_io_executor&, Handlers handlers) {
        auto central = std::make_unique<FakeBleCentral>(std::move(handlers), made);
        made->centrals.push_back(central.get());
        return central;
    };
}

void FakeBleCentral::scanForPeripherals(const std::vector<std::string>& serviceUUIDs) {
    calls.push_back("scan" + joined(serviceUUIDs));
}

void FakeBleCentral::discoverServices(const std::string& peripheral, const std::vector<std::string>& serviceUUIDs) {
    calls.push_back("discoverServices " + peripheral + joined(serviceUUIDs));
}

void FakeBleCentral::discoverCharacteristics(const std::string& peripheral, const Service& service,
                                             const std::vector<std::string>& characteristicUUIDs) {
    calls.push_back("discoverCharacteristics " + peripheral + " " + service.id + joined(characteristicUUIDs));
}

void FakeBleCentral::setNotifyValue(bool enabled, const std::string& peripheral, const Characteristic& characteristic) {
    calls.push_back(std::string(enabled ? "notify " : "unnotify ") + peripheral + " " + characteristic.id);
}

void FakeBleCentral::readValue(const std::string& peripheral, const Characteristic& characteristic) {
    calls.push_back("read " + peripheral + " " + characteristic.id);
}

void FakeBleCentral::setState(BleManagerState state) {
    state_ = state;
    if (handlers.onStateChanged) handlers.onStateChanged(state);
}

} // namespace velorinth::testing
