#include "transport/video/VideoFragmentPacket.hpp"

#include "VideoTestBytes.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace velorinth {
namespace {

using namespace videotest;
using Case = VideoProtocolError::Case;

VideoFragmentPacket decode(const Bytes& bytes) {
    return VideoFragmentPacket::decode(bytes, 2'097'152, 128, 49'152);
}

Bytes patched(Bytes bytes, std::size_t offset, const Bytes& replacement) {
    std::copy(replacement.begin(), replacement.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    return bytes;
}

using Rows = std::vector<std::tuple<const char*, Bytes, Case>>;

void expectRejected(const Rows& rows) {
    for (const auto& [name, data, expected] : rows) EXPECT_EQ(failure([&] { decode(data); }), expected) << name;
}

const Bytes kSps = hex("6742C01F 8C8D4050 1ED08000 00030080 00001E47");

// Fragment 0 of 3 of a keyframe, one SPS and one PPS, a 1000-byte chunk.
Bytes goldenFirstFragment() {
    return hex("5646 01 07"
               "00112233 44556677 8899AABB CCDDEEFF"
               "0000000000000005 0000000000000007 0000 0003 00000BB8 000003E8"
               "FFFFFFFFFFFFFFFF 000000000000411B 0102030405060708 00000009 0780 0438 0BD0 07AC"
               "00000002 04 01 0014") +
           kSps + hex("01 0004 68CE3C80") + Bytes(1000, 0xAB);
}

VideoFragmentPacket goldenPacket() {
    return {.streamID = *Uuid::fromString("00112233-4455-6677-8899-AABBCCDDEEFF"), .generation = 5,
            .frameSequence = 7, .fragmentIndex = 0, .fragmentCount = 3, .totalPayloadBytes = 3000,
            .isKeyframe = true,
            .metadata = VideoFragmentPacket::FirstFragmentMetadata{-1, 16'667, 0x0102030405060708, 9, 1920, 1080,
                                                                   3024, 1964,
                                                                   H264CodecConfiguration{2, 4, {kSps}, {hex("68CE3C80")}}},
            .chunk = Bytes(1000, 0xAB)};
}

TEST(VideoFragmentPacket, EncodesAndDecodesTheFirstFragmentByteForByte) {
    ASSERT_EQ(goldenFirstFragment().size(), 1119u);
    EXPECT_EQ(VideoFragmentPacket::encode(goldenPacket()), goldenFirstFragment());
    EXPECT_EQ(decode(goldenFirstFragment()), goldenPacket());
}

// Fragment 1 of 2, no flags, total 2, a 1-byte chunk: 49 bytes.
const Bytes kLaterFragment = hex("5646 01 00 00112233 44556677 8899AABB CCDDEEFF"
                                 "0000000000000001 0000000000000002 0001 0002 00000002 00000001 AA");

TEST(VideoFragmentPacket, EncodesAndDecodesALaterFragmentAndIgnoresUnknownFlags) {
    VideoFragmentPacket packet{.streamID = goldenPacket().streamID, .generation = 1, .frameSequence = 2,
                               .fragmentIndex = 1, .fragmentCount = 2, .totalPayloadBytes = 2, .isKeyframe = false,
                               .metadata = std::nullopt, .chunk = hex("AA")};
    EXPECT_EQ(VideoFragmentPacket::encode(packet), kLaterFragment);
    EXPECT_EQ(decode(kLaterFragment), packet);
    packet.isKeyframe = true;
    EXPECT_EQ(decode(patched(kLaterFragment, 3, hex("F9"))), packet);
}

TEST(VideoFragmentPacket, RejectsEveryMalformedHeader) {
    const Bytes& b = kLaterFragment;
    const Rows rows = {
        {"47 bytes", Bytes(b.begin(), b.begin() + 47), Case::truncatedPacket},
        {"1-byte chunk declared, none carried", Bytes(b.begin(), b.begin() + 48), Case::truncatedPacket},
        {"chunk length runs past the end", patched(b, 40, hex("00000100 00000002")), Case::truncatedPacket},
        {"one byte after the chunk", b + hex("BB"), Case::invalidBounds},
        {"version 2", patched(b, 2, hex("02")), Case::invalidMagicOrVersion},
        {"magic VL", patched(b, 0, hex("564C")), Case::invalidMagicOrVersion},
        {"count 0", patched(b, 38, hex("0000")), Case::tooManyFragments},
        {"count 129", patched(b, 38, hex("0081")), Case::tooManyFragments},
        {"index 2 of 2", patched(b, 36, hex("0002")), Case::invalidBounds},
        {"total 0", patched(b, 40, hex("00000000")), Case::invalidBounds},
        {"total 2,097,153", patched(b, 40, hex("00200001")), Case::frameTooLarge},
        {"chunk length 0", patched(b, 44, hex("00000000")), Case::invalidBounds},
        {"chunk above the chunk limit", patched(b, 40, hex("00200000 0000C001")), Case::invalidBounds},
        {"chunk longer than the total", patched(b, 44, hex("00000003")), Case::invalidBounds},
        {"metadata flag on fragment 1", patched(b, 3, hex("02")), Case::invalidBounds},
        {"configuration flag alone on fragment 1", patched(b, 3, hex("04")), Case::invalidBounds},
        {"fragment 0 without metadata", patched(b, 36, hex("0000")), Case::invalidBounds},
    };
    expectRejected(rows);

    // Limits are the caller's: exactly at each one passes.
    EXPECT_NO_THROW(VideoFragmentPacket::decode(patched(b, 40, hex("00200000")), 2'097'152, 2, 1));
    EXPECT_EQ(failure([&] { VideoFragmentPacket::decode(b, 1, 128, 1); }), Case::frameTooLarge);
    EXPECT_EQ(failure([&] { VideoFragmentPacket::decode(b, 2, 1, 1); }), Case::tooManyFragments);
}

// Fragment 0 of 1 with metadata: a 64×64 frame of 64×64, duration 1, and a
// configuration of one SPS "67" and one PPS "68"; chunk "AA".
const Bytes kFirstFragment = hex("5646 01 06 00112233 44556677 8899AABB CCDDEEFF"
                                 "0000000000000001 0000000000000001 0000 0001 00000001 00000001"
                                 "0000000000000000 0000000000000001 0000000000000000 00000000 0040 0040 0040 0040"
                                 "00000001 04 01 0001 67 01 0001 68 AA");

TEST(VideoFragmentPacket, ValidatesMetadataAndParameterSets) {
    const Bytes& b = kFirstFragment;
    ASSERT_EQ(decode(b).metadata->codecConfiguration->sps, std::vector<Bytes>{hex("67")});
    EXPECT_NO_THROW(decode(patched(b, 88, hex("02"))));
    const Rows rows = {
        {"width 63", patched(b, 76, hex("003F")), Case::invalidBounds},
        {"duration 0", patched(b, 56, hex("0000000000000000")), Case::invalidBounds},
        {"negative duration", patched(b, 56, hex("FFFFFFFFFFFFFFFF")), Case::invalidBounds},
        {"metadata cut short", Bytes(b.begin(), b.begin() + 70), Case::truncatedPacket},
        {"NAL length size 3", patched(b, 88, hex("03")), Case::malformedCodecConfiguration},
        {"no SPS", patched(b, 89, hex("00")), Case::malformedCodecConfiguration},
        {"9 SPS", patched(b, 89, hex("09")), Case::malformedCodecConfiguration},
        {"empty SPS", patched(b, 90, hex("0000")), Case::malformedCodecConfiguration},
        {"SPS of 2049 bytes", patched(b, 90, hex("0801")), Case::malformedCodecConfiguration},
        {"SPS longer than the packet", patched(b, 90, hex("0800")), Case::truncatedPacket},
        {"no PPS", patched(b, 93, hex("00")), Case::malformedCodecConfiguration},
        {"empty PPS", patched(b, 94, hex("0000")), Case::malformedCodecConfiguration},
    };
    expectRejected(rows);
}

TEST(VideoFragmentPacket, EncodeRefusesParameterSetsTheReceiverWouldRefuse) {
    for (auto configuration : {
             H264CodecConfiguration{1, 4, {kSps}, {}},
             H264CodecConfiguration{1, 4, std::vector<Bytes>(9, kSps), {kSps}},
             H264CodecConfiguration{1, 4, {Bytes(2049, 1)}, {kSps}},
         }) {
        auto packet = goldenPacket();
        packet.metadata->codecConfiguration = configuration;
        EXPECT_EQ(failure([&] { VideoFragmentPacket::encode(packet); }), Case::malformedCodecConfiguration);
    }
    auto packet = goldenPacket();
    packet.metadata->codecConfiguration = H264CodecConfiguration{1, 4, {Bytes(2048, 1)}, std::vector<Bytes>(8, kSps)};
    EXPECT_EQ(decode(VideoFragmentPacket::encode(packet)), packet);
}

// The header alone is all a sender allocates before sealing the chunk where
// it lies; a whole packet is one block of its own size.
TEST(VideoFragmentPacket, AHeaderAllocatesOnlyItselfAndAPacketOnlyOnce) {
    const VideoFragmentPacket first = goldenPacket();
    const Bytes golden = goldenFirstFragment();
    const Bytes header = VideoFragmentPacket::encodeHeader(first, 1000);
    EXPECT_EQ(header, Bytes(golden.begin(), golden.end() - 1000));
    EXPECT_EQ(VideoFragmentPacket::encodeHeader(first, 32'768).capacity(), header.size());
    const Bytes whole = VideoFragmentPacket::encode(first);
    EXPECT_EQ(whole.capacity(), whole.size());

    // Read back, the chunk stays where it lies in the packet.
    const auto [packet, chunk] = VideoFragmentPacket::decodeHeader(whole, 2'097'152, 128, 49'152);
    EXPECT_TRUE(packet.chunk.empty());
    EXPECT_EQ(chunk.data(), whole.data() + header.size());
    EXPECT_EQ(chunk.size(), 1000u);
}

} // namespace
} // namespace velorinth
