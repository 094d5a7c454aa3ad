#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>

namespace velorinth {

// How long a session socket tolerates a peer that stopped answering. The
// kernel ends the connection, and with it the session, when sent data stays
// unacknowledged or the peer's window stays shut for `userTimeout`, and when
// an idle peer misses `keepAliveCount` probes sent `keepAliveInterval` apart
// after `keepAliveIdle` of silence. The defaults remove a vanished or frozen
// tablet within about 30 s, yet survive a Wi-Fi hand-over or a brief radio
// sleep; the heartbeat keeps its own rules.
struct SessionSocketOptions {
    std::chrono::milliseconds userTimeout{30'000};
    std::chrono::seconds keepAliveIdle{15};
    std::chrono::seconds keepAliveInterval{5};
    int keepAliveCount = 3;

    bool operator==(const SessionSocketOptions&) const = default;
};

// The options of every session socket, accepted or connected: no-delay, so
// small control messages leave at once, and the dead-peer bounds above. Best
// effort: a refused option changes nothing else.
void configureSessionSocket(asio::ip::tcp::socket& socket, const SessionSocketOptions& options = {}) noexcept;

} // namespace velorinth
