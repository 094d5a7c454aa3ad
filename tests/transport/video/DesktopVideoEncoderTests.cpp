// The encoder over the real x264 back-end.

#include "VideoTestPictures.hpp"

#include "platform/linux/X264CompressionSession.hpp"
#include "support/LoopRunner.hpp"
#include "transport/video/DesktopVideoDecoder.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::videotest;

namespace {

Uuid streamID() { return *Uuid::fromString("6B29FC40-CA47-1067-B31D-00DD010662DA"); }

} // namespace

TEST(DesktopVideoEncoder, FirstFrameIsAKeyframeWithVersionOneAndLaterFramesCarryNoConfiguration) {
    DesktopVideoEncoder encoder(streamID(), 7, configuration(320, 240));
    const auto frames = encodeFrames(encoder, 320, 240, 3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(frames[0].isKeyframe);
    ASSERT_TRUE(frames[0].codecConfiguration.has_value());
    EXPECT_EQ(frames[0].codecConfiguration->version, 1u);
    EXPECT_EQ(frames[0].codecConfiguration->nalUnitHeaderLength, 4);
    ASSERT_EQ(frames[0].codecConfiguration->sps.size(), 1u);
    EXPECT_EQ(frames[0].codecConfiguration->sps[0][0] & 0x1F, 7);
    EXPECT_EQ(frames[0].codecConfiguration->pps[0][0] & 0x1F, 8);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].sequence, i);
        EXPECT_EQ(frames[i].generation, 7u);
        EXPECT_EQ(frames[i].streamID, streamID());
        EXPECT_EQ(frames[i].codecConfigVersion, 1u);
        EXPECT_EQ(frames[i].durationUs, 33'333); // 1/fps: the capture gives no duration
        EXPECT_EQ(frames[i].sourceDisplayWidth, 320);
        // Parameter sets travel apart, never in the payload.
        for (int type : nalTypes(frames[i].payload)) EXPECT_TRUE(type != 7 && type != 8 && type != 9) << type;
    }
    EXPECT_FALSE(frames[1].isKeyframe);
    EXPECT_FALSE(frames[1].codecConfiguration.has_value());
}

TEST(DesktopVideoEncoder, ForcedAndRequestedKeyframesAreIDRFrames) {
    DesktopVideoEncoder encoder(streamID(), 1, configuration(320, 240));
    auto frames = encodeFrames(encoder, 320, 240, 4, {2});
    encoder.requestKeyframe();
    auto more = encodeFrames(encoder, 320, 240, 2, {}, 2'000'000);
    frames.insert(frames.end(), more.begin(), more.end());
    ASSERT_EQ(frames.size(), 6u);
    const std::vector<bool> expected{true, false, true, false, true, false};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].isKeyframe, expected[i]) << i;
        const auto types = nalTypes(frames[i].payload);
        EXPECT_EQ(std::count(types.begin(), types.end(), 5) > 0, expected[i]) << i;
        EXPECT_EQ(frames[i].codecConfiguration.has_value(), expected[i]) << i;
    }
}

TEST(DesktopVideoEncoder, ASizeChangeForcesAKeyframeAndANewVersionWhileTheSequenceGoesOn) {
    DesktopVideoEncoder encoder(streamID(), 1, configuration(1280, 720));
    auto frames = encodeFrames(encoder, 320, 240, 2);
    auto larger = encodeFrames(encoder, 640, 480, 2, {}, 2'000'000);
    ASSERT_EQ(frames.size() + larger.size(), 4u);
    EXPECT_TRUE(larger[0].isKeyframe);
    EXPECT_EQ(larger[0].sequence, 2u);
    EXPECT_EQ(larger[0].codecConfigVersion, 2u); // the SPS holds the size
    EXPECT_EQ(larger[0].codecConfiguration->version, 2u);
    EXPECT_EQ(larger[1].sequence, 3u);
    EXPECT_EQ(larger[1].codecConfigVersion, 2u);
}

TEST(DesktopVideoEncoder, ANewGenerationRestartsTheSequenceAcceptsAnEarlierTimeAndKeepsAnUnchangedVersion) {
    DesktopVideoEncoder encoder(streamID(), 1, configuration(320, 240));
    const auto first = encodeFrames(encoder, 320, 240, 3, {}, 5'000'000);
    encoder.updateConfiguration(configuration(320, 240), 2);
    const auto second = encodeFrames(encoder, 320, 240, 2, {}, 1'000'000);
    ASSERT_EQ(first.size(), 3u);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].generation, 2u);
    EXPECT_EQ(second[0].sequence, 0u);
    EXPECT_TRUE(second[0].isKeyframe);
    // Same size and settings: the same parameter sets, sent again under the same version.
    EXPECT_EQ(second[0].codecConfigVersion, 1u);
    EXPECT_EQ(second[0].codecConfiguration, first[0].codecConfiguration);
    // Without a new generation the order still holds: an earlier time is dropped.
    encoder.updateConfiguration(configuration(320, 240), std::nullopt);
    EXPECT_FALSE(encoder.encode(*gradient(320, 240), at(1'000'000), MediaTime::invalid(), std::nullopt));
    EXPECT_EQ(encoder.statistics().droppedFrameCounter, 1u);
}

