#include "transport/video/VideoFrameReassembler.hpp"

#include "transport/video/VideoProtocolError.hpp"

#include <algorithm>
#include <utility>

namespace velorinth {
namespace {

using Case = VideoProtocolError::Case;

EncodedVideoFrame buildFrame(const Uuid& streamID, std::uint64_t generation, std::uint64_t sequence, bool isKeyframe,
                             const VideoFragmentPacket::FirstFragmentMetadata& metadata, Bytes payload) {
    EncodedVideoFrame frame;
    frame.streamID = streamID;
    frame.generation = generation;
    frame.sequence = sequence;
    frame.presentationTimestampUs = metadata.presentationTimestampUs;
    frame.durationUs = metadata.durationUs;
    frame.payload = std::move(payload);
    frame.isKeyframe = isKeyframe;
    frame.codecConfigVersion = metadata.codecConfigVersion;
    frame.codecConfiguration = metadata.codecConfiguration;
    frame.width = metadata.width;
    frame.height = metadata.height;
    frame.sourceDisplayWidth = metadata.sourceDisplayWidth;
    frame.sourceDisplayHeight = metadata.sourceDisplayHeight;
    frame.captureTimestampNs = metadata.captureTimestampNs;
    return frame;
}

EncodedVideoFrame assemble(VideoFrameReassembler::PartialFrame& partial) {
    if (partial.receivedBytes != partial.totalPayloadBytes || !partial.metadata) {
        throw VideoProtocolError(Case::payloadLengthMismatch);
    }
    Bytes payload;
    payload.reserve(static_cast<std::size_t>(partial.receivedBytes));
    for (std::uint32_t index = 0; index < partial.fragmentCount; ++index) {
        auto chunk = partial.chunks.find(static_cast<std::uint16_t>(index));
        if (chunk == partial.chunks.end()) throw VideoProtocolError(Case::payloadLengthMismatch);
        const ByteView bytes = chunk->second.bytes();
        payload.insert(payload.end(), bytes.begin(), bytes.end());
    }
    if (payload.size() != partial.totalPayloadBytes) throw VideoProtocolError(Case::payloadLengthMismatch);
    return buildFrame(partial.streamID, partial.generation, partial.frameSequence, partial.isKeyframe,
                      *partial.metadata, std::move(payload));
}

// Whether a partial created at `createdAt` is at least `timeout` old at
// `now`, without signed overflow for any pair of instants. An instant before
// the creation is a negative age and expires nothing.
bool hasReached(VideoFrameReassembler::Instant createdAt, VideoFrameReassembler::Instant now,
                std::chrono::nanoseconds timeout) {
    auto created = createdAt.time_since_epoch().count();
    auto current = now.time_since_epoch().count();
    if (current < created) return false;
    if (timeout.count() <= 0) return true;
    auto age = static_cast<std::uint64_t>(current) - static_cast<std::uint64_t>(created);
    return age >= static_cast<std::uint64_t>(timeout.count());
}

} // namespace

VideoFrameReassembler::VideoFrameReassembler() : VideoFrameReassembler(Limits{}) {}

VideoFrameReassembler::VideoFrameReassembler(Limits limits, Clock clock)
    : limits_(limits), clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

VideoFrameReassembler::IngestResult VideoFrameReassembler::ingest(ByteView packetBytes) {
    return ingest(packetBytes, clock_());
}

VideoFrameReassembler::IngestResult VideoFrameReassembler::ingest(ByteView packetBytes, Instant now) {
    return ingestPacket(packetBytes, nullptr, now);
}

VideoFrameReassembler::IngestResult VideoFrameReassembler::ingest(Bytes&& packetBytes, Instant now) {
    return ingestPacket(packetBytes, &packetBytes, now);
}

VideoFrameReassembler::IngestResult VideoFrameReassembler::ingestPacket(ByteView packetBytes, Bytes* owned,
                                                                        Instant now) {
    expire(now);
    auto [packet, chunk] = VideoFragmentPacket::decodeHeader(packetBytes, limits_.maxFrameBytes,
                                                             limits_.maxFragmentsPerFrame, limits_.maxChunkBytes);

    if (packet.generation < activeGeneration_) return FragmentOutcome::stale;
    if (packet.generation > activeGeneration_) {
        activeGeneration_ = packet.generation;
        dropGenerationsBelow(activeGeneration_);
    }

    if (packet.fragmentCount == 1) {
        if (packet.fragmentIndex != 0 || !packet.metadata) throw VideoProtocolError(Case::invalidBounds);
        if (chunk.size() != packet.totalPayloadBytes) throw VideoProtocolError(Case::payloadLengthMismatch);
        return buildFrame(packet.streamID, packet.generation, packet.frameSequence, packet.isKeyframe,
                          *packet.metadata, Bytes(chunk.begin(), chunk.end()));
    }

    const IncomingChunk incoming{chunk, packetBytes, owned};
    FrameKey key{packet.streamID, packet.generation, packet.frameSequence};
    if (auto position = partials_.find(key); position != partials_.end()) {
        return addToPartial(position, packet, incoming);
    }
    startPartial(key, packet, incoming, now);
    return FragmentOutcome::buffered;
}

// Inside its packet when the packet is ours to keep, else a copy.
VideoFrameReassembler::HeldChunk VideoFrameReassembler::IncomingChunk::hold() const {
    if (!owned) return HeldChunk{Bytes(bytes.begin(), bytes.end()), 0, bytes.size()};
    const auto offset = static_cast<std::size_t>(bytes.data() - packet.data());
    return HeldChunk{std::move(*owned), offset, bytes.size()};
}

VideoFrameReassembler::IngestResult VideoFrameReassembler::addToPartial(Partials::iterator position,
                                                                        VideoFragmentPacket& packet,
                                                                        const IncomingChunk& chunk) {
    auto& partial = position->second;
    if (partial.fragmentCount != packet.fragmentCount || partial.totalPayloadBytes != packet.totalPayloadBytes ||
        partial.isKeyframe != packet.isKeyframe) {
        removePartial(position);
        throw VideoProtocolError(Case::conflictingFragment);
    }
    if (partial.chunks.contains(packet.fragmentIndex)) return FragmentOutcome::duplicate;
    const auto chunkLength = static_cast<std::int64_t>(chunk.bytes.size());
    if (partial.receivedBytes + chunkLength > partial.totalPayloadBytes) {
        removePartial(position);
        throw VideoProtocolError(Case::payloadLengthMismatch);
    }
    if (totalBufferedBytes_ + chunkLength > limits_.maxTotalBufferedBytes) {
        throw VideoProtocolError(Case::reassemblyMemoryLimitExceeded);
    }
    if (packet.metadata) partial.metadata = std::move(packet.metadata);
    partial.chunks.emplace(packet.fragmentIndex, chunk.hold());
    partial.receivedBytes += chunkLength;
    totalBufferedBytes_ += chunkLength;

    if (partial.chunks.size() < partial.fragmentCount) return FragmentOutcome::buffered;
    auto complete = partials_.extract(position);
    release(complete.mapped().receivedBytes);
    return assemble(complete.mapped());
}

void VideoFrameReassembler::startPartial(const FrameKey& key, VideoFragmentPacket& packet,
                                         const IncomingChunk& chunk, Instant now) {
    if (static_cast<std::int64_t>(partials_.size()) >= limits_.maxIncompleteFrames) {
        // Make room by giving up the oldest frame, but never for a frame
        // older than everything held.
        auto oldest = std::min_element(partials_.begin(), partials_.end(), [](const auto& a, const auto& b) {
            return a.second.frameSequence < b.second.frameSequence;
        });
        if (oldest == partials_.end() || oldest->second.frameSequence >= packet.frameSequence) {
            throw VideoProtocolError(Case::reassemblyMemoryLimitExceeded);
        }
        removePartial(oldest);
        ++expiredFramesCount_;
    }
    const auto chunkLength = static_cast<std::int64_t>(chunk.bytes.size());
    if (totalBufferedBytes_ + chunkLength > limits_.maxTotalBufferedBytes) {
        throw VideoProtocolError(Case::reassemblyMemoryLimitExceeded);
    }

    PartialFrame partial;
    partial.streamID = packet.streamID;
    partial.generation = packet.generation;
    partial.frameSequence = packet.frameSequence;
    partial.fragmentCount = packet.fragmentCount;
    partial.totalPayloadBytes = packet.totalPayloadBytes;
    partial.isKeyframe = packet.isKeyframe;
    partial.createdAt = now;
    partial.metadata = std::move(packet.metadata);
    partial.chunks.emplace(packet.fragmentIndex, chunk.hold());
    partial.receivedBytes = chunkLength;
    partials_.emplace(key, std::move(partial));
    totalBufferedBytes_ += chunkLength;
}

void VideoFrameReassembler::release(std::int64_t bytes) {
    totalBufferedBytes_ = std::max<std::int64_t>(0, totalBufferedBytes_ - bytes);
}

VideoFrameReassembler::Partials::iterator VideoFrameReassembler::removePartial(Partials::iterator position) {
    release(position->second.receivedBytes);
    return partials_.erase(position);
}

void VideoFrameReassembler::expire(Instant now) {
    for (auto position = partials_.begin(); position != partials_.end();) {
        if (hasReached(position->second.createdAt, now, limits_.incompleteFrameTimeout)) {
            position = removePartial(position);
            ++expiredFramesCount_;
        } else {
            ++position;
        }
    }
}

void VideoFrameReassembler::dropGenerationsBelow(std::uint64_t generation) {
    for (auto position = partials_.begin(); position != partials_.end();) {
        position = position->second.generation < generation ? removePartial(position) : std::next(position);
    }
}

void VideoFrameReassembler::reset() {
    partials_.clear();
    totalBufferedBytes_ = 0;
    activeGeneration_ = 0;
}

} // namespace velorinth
