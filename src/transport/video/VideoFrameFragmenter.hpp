#pragma once

#include "core/Bytes.hpp"
#include "core/VideoModels.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velorinth {

// Cuts one encoded frame into the encoded fragment packets that carry it, in
// fragment order: all at once (fragment), or checked once (plan) and then
// written one fragment at a time, its chunk left where it lies in the frame's
// payload (packetHeader, chunk), so viewers of one frame share its payload.
// Stateless; any thread.
class VideoFrameFragmenter {
public:
    VideoFrameFragmenter() = delete;

    // The limits the host's scheduler fragments with.
    static constexpr std::int64_t hostMaxFrameBytes = 2'097'152;
    static constexpr std::int64_t hostMaxFragmentsPerFrame = 128;
    static constexpr std::int64_t minimumChunkBytes = 1024;
    static constexpr std::int64_t minimumDimension = 64;
    static constexpr std::int64_t maximumDimension = 65'535;

    // How a checked frame is cut.
    struct Plan {
        std::int64_t chunkBytes = 0;
        std::uint16_t fragmentCount = 0;
        std::size_t largestPacketBytes = 0; // header and chunk of the largest fragment
    };

    // Fails with invalidBounds (empty payload, a size outside 64-65,535, a
    // chunk size below 1024), frameTooLarge, tooManyFragments or
    // malformedCodecConfiguration; the frame is never changed. Limits beyond
    // what the packet's 16-bit count and 32-bit length can express are held
    // to those widths.
    static Plan plan(const EncodedVideoFrame& frame, std::int64_t chunkBytes, std::int64_t maxFrameBytes,
                     std::int64_t maxFragmentsPerFrame);
    // Fragment `index` of a planned frame up to its chunk, stamped with
    // `generation` (a viewer's own) in place of the frame's.
    static Bytes packetHeader(const EncodedVideoFrame& frame, std::uint64_t generation, const Plan& plan,
                              std::uint16_t index);
    // Its chunk: a view into the frame's payload.
    static ByteView chunk(const EncodedVideoFrame& frame, const Plan& plan, std::uint16_t index);

    // Every packet of the frame under its own generation; fails as plan.
    static std::vector<Bytes> fragment(const EncodedVideoFrame& frame, std::int64_t chunkBytes,
                                       std::int64_t maxFrameBytes, std::int64_t maxFragmentsPerFrame);
};

} // namespace velorinth
