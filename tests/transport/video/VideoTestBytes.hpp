#pragma once

// Packets for the video transport tests, written from the byte layout by
// hand, never by the code under test.

#include "core/Bytes.hpp"
#include "support/LoopRunner.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velorinth::videotest {

// Hex digits with any spaces between them.
inline Bytes hex(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '\n') digits.push_back(c);
    }
    auto bytes = hexDecode(digits);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes.value_or(Bytes{});
}

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void put(Bytes& out, std::uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A fragment of stream 00112233-…; fragment 0 carries pts 100, duration 33,
// capture 7, configuration version 1, 64×64 on 64×64, no parameter sets.
struct Fragment {
    std::uint64_t generation = 1;
    std::uint64_t sequence = 1;
    std::uint16_t index = 0;
    std::uint16_t count = 1;
    std::uint32_t total = 0; // 0: the chunk's length
    bool keyframe = false;
    Bytes chunk = Bytes(1, 0xAA);
};

inline Bytes fragmentBytes(const Fragment& f) {
    Bytes out = hex("5646 01");
    out.push_back(static_cast<std::uint8_t>((f.keyframe ? 0x01 : 0) | (f.index == 0 ? 0x02 : 0)));
    out = out + hex("00112233 44556677 8899AABB CCDDEEFF");
    put(out, f.generation, 8);
    put(out, f.sequence, 8);
    put(out, f.index, 2);
    put(out, f.count, 2);
    put(out, f.total ? f.total : f.chunk.size(), 4);
    put(out, f.chunk.size(), 4);
    if (f.index == 0) {
        out = out + hex("0000000000000064 0000000000000021 0000000000000007 00000001 0040 0040 0040 0040");
    }
    return out + f.chunk;
}

// The case a call fails with; the test fails when it does not throw.
inline VideoProtocolError::Case failure(const std::function<void()>& call) {
    return testing::thrown<VideoProtocolError>(call).kind;
}

} // namespace velorinth::videotest
