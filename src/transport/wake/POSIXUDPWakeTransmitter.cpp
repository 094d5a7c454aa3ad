#include "transport/wake/POSIXUDPWakeTransmitter.hpp"

#include "core/Cancellation.hpp"
#include "core/Error.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace velorinth {

namespace {

// Closes the datagram socket on every way out of a send.
class SocketCloser {
public:
    explicit SocketCloser(int descriptor) : descriptor_(descriptor) {}
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;
    ~SocketCloser() { ::close(descriptor_); }

private:
    int descriptor_;
};

std::string withErrno(const char* what, int errorNumber) {
    return std::string(what) + " (errno " + std::to_string(errorNumber) + ").";
}

} // namespace

asio::awaitable<void> POSIXUDPWakeTransmitter::send(WakeMagicPacket packet, WakeUDPTarget target) {
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    if (isCancelled(caller)) throw CancellationError();
    // The same checks as a validated target, on the text as held: a memberwise
    // target may carry anything.
    WakeUDPTarget::validated(target.ipv4Address, target.port, target.isDirectedBroadcast, target.interfaceKind,
                             allowLoopbackForTesting_);

    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (descriptor < 0) throw LocalWakeError::transmissionFailed(withErrno("UDP socket creation failed", errno));
    const SocketCloser closer(descriptor);

    if (target.isDirectedBroadcast) {
        const int enable = 1;
        if (::setsockopt(descriptor, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable) != 0) {
            throw LocalWakeError::transmissionFailed(withErrno("Enabling subnet broadcast failed", errno));
        }
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(target.port);
    // The text as held, not the validator's trimmed reading: a blank the
    // validator forgave is refused here.
    if (::inet_pton(AF_INET, target.ipv4Address.c_str(), &address.sin_addr) != 1) {
        throw LocalWakeError::invalidDestination("Unable to encode IPv4 socket address.");
    }
    const ssize_t sent = ::sendto(descriptor, packet.payload().data(), packet.payload().size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int errorNumber = errno;
    if (sent != static_cast<ssize_t>(WakeMagicPacket::kPayloadLength)) {
        throw LocalWakeError::transmissionFailed(withErrno("UDP send failed", errorNumber));
    }
}

asio::awaitable<void> POSIXUDPWakeTransmitter::probeSleepProxy(std::string host, std::uint16_t port,
                                                               std::chrono::nanoseconds timeout) {
    if (port == 0) co_return;
    std::uint32_t address = 0;
    try {
        address = LocalIPv4Validator::parse(host);
    } catch (const WakeModelError&) {
        co_return;
    }
    if (!LocalIPv4Validator::isLocal(address, allowLoopbackForTesting_)) co_return;

    const auto executor = co_await asio::this_coro::executor;
    // The pending connect holds the socket: closing it completes the connect
    // with operation_aborted later, and the socket must still exist then.
    auto socket = std::make_shared<asio::ip::tcp::socket>(executor);
    socket->async_connect(asio::ip::tcp::endpoint(asio::ip::address_v4(address), port),
                          [socket](const asio::error_code&) {});
    asio::steady_timer hold(executor, timeout);
    try {
        co_await hold.async_wait(asio::use_awaitable);
    } catch (const asio::system_error&) {
        // Cancelled during the hold: the probe ends early, without an error.
    }
    asio::error_code ignored;
    socket->close(ignored);
}

} // namespace velorinth
