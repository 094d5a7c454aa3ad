#pragma once

#include "platform/BleCentral.hpp"

#include <memory>
#include <string>
#include <vector>

namespace velorinth::testing {

// A central that records what it is asked, as text ("connect dev1"), and
// whose callbacks the test drives through `handlers` (on the loop, at once).
class FakeBleCentral : public BleCentral {
public:
    struct Made {
        std::vector<FakeBleCentral*> centrals; // valid while their owner keeps them
    };
    static Factory factory(std::shared_ptr<Made> made);

    FakeBleCentral(Handlers handlers, std::shared_ptr<Made> made) : handlers(std::move(handlers)), made_(std::move(made)) {}
    ~FakeBleCentral() override { std::erase(made_->centrals, this); }

    BleManagerState state() const override { return state_; }
    void scanForPeripherals(const std::vector<std::string>& serviceUUIDs) override;
    void stopScan() override { calls.push_back("stopScan"); }
    void connect(const std::string& peripheral) override { calls.push_back("connect " + peripheral); }
    void cancelPeripheralConnection(const std::string& peripheral) override { calls.push_back("cancel " + peripheral); }
    void discoverServices(const std::string& peripheral, const std::vector<std::string>& serviceUUIDs) override;
    void discoverCharacteristics(const std::string& peripheral, const Service& service,
                                 const std::vector<std::string>& characteristicUUIDs) override;
    void setNotifyValue(bool enabled, const std::string& peripheral, const Characteristic& characteristic) override;
    void readValue(const std::string& peripheral, const Characteristic& characteristic) override;

    void setState(BleManagerState state);
    // The calls so far, then forgets them.
    std::vector<std::string> takeCalls() { return std::exchange(calls, {}); }

    Handlers handlers;
    std::vector<std::string> calls;

private:
    std::shared_ptr<Made> made_;
    BleManagerState state_ = BleManagerState::unknown;
};

} // namespace velorinth::testing
