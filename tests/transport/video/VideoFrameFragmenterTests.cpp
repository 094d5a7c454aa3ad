#include "transport/video/VideoFrameFragmenter.hpp"

#include "transport/video/VideoFrameReassembler.hpp"

#include "VideoTestBytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace velorinth {
namespace {

using namespace videotest;
using Case = VideoProtocolError::Case;

EncodedVideoFrame frameOf(std::size_t payloadBytes) {
    EncodedVideoFrame frame{.streamID = *Uuid::fromString("00112233-4455-6677-8899-AABBCCDDEEFF"), .generation = 3,
                            .sequence = 9, .presentationTimestampUs = 1000, .durationUs = 0, .payload = {},
                            .isKeyframe = false, .codecConfigVersion = 2, .codecConfiguration = std::nullopt,
                            .width = 1280, .height = 720, .sourceDisplayWidth = 1512, .sourceDisplayHeight = 982,
                            .captureTimestampNs = 42};
    for (std::size_t i = 0; i < payloadBytes; ++i) frame.payload.push_back(static_cast<std::uint8_t>(i));
    return frame;
}

std::vector<Bytes> fragment(const EncodedVideoFrame& frame, std::int64_t chunk = 1024,
                            std::int64_t maxFrame = 2'097'152, std::int64_t maxFragments = 128) {
    return VideoFrameFragmenter::fragment(frame, chunk, maxFrame, maxFragments);
}

TEST(VideoFrameFragmenter, WritesEachPacketByteForByte) {
    auto frame = frameOf(1025);
    auto packets = fragment(frame);
    ASSERT_EQ(packets.size(), 2u);
    // Fragment 0: metadata with the duration raised to 1, then 1024 bytes.
    Bytes first = hex("5646 01 02 00112233 44556677 8899AABB CCDDEEFF"
                      "0000000000000003 0000000000000009 0000 0002 00000401 00000400"
                      "00000000000003E8 0000000000000001 000000000000002A 00000002 0500 02D0 05E8 03D6") +
                  Bytes(frame.payload.begin(), frame.payload.begin() + 1024);
    EXPECT_EQ(packets[0], first);
    EXPECT_EQ(packets[1], hex("5646 01 00 00112233 44556677 8899AABB CCDDEEFF"
                              "0000000000000003 0000000000000009 0001 0002 00000401 00000001 00"));
    EXPECT_EQ(fragment(frameOf(1024)).size(), 1u);

    // The keyframe flag rides on every fragment, the configuration only on fragment 0.
    frame.isKeyframe = true;
    frame.codecConfiguration = H264CodecConfiguration{1, 4, {hex("67")}, {hex("68")}};
    packets = fragment(frame);
    EXPECT_EQ(packets[0][3], 0x07);
    EXPECT_EQ(packets[1][3], 0x01);
    EXPECT_EQ(packets[0].size(), 48u + 36 + 13 + 1024);
}

TEST(VideoFrameFragmenter, EnforcesItsBoundsInOrder) {
    struct Row {
        const char* name;
        EncodedVideoFrame frame;
        std::int64_t chunk;
        std::int64_t maxFrame;
        Case expected;
    };
    auto with = [](auto change) {
        auto frame = frameOf(2000);
        change(frame);
        return frame;
    };
    const Row rows[] = {
        {"empty payload", frameOf(0), 1024, 2'097'152, Case::invalidBounds},
        {"width 63", with([](auto& f) { f.width = 63; }), 1024, 2'097'152, Case::invalidBounds},
        {"height 65,536", with([](auto& f) { f.height = 65'536; }), 1024, 2'097'152, Case::invalidBounds},
        {"source height -64", with([](auto& f) { f.sourceDisplayHeight = -64; }), 1024, 2'097'152, Case::invalidBounds},
        {"chunk 1023, tiny payload", frameOf(10), 1023, 2'097'152, Case::invalidBounds},
        {"payload above the frame limit", frameOf(1999), 1024, 1998, Case::frameTooLarge},
        {"too large wins over the fragment count", frameOf(200'000), 1024, 131'072, Case::frameTooLarge},
        {"131,073 bytes in 1024-byte chunks", frameOf(131'073), 1024, 2'097'152, Case::tooManyFragments},
        {"bad parameter sets", with([](auto& f) { f.codecConfiguration = H264CodecConfiguration{}; }), 1024,
         2'097'152, Case::malformedCodecConfiguration},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(failure([&] { fragment(row.frame, row.chunk, row.maxFrame); }), row.expected) << row.name;
    }
    auto at = fragment(frameOf(131'072));
    ASSERT_EQ(at.size(), 128u);
    EXPECT_EQ(at.back().size(), 48u + 1024);
    EXPECT_NO_THROW(fragment(with([](auto& f) { f.width = 65'535; f.height = 64; })));

    // A caller's larger limit must not let the 16-bit fragment count wrap to 0.
    EXPECT_EQ(failure([&] {
                  fragment(frameOf(65'536u * 1024), 1024, std::numeric_limits<std::int64_t>::max(), 1'000'000);
              }),
              Case::tooManyFragments);
}

TEST(VideoFrameFragmenter, ReassemblesToTheSameFrameInAnyOrder) {
    auto frame = frameOf(100'000);
    frame.durationUs = 16'667;
    frame.isKeyframe = true;
    frame.codecConfiguration = H264CodecConfiguration{4, 4, {hex("6742")}, {hex("68CE"), hex("68EE")}};
    auto packets = fragment(frame, 4096);
    std::reverse(packets.begin(), packets.end());
    VideoFrameReassembler reassembler;
    VideoFrameReassembler::IngestResult result = VideoFrameReassembler::FragmentOutcome::buffered;
    for (const auto& packet : packets) result = reassembler.ingest(packet);
    EXPECT_EQ(result, VideoFrameReassembler::IngestResult(frame));
    EXPECT_EQ(reassembler.totalBufferedBytes(), 0);
}

} // namespace
} // namespace velorinth
