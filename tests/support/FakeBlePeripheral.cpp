#include "support/FakeBlePeripheral.hpp"

namespace velorinth::testing {

BlePeripheral::Factory FakeBlePeripheral::factory(std::shared_ptr<Made> made) {
    return [made](const asio::any_io_executor&, Handlers handlers) {
        auto peripheral = std::make_unique<FakeBlePeripheral>(std::move(handlers), made);
        made->peripherals.push_back(peripheral.get());
        return peripheral;
    };
}

FakeBlePeripheral::~FakeBlePeripheral() {
    ++made_->destroyed;
    std::erase(made_->peripherals, this);
}

void FakeBlePeripheral::setState(BleManagerState state) {
    state_ = state;
    if (handlers_.onStateChanged) handlers_.onStateChanged(state);
}

void FakeBlePeripheral::read(std::uint64_t id, const std::string& characteristicUUID, std::size_t offset) {
    if (handlers_.onReadRequest) handlers_.onReadRequest(ReadRequest{id, characteristicUUID, offset});
}

std::vector<FakeBlePeripheral::Call::Kind> FakeBlePeripheral::takeKinds() {
    std::vector<Call::Kind> kinds;
    for (const Call& call : calls) kinds.push_back(call.kind);
    calls.clear();
    return kinds;
}

} // namespace velorinth::testing
