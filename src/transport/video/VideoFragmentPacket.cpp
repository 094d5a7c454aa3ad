#include "transport/video/VideoFragmentPacket.hpp"

#include "core/BigEndian.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace velorinth {
namespace {

using Case = VideoProtocolError::Case;

[[noreturn]] void fail(Case kind) { throw VideoProtocolError(kind); }

bool validParameterSetCount(std::size_t count) {
    return count >= VideoFragmentPacket::minParameterSets && count <= VideoFragmentPacket::maxParameterSets;
}

bool validParameterSetLength(std::size_t length) {
    return length >= 1 && length <= VideoFragmentPacket::maxParameterSetBytes;
}

// Checks a configuration before anything of it is written and gives its
// encoded length.
std::size_t encodedConfigurationLength(const H264CodecConfiguration& configuration) {
    if (!validParameterSetCount(configuration.sps.size()) || !validParameterSetCount(configuration.pps.size())) {
        fail(Case::malformedCodecConfiguration);
    }
    std::size_t length = 4 + 1 + 1 + 1;
    for (const auto* sets : {&configuration.sps, &configuration.pps}) {
        for (const auto& set : *sets) {
            if (!validParameterSetLength(set.size())) fail(Case::malformedCodecConfiguration);
            length += 2 + set.size();
        }
    }
    return length;
}

void appendParameterSets(Bytes& out, const std::vector<Bytes>& sets) {
    out.push_back(static_cast<std::uint8_t>(sets.size()));
    for (const auto& set : sets) {
        bigendian::append(out, static_cast<std::uint16_t>(set.size()));
        bigendian::appendBytes(out, set);
    }
}

std::vector<Bytes> readParameterSets(VideoPacketReader& reader) {
    auto count = reader.read<std::uint8_t>();
    if (!validParameterSetCount(count)) fail(Case::malformedCodecConfiguration);
    std::vector<Bytes> sets;
    sets.reserve(count);
    for (std::uint8_t i = 0; i < count; ++i) {
        auto length = reader.read<std::uint16_t>();
        if (!validParameterSetLength(length)) fail(Case::malformedCodecConfiguration);
        auto bytes = reader.take(length);
        sets.emplace_back(bytes.begin(), bytes.end());
    }
    return sets;
}

H264CodecConfiguration readConfiguration(VideoPacketReader& reader) {
    H264CodecConfiguration configuration;
    configuration.version = reader.read<std::uint32_t>();
    configuration.nalUnitHeaderLength = reader.read<std::uint8_t>();
    if (configuration.nalUnitHeaderLength != 1 && configuration.nalUnitHeaderLength != 2 &&
        configuration.nalUnitHeaderLength != 4) {
        fail(Case::malformedCodecConfiguration);
    }
    configuration.sps = readParameterSets(reader);
    configuration.pps = readParameterSets(reader);
    return configuration;
}

// Appends the packet up to its chunk to `out`, which has room for it.
void appendHeader(Bytes& out, const VideoFragmentPacket& packet, std::size_t chunkLength) {
    using P = VideoFragmentPacket;
    std::uint8_t flags = packet.isKeyframe ? P::keyframeFlag : 0;
    if (packet.metadata) {
        flags |= P::metadataFlag;
        if (packet.metadata->codecConfiguration) flags |= P::codecConfigurationFlag;
    }
    out.push_back(P::magic[0]);
    out.push_back(P::magic[1]);
    out.push_back(P::version);
    out.push_back(flags);
    bigendian::appendBytes(out, packet.streamID.bytes());
    bigendian::append(out, packet.generation);
    bigendian::append(out, packet.frameSequence);
    bigendian::append(out, packet.fragmentIndex);
    bigendian::append(out, packet.fragmentCount);
    bigendian::append(out, packet.totalPayloadBytes);
    bigendian::append(out, static_cast<std::uint32_t>(chunkLength));
    if (const auto& metadata = packet.metadata) {
        bigendian::append(out, static_cast<std::uint64_t>(metadata->presentationTimestampUs));
        bigendian::append(out, static_cast<std::uint64_t>(metadata->durationUs));
        bigendian::append(out, metadata->captureTimestampNs);
        bigendian::append(out, metadata->codecConfigVersion);
        bigendian::append(out, metadata->width);
        bigendian::append(out, metadata->height);
        bigendian::append(out, metadata->sourceDisplayWidth);
        bigendian::append(out, metadata->sourceDisplayHeight);
        if (const auto& configuration = metadata->codecConfiguration) {
            bigendian::append(out, configuration->version);
            out.push_back(configuration->nalUnitHeaderLength);
            appendParameterSets(out, configuration->sps);
            appendParameterSets(out, configuration->pps);
        }
    }
}

// The whole packet's length, once its header is known to be writable.
std::size_t checkedHeaderLength(const VideoFragmentPacket& packet, std::size_t chunkLength) {
    // The chunk length field is 32 bits: a longer chunk would be announced
    // with a wrapped length and corrupt the stream.
    if (chunkLength > std::numeric_limits<std::uint32_t>::max()) fail(Case::invalidBounds);
    return VideoFragmentPacket::encodedHeaderLength(packet);
}

} // namespace

