#pragma once

#include "core/Bytes.hpp"
#include "core/Uuid.hpp"
#include "core/VideoModels.hpp"
#include "transport/video/VideoFragmentPacket.hpp"

#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <variant>

namespace velorinth {

// Puts encoded frames back together from their fragment packets, on the
// receiving side of a session. Memory is bounded by hard limits: frame size,
// fragment count and chunk size per packet, the number of incomplete frames
// and the chunk bytes held over all of them. Incomplete frames are dropped
// after a timeout, fragments of an older stream generation are refused.
//
// A packet handed over whole is kept whole until its frame completes, its
// chunk left where it lies, so each chunk is copied once, into the frame:
// besides the chunk bytes the limit counts, that holds at most one packet
// header per fragment.
//
// A plain value: its owner serialises every call. Time comes from the caller
// or from the clock given at construction (steady_clock by default).
class VideoFrameReassembler {
public:
    using Instant = std::chrono::steady_clock::time_point;
    using Clock = std::function<Instant()>;

    // Defaults are the limits the tablet's client session receives with.
    struct Limits {
        std::int64_t maxFrameBytes = 2'097'152;
        std::int64_t maxFragmentsPerFrame = 128;
        std::int64_t maxChunkBytes = 49'152;
        std::int64_t maxIncompleteFrames = 4;
        std::int64_t maxTotalBufferedBytes = 4'194'304;
        std::chrono::nanoseconds incompleteFrameTimeout = std::chrono::milliseconds(1500);
    };

    struct FrameKey {
        Uuid streamID;
        std::uint64_t generation = 0;
        std::uint64_t frameSequence = 0;
        auto operator<=>(const FrameKey&) const = default;
    };

    // A chunk as it arrived: alone, or inside the packet that brought it.
    struct HeldChunk {
        Bytes storage;
        std::size_t offset = 0;
        std::size_t length = 0;

        ByteView bytes() const { return ByteView(storage).subspan(offset, length); }
        std::size_t size() const { return length; }
    };

    struct PartialFrame {
        Uuid streamID;
        std::uint64_t generation = 0;
        std::uint64_t frameSequence = 0;
        std::uint16_t fragmentCount = 0;
        std::uint32_t totalPayloadBytes = 0;
        bool isKeyframe = false;
        Instant createdAt;
        std::optional<VideoFragmentPacket::FirstFragmentMetadata> metadata;
        std::map<std::uint16_t, HeldChunk> chunks;
        std::int64_t receivedBytes = 0;
    };

    // What a fragment that completes no frame did: it was kept, or it was a
    // repeat of one already held or a leftover of an older generation, both
    // routine and ignored.
    enum class FragmentOutcome { buffered, duplicate, stale };
    using IngestResult = std::variant<EncodedVideoFrame, FragmentOutcome>;

    VideoFrameReassembler();
    explicit VideoFrameReassembler(Limits limits, Clock clock = {});

    // Takes one opened video-fragment body and gives the frame it completed
    // or its outcome. Fails with a VideoProtocolError for a fragment that
    // breaks the format or a limit; every failure leaves the buffers
    // consistent and within their limits. Bytes lent are copied where they
    // must be kept; bytes handed over may be kept as they are.
    IngestResult ingest(ByteView packetBytes, Instant now);
    IngestResult ingest(Bytes&& packetBytes, Instant now);
    IngestResult ingest(ByteView packetBytes);

    // Drops every incomplete frame and accepts any generation again; the
    // expired count is kept.
    void reset();

    const Limits& limits() const noexcept { return limits_; }
    std::chrono::nanoseconds incompleteFrameTimeout() const noexcept { return limits_.incompleteFrameTimeout; }
    std::int64_t totalBufferedBytes() const noexcept { return totalBufferedBytes_; }
    std::uint64_t activeGeneration() const noexcept { return activeGeneration_; }
    std::uint64_t expiredFramesCount() const noexcept { return expiredFramesCount_; }
    std::size_t incompleteFrameCount() const noexcept { return partials_.size(); }
    const std::map<FrameKey, PartialFrame>& partials() const noexcept { return partials_; }

private:
    using Partials = std::map<FrameKey, PartialFrame>;

    void expire(Instant now);
    void dropGenerationsBelow(std::uint64_t generation);
    void release(std::int64_t bytes);
    Partials::iterator removePartial(Partials::iterator position);
    // A fragment's chunk before it is stored: where it lies, and the packet
    // around it when that may be kept.
    struct IncomingChunk {
        ByteView bytes;
        ByteView packet;
        Bytes* owned = nullptr;
        // Only once the fragment is known to be stored.
        HeldChunk hold() const;
    };

    // `owned`, when given, holds `packetBytes` and may be kept.
    IngestResult ingestPacket(ByteView packetBytes, Bytes* owned, Instant now);
    IngestResult addToPartial(Partials::iterator position, VideoFragmentPacket& packet, const IncomingChunk& chunk);
    void startPartial(const FrameKey& key, VideoFragmentPacket& packet, const IncomingChunk& chunk, Instant now);

    Limits limits_;
    Clock clock_;
    Partials partials_;
    std::int64_t totalBufferedBytes_ = 0;
    std::uint64_t activeGeneration_ = 0;
    std::uint64_t expiredFramesCount_ = 0;
};

} // namespace velorinth
