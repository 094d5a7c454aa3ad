#pragma once

#include "platform/BlePeripheral.hpp"

#include <memory>
#include <string>
#include <vector>

namespace velorinth::testing {

// A peripheral that records what it is asked and whose state and read
// requests the test drives (on the loop, at once).
class FakeBlePeripheral : public BlePeripheral {
public:
    struct Call {
        enum class Kind { stopAdvertising, removeAllServices, addService, startAdvertising, updateValue, respond };
        Kind kind;
        Service service;             // addService
        Advertisement advertisement; // startAdvertising
        Bytes value;                 // updateValue, respond
        std::string uuid;            // updateValue
        std::uint64_t requestID = 0; // respond
        AttResult result = AttResult::success;
    };

    // What a factory made, for the test to reach.
    struct Made {
        std::vector<FakeBlePeripheral*> peripherals; // valid while their owner keeps them
        int destroyed = 0;
    };
    static Factory factory(std::shared_ptr<Made> made);

    FakeBlePeripheral(Handlers handlers, std::shared_ptr<Made> made) : handlers_(std::move(handlers)), made_(std::move(made)) {}
    ~FakeBlePeripheral() override;

    BleManagerState state() const override { return state_; }
    void stopAdvertising() override { calls.push_back(Call{Call::Kind::stopAdvertising, {}, {}, {}, {}, 0, {}}); }
    void removeAllServices() override { calls.push_back(Call{Call::Kind::removeAllServices, {}, {}, {}, {}, 0, {}}); }
    void addService(const Service& service) override { calls.push_back(Call{Call::Kind::addService, service, {}, {}, {}, 0, {}}); }
    void startAdvertising(const Advertisement& advertisement) override {
        calls.push_back(Call{Call::Kind::startAdvertising, {}, advertisement, {}, {}, 0, {}});
    }
    bool updateValue(const Bytes& value, const std::string& uuid) override {
        calls.push_back(Call{Call::Kind::updateValue, {}, {}, value, uuid, 0, {}});
        return true;
    }
    void respond(std::uint64_t requestID, AttResult result, const Bytes& value) override {
        calls.push_back(Call{Call::Kind::respond, {}, {}, value, {}, requestID, result});
    }

    // Changes the state and reports it.
    void setState(BleManagerState state);
    // A central's read; the answer is the last respond call.
    void read(std::uint64_t id, const std::string& characteristicUUID, std::size_t offset);
    // The kinds of the calls so far, then forgets them.
    std::vector<Call::Kind> takeKinds();

    std::vector<Call> calls;

private:
    Handlers handlers_;
    std::shared_ptr<Made> made_;
    BleManagerState state_ = BleManagerState::unknown;
};

} // namespace velorinth::testing
