#include "support/UdpReceiver.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace velorinth::testing {

UdpReceiver::UdpReceiver(std::uint16_t port) : descriptor_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    socklen_t length = sizeof any;
    if (descriptor_ < 0 || ::bind(descriptor_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
        if (descriptor_ >= 0) ::close(descriptor_);
        throw std::runtime_error("no UDP receiver");
    }
    port_ = ntohs(any.sin_port);
}

UdpReceiver::~UdpReceiver() { ::close(descriptor_); }

Bytes UdpReceiver::next() {
    pollfd readable{descriptor_, POLLIN, 0};
    if (::poll(&readable, 1, 5000) != 1) return {};
    Bytes buffer(2048);
    const ssize_t count = ::recv(descriptor_, buffer.data(), buffer.size(), 0);
    buffer.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return buffer;
}

bool UdpReceiver::nothingArrived() {
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(sender, "marker", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(sender);
    return next() == bytesOf("marker");
}

} // namespace velorinth::testing