TEST(DesktopVideoEncoder, ItsOutputPassesTheNalCheckAndDecodes) {
    DesktopVideoEncoder encoder(streamID(), 1, configuration(320, 240));
    DesktopVideoDecoder decoder;
    const auto frames = encodeFrames(encoder, 320, 240, 6, {4});
    ASSERT_EQ(frames.size(), 6u);
    for (const EncodedVideoFrame& frame : frames) {
        EXPECT_TRUE(DesktopVideoDecoder::isStructurallyValid(frame.payload, 4));
        const DecodedVideoFrame decoded = decoder.decode(frame);
        EXPECT_EQ(decoded.sequence, frame.sequence);
        EXPECT_EQ(decoded.width, 320);
        EXPECT_EQ(decoded.height, 240);
    }
}

// Uncapped, a full-noise keyframe outgrows what the fragmenter accepts at
// small chunks; it would be refused, ask for another keyframe, and video
// would never resume. Each preset's first keyframe, and a forced one, fit.
TEST(DesktopVideoEncoder, AFullNoise1080pKeyframeAt25MbpsFitsTheFragmenterLimitWithEveryPreset) {
    for (const char* preset : {"ultrafast", "superfast", "veryfast"}) {
        for (const std::int64_t chunk : {4'096, 8'192}) {
            const VideoStreamConfiguration config = configuration(1920, 1080, 30, 25'000'000, chunk);
            const std::int64_t limit = DesktopVideoEncoder::frameByteLimit(config);
            EXPECT_EQ(limit, 128 * chunk);
            DesktopVideoEncoder encoder(streamID(), 1, config, X264CompressionSession::factory(preset));
            for (int i = 0; i < 3; ++i) {
                const auto frame =
                    encoder.encode(*noise(1920, 1080, static_cast<std::uint64_t>(i)), at(1'000'000 + i * 33'333),
                                   MediaTime::invalid(), std::nullopt, i == 2);
                ASSERT_TRUE(frame.has_value());
                EXPECT_EQ(frame->isKeyframe, i != 1);
                EXPECT_LE(static_cast<std::int64_t>(frame->payload.size()), limit)
                    << preset << " at chunk " << chunk << ", frame " << i;
            }
        }
    }
}

TEST(DesktopVideoEncoder, TheRateControlBufferIsHalfTheFrameLimitWhenTheRateWouldAllowMore) {
    struct Case {
        std::int64_t bitrate, limit, expectedBits;
    };
    for (const Case& c : {Case{25'000'000, 524'288, 2'097'152}, Case{25'000'000, 2'097'152, 8'388'608},
                          Case{2'000'000, 2'097'152, 3'000'000}}) {
        VideoCompressionSession::Settings settings{320, 240, 30, c.bitrate, 60, c.limit};
        EXPECT_EQ(X264CompressionSession::vbvBufferBits(settings), c.expectedBits);
    }
}

// The buffer model is best effort: a keyframe over the limit halves the
// buffer for the next one, down to a sixteenth of the first.
TEST(DesktopVideoEncoder, AKeyframeOverTheLimitHalvesTheBufferForTheNext) {
    const VideoCompressionSession::Settings settings{640, 480, 30, 2'000'000, 60, 4'000};
    int status = 0;
    const auto session = X264CompressionSession::open(settings, "ultrafast", status);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->currentVbvBufferBits(), 16'000); // half of the 4,000-byte limit
    std::vector<std::int64_t> buffers;
    for (int i = 0; i < 4; ++i) {
        const auto result = session->encode(*noise(640, 480, static_cast<std::uint64_t>(i)), i * 33'333, 33'333, true);
        ASSERT_TRUE(result.frame);
        ASSERT_TRUE(result.frame->isKeyframe);
        EXPECT_GT(result.frame->payload.size(), 4'000u); // noise at 640x480 never fits 4 kB
        buffers.push_back(session->currentVbvBufferBits());
    }
    EXPECT_EQ(buffers, (std::vector<std::int64_t>{8'000, 4'000, 2'000, 1'000}));
}

TEST(DesktopVideoEncoder, AnOddSizeFailsSessionCreation) {
    DesktopVideoEncoder encoder(streamID(), 1, configuration(320, 240));
    const auto error = velorinth::testing::thrown<VideoEncoderError>(
        [&] { encoder.encode(*gradient(321, 240), at(1), MediaTime::invalid(), std::nullopt); });
    EXPECT_EQ(error, VideoEncoderError(VideoEncoderError::Case::sessionCreationFailed, -1));
    EXPECT_STREQ(error.what(), "Failed to initialize VideoToolbox H.264 encoder (-1).");
}
