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

VideoFragmentPacket packetFor(const EncodedVideoFrame& frame, std::uint64_t generation,
                              const VideoFrameFragmenter::Plan& plan, std::uint16_t index) {
    VideoFragmentPacket packet;
    packet.streamID = frame.streamID;
    packet.generation = generation;
    packet.frameSequence = frame.sequence;
    packet.fragmentIndex = index;
    packet.fragmentCount = plan.fragmentCount;
    packet.totalPayloadBytes = static_cast<std::uint32_t>(frame.payload.size());
    packet.isKeyframe = frame.isKeyframe;
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
    }
    return packet;
}

} // namespace

VideoFrameFragmenter::Plan VideoFrameFragmenter::plan(const EncodedVideoFrame& frame, std::int64_t chunkBytes,
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

    Plan plan{chunkBytes, static_cast<std::uint16_t>(count), 0};
    // Checks the codec configuration; the first fragment carries the most header.
    const std::size_t firstHeader = VideoFragmentPacket::encodedHeaderLength(packetFor(frame, 0, plan, 0));
    plan.largestPacketBytes = firstHeader + chunk(frame, plan, 0).size();
    if (count > 1) {
        plan.largestPacketBytes =
            std::max(plan.largestPacketBytes, VideoFragmentPacket::headerLength + static_cast<std::size_t>(chunkBytes));
    }
    return plan;
}

Bytes VideoFrameFragmenter::packetHeader(const EncodedVideoFrame& frame, std::uint64_t generation, const Plan& plan,
                                         std::uint16_t index) {
    return VideoFragmentPacket::encodeHeader(packetFor(frame, generation, plan, index),
                                             chunk(frame, plan, index).size());
}

ByteView VideoFrameFragmenter::chunk(const EncodedVideoFrame& frame, const Plan& plan, std::uint16_t index) {
    const auto payloadLength = static_cast<std::int64_t>(frame.payload.size());
    const std::int64_t begin = std::min(payloadLength, index * plan.chunkBytes);
    const std::int64_t end = std::min(payloadLength, begin + plan.chunkBytes);
    return ByteView(frame.payload).subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::vector<Bytes> VideoFrameFragmenter::fragment(const EncodedVideoFrame& frame, std::int64_t chunkBytes,
                                                  std::int64_t maxFrameBytes, std::int64_t maxFragmentsPerFrame) {
    const Plan planned = plan(frame, chunkBytes, maxFrameBytes, maxFragmentsPerFrame);
    std::vector<Bytes> packets;
    packets.reserve(planned.fragmentCount);
    for (std::uint16_t index = 0; index < planned.fragmentCount; ++index) {
        packets.push_back(VideoFragmentPacket::encode(packetFor(frame, frame.generation, planned, index),
                                                      chunk(frame, planned, index)));
    }
    return packets;
}

} // namespace velorinth
