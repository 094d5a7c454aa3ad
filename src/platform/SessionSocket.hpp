#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>

namespace velorinth {

// A peer that vanishes without a word is noticed after this much silence.
inline constexpr std::chrono::seconds kSessionKeepAliveIdle{15};

// The options of every session socket, accepted or connected: no-delay, so
// small control messages leave at once, and keep-alive probing after
// kSessionKeepAliveIdle. Best effort: a refused option changes nothing else.
void configureSessionSocket(asio::ip::tcp::socket& socket) noexcept;

} // namespace velorinth
