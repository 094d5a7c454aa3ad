#pragma once

#include "core/Bytes.hpp"
#include "core/VideoModels.hpp"

#include <cstdint>
#include <vector>

namespace velorinth {

// Cuts one encoded frame into the encoded fragment packets that carry it, in
// fragment order. Stateless; any thread.
class VideoFrameFragmenter {
public:
    VideoFrameFragmenter() = delete;

    // The limits the host's scheduler fragments with.
    static constexpr std::int64_t hostMaxFrameBytes = 2'097'152;
    static constexpr std::int64_t hostMaxFragmentsPerFrame = 128;
    static constexpr std::int64_t minimumChunkBytes = 1024;
    static constexpr std::int64_t minimumDimension = 64;
    static constexpr std::int64_t maximumDimension = 65'535;

    // Fails with invalidBounds (empty payload, a size outside 64-65,535, a
    // chunk size below 1024), frameTooLarge, tooManyFragments or
    // malformedCodecConfiguration; the frame is never changed. Limits beyond
    // what the packet's 16-bit count and 32-bit length can express are held
    // to those widths.
    static std::vector<Bytes> fragment(const EncodedVideoFrame& frame, std::int64_t chunkBytes,
                                       std::int64_t maxFrameBytes, std::int64_t maxFragmentsPerFrame);
};

} // namespace velorinth
