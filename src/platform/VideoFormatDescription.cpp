#include "platform/VideoFormatDescription.hpp"

#include "core/BigEndian.hpp"

namespace velorinth {

// [1, profile, compatibility, level, 0xFC | (length - 1), 0xE0 | SPS count,
//  {u16 size, SPS}..., PPS count, {u16 size, PPS}...]
std::optional<VideoFormatDescription> VideoFormatDescription::fromH264ParameterSets(const std::vector<Bytes>& sps,
                                                                                    const std::vector<Bytes>& pps,
                                                                                    int nalUnitHeaderLength,
                                                                                    int& status) {
    constexpr std::size_t kMaximumSpsCount = 31, kMaximumPpsCount = 255, kMaximumSetBytes = 0xFFFF;
    const auto fits = [&](const std::vector<Bytes>& sets, std::size_t count) {
        if (sets.empty() || sets.size() > count) return false;
        for (const Bytes& set : sets) {
            if (set.empty() || set.size() > kMaximumSetBytes) return false;
        }
        return true;
    };
    status = -1;
    if (nalUnitHeaderLength != 1 && nalUnitHeaderLength != 2 && nalUnitHeaderLength != 4) return std::nullopt;
    if (!fits(sps, kMaximumSpsCount) || !fits(pps, kMaximumPpsCount) || sps[0].size() < 4) return std::nullopt;

    VideoFormatDescription format;
    format.nalUnitHeaderLength = static_cast<std::uint8_t>(nalUnitHeaderLength);
    Bytes& out = format.decoderConfiguration;
    out = {1,
           sps[0][1],
           sps[0][2],
           sps[0][3],
           static_cast<std::uint8_t>(0xFC | (nalUnitHeaderLength - 1)),
           static_cast<std::uint8_t>(0xE0 | sps.size())};
    for (const Bytes& set : sps) {
        bigendian::append<std::uint16_t>(out, static_cast<std::uint16_t>(set.size()));
        bigendian::appendBytes(out, set);
    }
    out.push_back(static_cast<std::uint8_t>(pps.size()));
    for (const Bytes& set : pps) {
        bigendian::append<std::uint16_t>(out, static_cast<std::uint16_t>(set.size()));
        bigendian::appendBytes(out, set);
    }
    status = 0;
    return format;
}

} // namespace velorinth
