#include "transport/video/SessionWireFrameCodec.hpp"

#include "core/BigEndian.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <algorithm>

namespace velorinth {

bool SessionWireFrameCodec::isWireFrame(ByteView data) noexcept {
    return data.size() >= headerLength && data[0] == magic[0] && data[1] == magic[1];
}

SessionWireFrameCodec::Frame SessionWireFrameCodec::decode(ByteView data) {
    using Case = VideoProtocolError::Case;
    if (data.size() < minimumFrameLength) throw VideoProtocolError(Case::truncatedPacket);
    VideoPacketReader reader(data);
    auto magicBytes = reader.take(2);
    auto versionByte = reader.read<std::uint8_t>();
    if (magicBytes[0] != magic[0] || magicBytes[1] != magic[1] || versionByte != version) {
        throw VideoProtocolError(Case::invalidMagicOrVersion);
    }
    auto channel = sessionBinaryChannel(reader.read<std::uint8_t>());
    if (!channel) throw VideoProtocolError(Case::invalidMagicOrVersion);
    Frame frame;
    frame.channel = *channel;
    frame.sequence = reader.read<std::uint64_t>();
    frame.body = reader.take(reader.remaining());
    return frame;
}

Bytes SessionWireFrameCodec::encode(SessionBinaryChannel channel, std::uint64_t sequence, ByteView body) {
    Bytes frame(headerLength + body.size());
    writeHeader(std::span(frame).first<headerLength>(), channel, sequence);
    std::copy(body.begin(), body.end(), frame.begin() + headerLength);
    return frame;
}

void SessionWireFrameCodec::writeHeader(std::span<std::uint8_t, headerLength> out, SessionBinaryChannel channel,
                                        std::uint64_t sequence) noexcept {
    out[0] = magic[0];
    out[1] = magic[1];
    out[2] = version;
    out[3] = rawValue(channel);
    bigendian::store(out.last<8>(), sequence);
}

} // namespace velorinth
