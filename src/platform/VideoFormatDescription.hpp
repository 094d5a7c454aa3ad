#pragma once

#include "core/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace velorinth {

// The parameter sets of a stream as a decoder takes them.
struct VideoFormatDescription {
    Bytes decoderConfiguration; // an AVC decoder configuration record
    std::uint8_t nalUnitHeaderLength = 4;

    // Every SPS, then every PPS. Sets `status` to -1 and returns none for
    // sets that no record can hold.
    static std::optional<VideoFormatDescription> fromH264ParameterSets(const std::vector<Bytes>& sps,
                                                                       const std::vector<Bytes>& pps,
                                                                       int nalUnitHeaderLength, int& status);
};

} // namespace velorinth