Bytes VideoFragmentPacket::encode(const VideoFragmentPacket& packet) { return encode(packet, packet.chunk); }

Bytes VideoFragmentPacket::encode(const VideoFragmentPacket& packet, ByteView chunk) {
    Bytes out;
    out.reserve(checkedHeaderLength(packet, chunk.size()) + chunk.size());
    appendHeader(out, packet, chunk.size());
    bigendian::appendBytes(out, chunk);
    return out;
}

Bytes VideoFragmentPacket::encodeHeader(const VideoFragmentPacket& packet, std::size_t chunkLength) {
    Bytes out;
    out.reserve(checkedHeaderLength(packet, chunkLength));
    appendHeader(out, packet, chunkLength);
    return out;
}

std::size_t VideoFragmentPacket::encodedHeaderLength(const VideoFragmentPacket& packet) {
    std::size_t length = headerLength;
    if (packet.metadata) {
        length += metadataLength;
        if (packet.metadata->codecConfiguration) {
            length += encodedConfigurationLength(*packet.metadata->codecConfiguration);
        }
    }
    return length;
}

VideoFragmentPacket VideoFragmentPacket::decode(ByteView bytes, std::int64_t maxFrameBytes,
                                                std::int64_t maxFragmentsPerFrame, std::int64_t maxChunkBytes) {
    DecodedHeader decoded = decodeHeader(bytes, maxFrameBytes, maxFragmentsPerFrame, maxChunkBytes);
    decoded.packet.chunk.assign(decoded.chunk.begin(), decoded.chunk.end());
    return std::move(decoded.packet);
}

VideoFragmentPacket::DecodedHeader VideoFragmentPacket::decodeHeader(ByteView bytes, std::int64_t maxFrameBytes,
                                                                     std::int64_t maxFragmentsPerFrame,
                                                                     std::int64_t maxChunkBytes) {
    if (bytes.size() < headerLength) fail(Case::truncatedPacket);
    VideoPacketReader reader(bytes);
    auto magicBytes = reader.take(2);
    if (magicBytes[0] != magic[0] || magicBytes[1] != magic[1] || reader.read<std::uint8_t>() != version) {
        fail(Case::invalidMagicOrVersion);
    }

    VideoFragmentPacket packet;
    auto flags = reader.read<std::uint8_t>();
    packet.isKeyframe = (flags & keyframeFlag) != 0;
    auto id = reader.take(16);
    Uuid::Storage idBytes{};
    std::copy(id.begin(), id.end(), idBytes.begin());
    packet.streamID = Uuid(idBytes);
    packet.generation = reader.read<std::uint64_t>();
    packet.frameSequence = reader.read<std::uint64_t>();
    packet.fragmentIndex = reader.read<std::uint16_t>();
    packet.fragmentCount = reader.read<std::uint16_t>();
    packet.totalPayloadBytes = reader.read<std::uint32_t>();
    std::uint32_t chunkLength = reader.read<std::uint32_t>();

    if (packet.fragmentCount == 0 || packet.fragmentCount > maxFragmentsPerFrame) fail(Case::tooManyFragments);
    if (packet.fragmentIndex >= packet.fragmentCount) fail(Case::invalidBounds);
    if (packet.totalPayloadBytes == 0) fail(Case::invalidBounds);
    if (packet.totalPayloadBytes > maxFrameBytes) fail(Case::frameTooLarge);
    if (chunkLength == 0 || chunkLength > maxChunkBytes) fail(Case::invalidBounds);
    if (chunkLength > packet.totalPayloadBytes) fail(Case::invalidBounds);

    bool hasMetadata = (flags & metadataFlag) != 0;
    bool hasConfiguration = (flags & codecConfigurationFlag) != 0;
    if (hasMetadata != (packet.fragmentIndex == 0)) fail(Case::invalidBounds);
    if (hasMetadata) {
        FirstFragmentMetadata metadata;
        metadata.presentationTimestampUs = reader.readInt64();
        metadata.durationUs = reader.readInt64();
        metadata.captureTimestampNs = reader.read<std::uint64_t>();
        metadata.codecConfigVersion = reader.read<std::uint32_t>();
        metadata.width = reader.read<std::uint16_t>();
        metadata.height = reader.read<std::uint16_t>();
        metadata.sourceDisplayWidth = reader.read<std::uint16_t>();
        metadata.sourceDisplayHeight = reader.read<std::uint16_t>();
        for (auto dimension : {metadata.width, metadata.height, metadata.sourceDisplayWidth,
                               metadata.sourceDisplayHeight}) {
            if (dimension < minimumDimension) fail(Case::invalidBounds);
        }
        if (metadata.durationUs <= 0) fail(Case::invalidBounds);
        if (hasConfiguration) metadata.codecConfiguration = readConfiguration(reader);
        packet.metadata = std::move(metadata);
    } else if (hasConfiguration) {
        fail(Case::invalidBounds);
    }

    const ByteView chunk = reader.take(chunkLength);
    if (reader.remaining() != 0) fail(Case::invalidBounds);
    return {std::move(packet), chunk};
}

} // namespace velorinth
