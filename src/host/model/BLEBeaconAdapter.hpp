#pragma once

#include "host/model/BeaconPort.hpp"
#include "transport/discovery/BLEHostAdvertiser.hpp"

#include <memory>

namespace velorinth {

// The beacon port over the real advertiser, which posts its work to the loop.
class BLEBeaconAdapter final : public BeaconPort {
public:
    explicit BLEBeaconAdapter(std::shared_ptr<BLEHostAdvertiser> advertiser) : advertiser_(std::move(advertiser)) {}

    void start(const Uuid& id, std::string name, std::uint16_t port, std::vector<std::string> addresses) override {
        advertiser_->start(id, std::move(name), port, std::move(addresses));
    }
    void stop() override { advertiser_->stop(); }
    void updateNetworkInfo(std::vector<std::string> addresses, std::optional<std::uint16_t> port) override {
        advertiser_->updateNetworkInfo(std::move(addresses), port);
    }

private:
    const std::shared_ptr<BLEHostAdvertiser> advertiser_;
};

} // namespace velorinth
