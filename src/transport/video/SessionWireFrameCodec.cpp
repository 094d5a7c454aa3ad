#include "transport/video/SessionWireFrameCodec.hpp"

#include "core/BigEndian.hpp"
#include "transport/video/VideoProtocolError.hpp"

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
    auto body = reader.take(reader.remaining());
    frame.body.assign(body.begin(), body.end());
    return frame;
}

Bytes SessionWireFrameCodec::encode(SessionBinaryChannel channel, std::uint64_t sequence, ByteView body) {
    Bytes frame;
    frame.reserve(headerLength + body.size());
    frame.push_back(magic[0]);
    frame.push_back(magic[1]);
    frame.push_back(version);
    frame.push_back(rawValue(channel));
    bigendian::append(frame, sequence);
    bigendian::appendBytes(frame, body);
    return frame;
}

} // namespace velorinth
