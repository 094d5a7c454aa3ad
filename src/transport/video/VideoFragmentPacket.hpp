#pragma once

#include "core/Bytes.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velorinth {

// One chunk of an encoded video frame, the plaintext of a video-fragment
// wire frame. Fragment 0 also carries the frame's metadata and, when the
// frame brings new parameter sets, its H.264 configuration.
//
// Layout (big-endian): "VF", version 1, flags (0x01 keyframe, 0x02 metadata,
// 0x04 codec configuration), stream id (16), generation (8), frame sequence
// (8), fragment index (2), fragment count (2), total payload bytes (4), chunk
// length (4); then the 36-byte metadata block and the configuration when
// flagged; then the chunk, which ends the packet.
struct VideoFragmentPacket {
    struct FirstFragmentMetadata {
        std::int64_t presentationTimestampUs = 0;
        std::int64_t durationUs = 1;
        std::uint64_t captureTimestampNs = 0;
        std::uint32_t codecConfigVersion = 0;
        std::uint16_t width = 0;
        std::uint16_t height = 0;
        std::uint16_t sourceDisplayWidth = 0;
        std::uint16_t sourceDisplayHeight = 0;
        std::optional<H264CodecConfiguration> codecConfiguration;

        bool operator==(const FirstFragmentMetadata&) const = default;
    };

    Uuid streamID;
    std::uint64_t generation = 0;
    std::uint64_t frameSequence = 0;
    std::uint16_t fragmentIndex = 0;
    std::uint16_t fragmentCount = 0;
    std::uint32_t totalPayloadBytes = 0;
    bool isKeyframe = false;
    std::optional<FirstFragmentMetadata> metadata;
    Bytes chunk;

    bool operator==(const VideoFragmentPacket&) const = default;

    static constexpr std::uint8_t magic[2] = {0x56, 0x46}; // "VF"
    static constexpr std::uint8_t version = 1;
    static constexpr std::uint8_t keyframeFlag = 0x01;
    static constexpr std::uint8_t metadataFlag = 0x02;
    static constexpr std::uint8_t codecConfigurationFlag = 0x04;
    static constexpr std::size_t headerLength = 48;
    static constexpr std::size_t metadataLength = 36;
    static constexpr std::size_t minimumDimension = 64;
    static constexpr std::size_t minParameterSets = 1;
    static constexpr std::size_t maxParameterSets = 8;
    static constexpr std::size_t maxParameterSetBytes = 2048;

    // Fails with malformedCodecConfiguration for parameter set lists outside
    // 1-8 entries or an entry outside 1-2048 bytes, and with invalidBounds
    // for a chunk whose length the 32-bit field cannot hold. Metadata is
    // written whenever present; keeping it to fragment 0 is the fragmenter's
    // duty.
    static Bytes encode(const VideoFragmentPacket& packet);
    // The same with `chunk` in place of packet.chunk, so a frame's slices are
    // copied once, straight into their packets.
    static Bytes encode(const VideoFragmentPacket& packet, ByteView chunk);
    // The packet up to its chunk, announcing `chunkLength` bytes of chunk to
    // follow, so a sender can seal the chunk where it lies; only the header's
    // own bytes are allocated. Fails as encode.
    static Bytes encodeHeader(const VideoFragmentPacket& packet, std::size_t chunkLength);
    // The length of that part; fails with malformedCodecConfiguration as encode.
    static std::size_t encodedHeaderLength(const VideoFragmentPacket& packet);

    // Reads untrusted bytes under the caller's limits. Nothing is allocated
    // before the lengths that size it have been checked against the limits
    // and the input. The result holds copies, never views of `bytes`.
    static VideoFragmentPacket decode(ByteView bytes, std::int64_t maxFrameBytes, std::int64_t maxFragmentsPerFrame,
                                      std::int64_t maxChunkBytes);

    // A packet read up to its chunk, and where the chunk lies in the bytes read.
    struct DecodedHeader;
    // The same checks and failures as decode, without copying the chunk: the
    // packet's `chunk` stays empty and the view is valid while `bytes` is.
    static DecodedHeader decodeHeader(ByteView bytes, std::int64_t maxFrameBytes, std::int64_t maxFragmentsPerFrame,
                                      std::int64_t maxChunkBytes);
};

struct VideoFragmentPacket::DecodedHeader {
    VideoFragmentPacket packet;
    ByteView chunk;
};

} // namespace velorinth
