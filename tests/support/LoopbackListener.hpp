#pragma once

// The product's listener bound to 127.0.0.1 (servers in tests and benches
// never listen on other addresses), and a host end that takes its
// connections one by one.

#include "platform/SessionListener.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <asio/steady_timer.hpp>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace velorinth::testing {

inline constexpr std::size_t kTestFrameLimit = 65'536;
inline constexpr const char* kProtocol = "velorinth/1";

// A SessionListener factory (HostSessionServer's and BonjourHostListener's
// signature) whose listener binds 127.0.0.1 only.
std::unique_ptr<SessionListener> loopbackListener(const asio::any_io_executor& executor,
                                                  const TLSDeviceIdentity& identity, SessionListener::Options options,
                                                  SessionListener::Handlers handlers);

// A listening host end on 127.0.0.1 with the product's TLS policy: every peer
// passes the real listener, and accept() hands over the next one, started.
class LoopbackAcceptor {
public:
    LoopbackAcceptor(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity,
                     std::string protocol = kProtocol, std::size_t maximumFrameSize = kTestFrameLimit);
    ~LoopbackAcceptor();

    std::uint16_t port() const { return port_; }
    HostPort endpoint() const { return {"127.0.0.1", port_}; }
    // The next connection that passed TLS; start() may still refuse it (application protocol).
    asio::awaitable<std::shared_ptr<NetworkFramedConnection>> accept();
    // How many connections passed the listener's TLS handshake so far.
    std::size_t handedOver() const { return handedOver_; }
    void close();

    // Applied to each accepted socket before its connection is made (buffer sizes, for example).
    std::function<void(asio::ip::tcp::socket&)> configureSocket;

private:
    std::size_t maximumFrameSize_;
    std::unique_ptr<SessionListener> listener_;
    std::deque<SessionListener::Stream> waiting_;
    std::shared_ptr<asio::steady_timer> arrival_;
    std::uint16_t port_ = 0;
    std::size_t handedOver_ = 0;
};

} // namespace velorinth::testing
