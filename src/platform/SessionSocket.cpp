#include "platform/SessionSocket.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace velorinth {

void configureSessionSocket(asio::ip::tcp::socket& socket) noexcept {
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const int idle = static_cast<int>(kSessionKeepAliveIdle.count());
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
}

} // namespace velorinth
