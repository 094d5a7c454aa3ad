#pragma once

#include "platform/BlePeripheral.hpp"
#include "transport/discovery/BLEHostPayload.hpp"

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// The host's BLE proximity beacon: one primary service whose one readable,
// notifying characteristic serves the host's BLEHostPayload, advertised with
// the host's name.
//
// Lives on the event loop; made with std::make_shared. Public operations
// return at once and post their work holding the advertiser weakly, so work
// posted just before destruction does nothing. The peripheral is made on the
// first start (through the factory) and kept; destroying the advertiser
// destroys it, which withdraws what it published. Reads and pushes serve the
// payload cut to the ATT limit (addresses dropped from the end); the stored
// payload keeps them all.
class BLEHostAdvertiser : public std::enable_shared_from_this<BLEHostAdvertiser> {
public:
    explicit BLEHostAdvertiser(asio::any_io_executor executor, BlePeripheral::Factory factory = &BlePeripheral::create);

    BLEHostAdvertiser(const BLEHostAdvertiser&) = delete;
    BLEHostAdvertiser& operator=(const BLEHostAdvertiser&) = delete;

    void start(const Uuid& id, std::string name, std::uint16_t port, std::vector<std::string> addresses);
    // Replaces the addresses, and the port when one is given, and pushes the
    // payload to subscribers while published (also when nothing changed).
    void updateNetworkInfo(std::vector<std::string> addresses, std::optional<std::uint16_t> port);
    // Withdraws the service and the advertisement; the peripheral and the
    // payload are kept for the next start.
    void stop();

    // Loop thread only.
    const std::optional<BLEHostPayload>& currentPayload() const noexcept { return currentPayload_; }

private:
    template <class Work>
    void enqueue(Work work);

    void publish();
    void handleState(BleManagerState state);
    void handleReadRequest(const BlePeripheral::ReadRequest& request);
    Bytes servedPayload() const;

    asio::any_io_executor executor_;
    BlePeripheral::Factory factory_;
    std::unique_ptr<BlePeripheral> peripheralManager_;
    std::optional<BLEHostPayload> currentPayload_;
    std::optional<BlePeripheral::Characteristic> characteristic_; // present while published
    bool isAdvertisingRequested_ = false;
};

} // namespace velorinth
