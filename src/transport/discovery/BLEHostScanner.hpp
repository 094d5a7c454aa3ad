#pragma once

#include "platform/BleCentral.hpp"
#include "transport/discovery/BLEHostPayload.hpp"

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>
#include <set>
#include <string>

namespace velorinth {

// The tablet's reader of nearby hosts' BLE beacons: scans for the beacon's
// service, connects to each peripheral, subscribes to and reads the payload
// characteristic, and hands every payload that decodes to its owner (once for
// the read, again for every notification). Failures are silent; a peripheral
// that disconnects while scanning is requested is found again by a new scan.
//
// Lives on the event loop; made with std::make_shared. start and stop return
// at once and post their work holding the scanner weakly. The central is made
// on the first start (through the factory) and kept. `onHostDiscovered` runs
// on the loop.
class BLEHostScanner : public std::enable_shared_from_this<BLEHostScanner> {
public:
    using HostHandler = std::function<void(const BLEHostPayload&)>;

    BLEHostScanner(asio::any_io_executor executor, HostHandler onHostDiscovered,
                   BleCentral::Factory factory = &BleCentral::create);

    BLEHostScanner(const BLEHostScanner&) = delete;
    BLEHostScanner& operator=(const BLEHostScanner&) = delete;

    void start();
    // Stops scanning and cancels every connection; the peripherals are forgotten.
    void stop();

    // Loop thread only.
    const std::set<std::string>& discoveredPeripherals() const noexcept { return discoveredPeripherals_; }

private:
    template <class Work>
    void enqueue(Work work);
    BleCentral::Handlers makeHandlers();
    void scan();

    void handleState(BleManagerState state);
    void handleDiscovered(const std::string& peripheral);
    void handleConnected(const std::string& peripheral);
    void handleDisconnected();
    void handleServices(const std::string& peripheral, const std::vector<BleCentral::Service>& services,
                        const BleCentral::Error& error);
    void handleCharacteristics(const std::string& peripheral,
                               const std::vector<BleCentral::Characteristic>& characteristics,
                               const BleCentral::Error& error);
    void handleValue(const BleCentral::Characteristic& characteristic, const std::optional<Bytes>& value,
                     const BleCentral::Error& error);

    asio::any_io_executor executor_;
    HostHandler onHostDiscovered_;
    BleCentral::Factory factory_;
    std::unique_ptr<BleCentral> centralManager_;
    bool isScanningRequested_ = false;
    std::set<std::string> discoveredPeripherals_;
};

} // namespace velorinth
