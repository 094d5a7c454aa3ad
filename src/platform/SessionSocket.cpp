#include "platform/SessionSocket.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace velorinth {

namespace {

void setTCPOption(asio::ip::tcp::socket& socket, int name, long long value) noexcept {
    const int option = static_cast<int>(value);
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, name, &option, sizeof option);
}

} // namespace

void configureSessionSocket(asio::ip::tcp::socket& socket, const SessionSocketOptions& options) noexcept {
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    setTCPOption(socket, TCP_KEEPIDLE, options.keepAliveIdle.count());
    setTCPOption(socket, TCP_KEEPINTVL, options.keepAliveInterval.count());
    setTCPOption(socket, TCP_KEEPCNT, options.keepAliveCount);
    setTCPOption(socket, TCP_USER_TIMEOUT, options.userTimeout.count());
}

} // namespace velorinth
