#pragma once

// Pictures and frames for the encoder and decoder tests.

#include "core/BigEndian.hpp"
#include "core/VideoModels.hpp"
#include "platform/PixelBuffer.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace velorinth::videotest {

// A picture of smooth gradients that move with `phase`: cheap to encode, never empty.
inline std::shared_ptr<PixelBuffer> gradient(int width, int height, int phase = 0) {
    auto picture = std::make_shared<PixelBuffer>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            picture->plane(0)[y * picture->stride(0) + x] = static_cast<std::uint8_t>(16 + (x + y + phase) % 200);
        }
    }
    for (int y = 0; y < picture->planeHeight(1); ++y) {
        std::memset(picture->plane(1) + y * picture->stride(1), 128, static_cast<std::size_t>(picture->stride(1)));
    }
    return picture;
}

// Every byte random: the hardest picture to compress.
inline std::shared_ptr<PixelBuffer> noise(int width, int height, std::uint64_t seed) {
    auto picture = std::make_shared<PixelBuffer>(width, height);
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (int plane = 0; plane < PixelBuffer::kPlaneCount; ++plane) {
        for (int y = 0; y < picture->planeHeight(plane); ++y) {
            std::uint8_t* row = picture->plane(plane) + y * picture->stride(plane);
            for (int x = 0; x + 8 <= picture->stride(plane); x += 8) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                std::memcpy(row + x, &state, 8);
            }
        }
    }
    return picture;
}

inline VideoStreamConfiguration configuration(std::int64_t width, std::int64_t height, std::int64_t fps = 30,
                                              std::int64_t bitrate = 2'000'000, std::int64_t chunk = 16'384,
                                              std::int64_t keyframeInterval = 300) {
    return VideoStreamConfiguration::clamped(Capability::h264, width, height, fps, bitrate, keyframeInterval, 4'194'304,
                                             chunk);
}

// At `us` microseconds.
inline MediaTime at(std::int64_t us) { return MediaTime::make(us, 1'000'000); }

// `count` frames of a moving gradient, 33 ms apart; forced keyframes where asked.
inline std::vector<EncodedVideoFrame> encodeFrames(DesktopVideoEncoder& encoder, int width, int height, int count,
                                                   std::vector<int> forced = {}, std::int64_t firstUs = 1'000'000) {
    std::vector<EncodedVideoFrame> frames;
    for (int i = 0; i < count; ++i) {
        const bool force = std::find(forced.begin(), forced.end(), i) != forced.end();
        auto frame = encoder.encode(*gradient(width, height, i * 3), at(firstUs + i * 33'333), MediaTime::invalid(),
                                    std::nullopt, force);
        if (frame) frames.push_back(std::move(*frame));
    }
    return frames;
}

// The types of the NAL units in a 4-byte length-prefixed payload.
inline std::vector<int> nalTypes(const Bytes& payload) {
    std::vector<int> types;
    for (std::size_t at = 0; at + 4 < payload.size();) {
        const std::size_t length = bigendian::load<std::uint32_t>(ByteView(payload).subspan(at).first<4>());
        types.push_back(payload[at + 4] & 0x1F);
        at += 4 + length;
    }
    return types;
}

} // namespace velorinth::videotest
