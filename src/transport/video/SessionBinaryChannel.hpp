#pragma once

#include <cstdint>
#include <optional>

namespace velorinth {

// The channel byte of a session wire frame: what the sealed body carries.
enum class SessionBinaryChannel : std::uint8_t {
    control = 1,       // a sealed session-control message
    videoFragment = 2, // a sealed video fragment packet
};

// Exactly 1 and 2 name a channel; any other byte names none.
constexpr std::optional<SessionBinaryChannel> sessionBinaryChannel(std::uint8_t rawValue) {
    switch (rawValue) {
    case 1: return SessionBinaryChannel::control;
    case 2: return SessionBinaryChannel::videoFragment;
    default: return std::nullopt;
    }
}

constexpr std::uint8_t rawValue(SessionBinaryChannel channel) { return static_cast<std::uint8_t>(channel); }

} // namespace velorinth
