#include "transport/video/VideoFrameFragmenter.hpp"

#include "transport/video/VideoFragmentPacket.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <algorithm>
#include <limits>

namespace velorinth {
namespace {

using Case = VideoProtocolError::Case;

bool validDimension(std::int64_t value) {
    return value >= VideoFrameFragmenter::minimumDimension && value <= VideoFrameFragmenter::maximumDimension;
}

} // namespace

std::vector<Bytes> VideoFrameFragmenter::fragment(const EncodedVideoFrame& frame, std::int64_t chunkBytes,
                                                  std::int64_t maxFrameBytes, std::int64_t maxFragmentsPerFrame) {
    // A count or length the header cannot hold would be written wrapped.
    maxFrameBytes = std::min<std::int64_t>(maxFrameBytes, std::numeric_limits<std::uint32_t>::max());
    maxFragmentsPerFrame = std::min<std::int64_t>(maxFragmentsPerFrame, std::numeric_limits<std::uint16_t>::max());

    if (frame.payload.empty()) throw VideoProtocolError(Case::invalidBounds);
    for (auto dimension : {frame.width, frame.height, frame.sourceDisplayWidth, frame.sourceDisplayHeight}) {
        if (!validDimension(dimension)) throw VideoProtocolError(Case::invalidBounds);
    }
    if (chunkBytes < minimumChunkBytes) throw VideoProtocolError(Case::invalidBounds);
    const auto payloadLength = static_cast<std::int64_t>(frame.payload.size());
    if (payloadLength > maxFrameBytes) throw VideoProtocolError(Case::frameTooLarge);
    const std::int64_t count = payloadLength / chunkBytes + (payloadLength % chunkBytes != 0 ? 1 : 0);
    if (count < 1 || count > maxFragmentsPerFrame) throw VideoProtocolError(Case::tooManyFragments);

    VideoFragmentPacket packet;
    packet.streamID = frame.streamID;
    packet.generation = frame.generation;
    packet.frameSequence = frame.sequence;
    packet.fragmentCount = static_cast<std::uint16_t>(count);
    packet.totalPayloadBytes = static_cast<std::uint32_t>(payloadLength);
    packet.isKeyframe = frame.isKeyframe;

    std::vector<Bytes> packets;
    packets.reserve(static_cast<std::size_t>(count));
    for (std::int64_t index = 0; index < count; ++index) {
        const auto begin = index * chunkBytes;
        const auto end = std::min(payloadLength, begin + chunkBytes);
        packet.fragmentIndex = static_cast<std::uint16_t>(index);
        if (index == 0) {
            VideoFragmentPacket::FirstFragmentMetadata metadata;
            metadata.presentationTimestampUs = frame.presentationTimestampUs;
            metadata.durationUs = std::max<std::int64_t>(frame.durationUs, 1);
            metadata.captureTimestampNs = frame.captureTimestampNs;
            metadata.codecConfigVersion = frame.codecConfigVersion;
            metadata.width = static_cast<std::uint16_t>(frame.width);
            metadata.height = static_cast<std::uint16_t>(frame.height);
            metadata.sourceDisplayWidth = static_cast<std::uint16_t>(frame.sourceDisplayWidth);
            metadata.sourceDisplayHeight = static_cast<std::uint16_t>(frame.sourceDisplayHeight);
            metadata.codecConfiguration = frame.codecConfiguration;
            packet.metadata = std::move(metadata);
        } else {
            packet.metadata.reset();
        }
        auto chunk = ByteView(frame.payload)
                         .subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
        packets.push_back(VideoFragmentPacket::encode(packet, chunk));
    }
    return packets;
}

} // namespace velorinth
