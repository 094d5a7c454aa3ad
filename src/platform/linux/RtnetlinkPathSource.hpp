#pragma once

#include "platform/NetworkPathSource.hpp"
#include "platform/linux/NetworkPathClassifier.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace velorinth {

// The network path from one NETLINK_ROUTE socket on the event loop (links,
// IPv4 and IPv6 addresses and routes). It dumps the three tables at start,
// keeps them up to date from the kernel's notifications, reads each new
// link's sysfs facts, and classifies after each batch it reads, reporting the
// first result and then each that differs from the last reported (the kernel
// repeats itself). A lost notification (ENOBUFS) dumps everything again.
// Malformed messages are skipped.
class RtnetlinkPathSource : public NetworkPathSource, public std::enable_shared_from_this<RtnetlinkPathSource> {
public:
    RtnetlinkPathSource(asio::any_io_executor executor, std::filesystem::path sysfsRoot = "/sys");

    void start(Handler handler) override;
    void cancel() override;

private:
    struct AddressKey {
        int index;
        int family;
        Bytes address;
        unsigned prefixLength;
        auto operator<=>(const AddressKey&) const = default;
    };
    using Route = NetworkPathClassifier::DefaultRoute;

    void open(Handler handler);
    void close();
    void requestDumps();
    void sendNextDump();
    void awaitReadable();
    void drain();
    // False when the socket failed for good.
    bool readDatagram(bool& more);
    void handle(std::uint16_t type, std::uint32_t sequence, ByteView body);
    void handleLink(bool added, ByteView body);
    void handleAddress(bool added, ByteView body);
    void handleRoute(bool added, ByteView body);
    void report();

    asio::any_io_executor executor_;
    SysfsNetworkInterfaces sysfs_;
    std::atomic<bool> cancelled_{false};

    // The loop's alone.
    Handler handler_;
    asio::posix::stream_descriptor socket_;
    std::vector<std::uint8_t> buffer_;
    std::deque<std::uint16_t> pendingDumps_;
    std::optional<std::uint32_t> dumpSequence_;
    std::uint32_t nextSequence_ = 1;
    bool dumped_ = false;
    std::map<int, NetworkPathClassifier::Link> links_;
    std::map<AddressKey, NetworkPathClassifier::Address> addresses_;
    std::vector<Route> routes_;
    std::optional<NetworkPathReport> lastReported_;
};

} // namespace velorinth
