#pragma once

#include "core/Bytes.hpp"
#include "transport/video/SessionBinaryChannel.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velorinth {

// The session wire frame: every sealed message of an authenticated session
// travels as "VL", version 1, the channel byte, the seal's 8-byte big-endian
// sequence number, then the sealed body (ciphertext and its 16-byte tag) to
// the end of the enclosing length frame. Stateless; any thread.
class SessionWireFrameCodec {
public:
    SessionWireFrameCodec() = delete;

    static constexpr std::uint8_t magic[2] = {0x56, 0x4C}; // "VL"
    static constexpr std::uint8_t version = 1;
    static constexpr std::size_t headerLength = 12;
    static constexpr std::size_t authenticationTagLength = 16;
    static constexpr std::size_t minimumFrameLength = headerLength + authenticationTagLength;

    // A view into the decoded bytes, which must outlive it.
    struct Frame {
        SessionBinaryChannel channel = SessionBinaryChannel::control;
        std::uint64_t sequence = 0;
        ByteView body;
        bool operator==(const Frame& other) const {
            return channel == other.channel && sequence == other.sequence && std::ranges::equal(body, other.body);
        }
    };

    // A quick probe: at least a header's worth of bytes opening with the
    // magic. What fails it is taken as a JSON handshake envelope instead.
    static bool isWireFrame(ByteView data) noexcept;

    // Fails with truncatedPacket below 28 bytes, invalidMagicOrVersion for a
    // foreign magic, a version other than 1 or an unknown channel.
    static Frame decode(ByteView data);
    static Frame decode(Bytes&& data) = delete; // the frame would outlive its bytes

    static Bytes encode(SessionBinaryChannel channel, std::uint64_t sequence, ByteView body);
    // The header alone, for a sender that seals the body in place behind it.
    static void writeHeader(std::span<std::uint8_t, headerLength> out, SessionBinaryChannel channel,
                            std::uint64_t sequence) noexcept;
};

} // namespace velorinth
