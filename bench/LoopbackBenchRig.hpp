#pragma once

// The tablets of the loopback benchmarks: the test rig's tablet with its own
// connector on a loop of its own, connected to the test rig's host server
// on 127.0.0.1 (HostRig).

#include "BenchSupport.hpp"

#include "support/TabletRig.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/ClientSessionConnector.hpp"

#include <asio/thread_pool.hpp>

#include <memory>
#include <optional>

namespace velorinth::bench {

// A tablet rig with its own connector on one of the tablets' loops.
struct Tablet : testing::TabletRig {
    Loop* loop = nullptr;
    std::unique_ptr<ClientSessionConnector> connector;
    std::shared_ptr<AuthenticatedClientSession> session;
    std::optional<TrustedDevice> hostRecord; // written by its pairing
};

// Capabilities as the host offers them; a 30 s heartbeat, steps bounded as every bench wait.
inline std::unique_ptr<Tablet> makeTablet(Loop& loop, asio::thread_pool& kdf, asio::thread_pool& store) {
    auto tablet = std::make_unique<Tablet>();
    tablet->loop = &loop;
    tablet->capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    tablet->publicIdentity();
    tablet->connector = std::make_unique<ClientSessionConnector>(
        loop.io.get_executor(), kdf, store, ClientSessionConnector::Timing{kStepLimit, kStepLimit, 30s, 2s});
    return tablet;
}

// From the connect call (TCP connect, TLS, handshake, ready messages) to the started session.
inline asio::awaitable<double> connectOnce(Tablet* tablet, std::uint16_t port, Uuid hostID, HandshakePurpose purpose) {
    ClientSessionConnector::Request request =
        tablet->request(port, purpose, purpose == HandshakePurpose::reconnect ? tablet->hostRecord : std::nullopt);
    const auto start = Clock::now();
    tablet->session = co_await tablet->connector->connect(std::move(request));
    const double elapsed = milliseconds(Clock::now() - start);
    if (purpose == HandshakePurpose::pair) tablet->hostRecord = tablet->trust->device(hostID);
    co_return elapsed;
}

inline asio::awaitable<void> disconnectOnce(Tablet* tablet) {
    if (auto session = std::exchange(tablet->session, nullptr)) co_await session->disconnect("Benchmark round over.");
}

} // namespace velorinth::bench
