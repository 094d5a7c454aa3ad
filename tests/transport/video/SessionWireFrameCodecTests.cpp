#include "transport/video/SessionWireFrameCodec.hpp"

#include "VideoTestBytes.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace videotest;
using Case = VideoProtocolError::Case;

const Bytes kTag = hex("000102030405060708090A0B0C0D0E0F");

TEST(SessionWireFrameCodec, DecodesHandWrittenFrames) {
    auto frame = SessionWireFrameCodec::decode(hex("564C 01 01 0000000000000102") + kTag);
    EXPECT_EQ(frame.channel, SessionBinaryChannel::control);
    EXPECT_EQ(frame.sequence, 258u);
    EXPECT_EQ(frame.body, kTag);

    auto video = SessionWireFrameCodec::decode(hex("564C 01 02 FFFFFFFFFFFFFFFF") + kTag + hex("EE"));
    EXPECT_EQ(video.channel, SessionBinaryChannel::videoFragment);
    EXPECT_EQ(video.sequence, UINT64_MAX);
    EXPECT_EQ(video.body, kTag + hex("EE"));
}

TEST(SessionWireFrameCodec, EncodesByteForByte) {
    EXPECT_EQ(SessionWireFrameCodec::encode(SessionBinaryChannel::control, 258, kTag),
              hex("564C 01 01 0000000000000102") + kTag);
    EXPECT_EQ(SessionWireFrameCodec::encode(SessionBinaryChannel::videoFragment, 0, {}),
              hex("564C 01 02 0000000000000000"));
}

TEST(SessionWireFrameCodec, RejectsEveryMalformedFrame) {
    struct Row {
        const char* name;
        Bytes data;
        Case expected;
    };
    const Bytes header = hex("564C 01 01 0000000000000001");
    const Row rows[] = {
        {"27 bytes", header + Bytes(15, 0), Case::truncatedPacket},
        {"header only (an encoded empty body)", header, Case::truncatedPacket},
        {"empty", {}, Case::truncatedPacket},
        {"version 2", hex("564C 02 01 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {"version 0", hex("564C 00 01 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {"channel 0", hex("564C 01 00 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {"channel 3", hex("564C 01 03 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {"magic VF", hex("5646 01 01 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {"magic WL", hex("574C 01 01 0000000000000001") + kTag, Case::invalidMagicOrVersion},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(failure([&] { SessionWireFrameCodec::decode(row.data); }), row.expected) << row.name;
    }
}

TEST(SessionWireFrameCodec, ProbeLooksOnlyAtLengthAndMagic) {
    EXPECT_FALSE(SessionWireFrameCodec::isWireFrame(hex("564C 01 01 00000000000000")));   // 11 bytes
    EXPECT_TRUE(SessionWireFrameCodec::isWireFrame(hex("564C 09 07 0000000000000000")));  // 12, odd header
    EXPECT_FALSE(SessionWireFrameCodec::isWireFrame(bytesOf(R"({"kind":"encryptedSession"})")));
    EXPECT_FALSE(SessionWireFrameCodec::isWireFrame({}));
}

TEST(SessionWireFrameCodec, ReadsASliceOfALargerBufferLikeACopy) {
    Bytes buffer = hex("FFFF") + hex("564C 01 02 0000000000000007") + kTag + hex("9999");
    ByteView slice = ByteView(buffer).subspan(2, 28);
    auto frame = SessionWireFrameCodec::decode(slice);
    EXPECT_EQ(frame, SessionWireFrameCodec::decode(Bytes(slice.begin(), slice.end())));
    EXPECT_EQ(frame.sequence, 7u);
    EXPECT_EQ(frame.body, kTag);
}

} // namespace
} // namespace velorinth
