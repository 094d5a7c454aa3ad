#include "transport/video/SessionWireFrameCodec.hpp"

#include "VideoTestBytes.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using namespace videotest;
using Case = VideoProtocolError::Case;

const Bytes kTag = hex("000102030405060708090A0B0C0D0E0F");

TEST(SessionWireFrameCodec, EncodesAndDecodesHandWrittenFramesByteForByte) {
    const Bytes control = hex("564C 01 01 0000000000000102") + kTag;
    EXPECT_EQ(SessionWireFrameCodec::encode(SessionBinaryChannel::control, 258, kTag), control);
    EXPECT_EQ(SessionWireFrameCodec::decode(control),
              (SessionWireFrameCodec::Frame{SessionBinaryChannel::control, 258, kTag}));
    const Bytes video = hex("564C 01 02 FFFFFFFFFFFFFFFF") + kTag + hex("EE");
    EXPECT_EQ(SessionWireFrameCodec::decode(video),
              (SessionWireFrameCodec::Frame{SessionBinaryChannel::videoFragment, UINT64_MAX, kTag + hex("EE")}));

    // A slice of a larger buffer reads like a copy.
    const Bytes buffer = hex("FFFF 564C 01 02 0000000000000007") + kTag + hex("9999");
    EXPECT_EQ(SessionWireFrameCodec::decode(ByteView(buffer).subspan(2, 28)),
              (SessionWireFrameCodec::Frame{SessionBinaryChannel::videoFragment, 7, kTag}));
}

TEST(SessionWireFrameCodec, RejectsEveryMalformedFrame) {
    const Bytes header = hex("564C 01 01 0000000000000001");
    const std::pair<Bytes, Case> rows[] = {
        {header + Bytes(15, 0), Case::truncatedPacket}, // 27 bytes
        {header, Case::truncatedPacket},                // an encoded empty body
        {hex("564C 02 01 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {hex("564C 01 00 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {hex("564C 01 03 0000000000000001") + kTag, Case::invalidMagicOrVersion},
        {hex("5646 01 01 0000000000000001") + kTag, Case::invalidMagicOrVersion},
    };
    for (const auto& [data, expected] : rows) {
        EXPECT_EQ(failure([&] { SessionWireFrameCodec::decode(data); }), expected) << hexEncodedString(data);
    }
    // The probe looks only at length and magic.
    EXPECT_FALSE(SessionWireFrameCodec::isWireFrame(hex("564C 01 01 00000000000000")));
    EXPECT_TRUE(SessionWireFrameCodec::isWireFrame(hex("564C 09 07 0000000000000000")));
    EXPECT_FALSE(SessionWireFrameCodec::isWireFrame(bytesOf(R"({"kind":"encryptedSession"})")));
}

} // namespace
} // namespace velorinth
