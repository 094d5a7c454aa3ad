// The decoder over libavcodec: keyframe gating, versions, the NAL check,
// damaged payloads, reset, and pictures it must not show.

#include "VideoTestPictures.hpp"

#include "support/LoopRunner.hpp"
#include "transport/video/DesktopVideoDecoder.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <x264.h>
}

using namespace velorinth;
using namespace velorinth::videotest;
using velorinth::testing::thrown;

namespace {

using Case = VideoDecoderError::Case;

// Frames 0-9 of one stream, keyframes at 0 and 9.
std::vector<EncodedVideoFrame> tenFrames() {
    DesktopVideoEncoder encoder(Uuid::random(), 1, configuration(320, 240));
    auto frames = encodeFrames(encoder, 320, 240, 10, {9});
    EXPECT_EQ(frames.size(), 10u);
    return frames;
}

Case failure(DesktopVideoDecoder& decoder, const EncodedVideoFrame& frame) {
    return thrown<VideoDecoderError>([&] { decoder.decode(frame); }).kind;
}

// One 4:4:4 keyframe straight from x264 (a peer may declare any format its SPS allows).
EncodedVideoFrame frame444() {
    x264_param_t param;
    x264_param_default_preset(&param, "ultrafast", "zerolatency");
    param.i_log_level = X264_LOG_NONE;
    param.i_csp = X264_CSP_I444;
    param.i_width = param.i_height = 64;
    param.b_annexb = 0;
    param.b_repeat_headers = 0;
    x264_param_apply_profile(&param, "high444");
    x264_t* encoder = x264_encoder_open(&param);
    EXPECT_NE(encoder, nullptr);
    EncodedVideoFrame frame;
    frame.streamID = Uuid::random();
    frame.width = frame.height = frame.sourceDisplayWidth = frame.sourceDisplayHeight = 64;
    frame.isKeyframe = true;
    frame.codecConfigVersion = 1;
    H264CodecConfiguration configuration{1, 4, {}, {}};
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_encoder_headers(encoder, &nals, &count);
    for (int i = 0; i < count; ++i) {
        Bytes set(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
        if (nals[i].i_type == NAL_SPS) configuration.sps.push_back(set);
        if (nals[i].i_type == NAL_PPS) configuration.pps.push_back(set);
    }
    frame.codecConfiguration = configuration;
    x264_picture_t in, out;
    x264_picture_alloc(&in, X264_CSP_I444, 64, 64);
    for (int plane = 0; plane < 3; ++plane) std::memset(in.img.plane[plane], 100 + plane, 64 * 64);
    in.i_type = X264_TYPE_IDR;
    x264_encoder_encode(encoder, &nals, &count, &in, &out);
    for (int i = 0; i < count; ++i) {
        if (nals[i].i_type != NAL_SPS && nals[i].i_type != NAL_PPS) {
            frame.payload.insert(frame.payload.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
        }
    }
    x264_picture_clean(&in);
    x264_encoder_close(encoder);
    return frame;
}

} // namespace

TEST(DesktopVideoDecoder, AGapFailsUntilTheNextKeyframe) {
    const auto frames = tenFrames();
    DesktopVideoDecoder decoder;
    for (int i = 0; i <= 5; ++i) EXPECT_EQ(decoder.decode(frames[i]).sequence, static_cast<std::uint64_t>(i));
    EXPECT_EQ(failure(decoder, frames[7]), Case::missingReferenceFrame);
    EXPECT_EQ(failure(decoder, frames[8]), Case::awaitingKeyframe);
    EXPECT_TRUE(decoder.isWaitingForKeyframe());
    const DecodedVideoFrame decoded = decoder.decode(frames[9]);
    EXPECT_EQ(decoded.sequence, 9u);
    EXPECT_EQ(decoded.pixelBuffer->width(), 320);
    EXPECT_EQ(decoded.presentationTimeStamp, at(frames[9].presentationTimestampUs));
    EXPECT_EQ(decoder.statistics().decoderErrorCount, 1u); // only the gap counts
}

TEST(DesktopVideoDecoder, FailsUntilConfiguredAndOnAVersionItDoesNotHave) {
    const auto frames = tenFrames();
    DesktopVideoDecoder decoder;
    EXPECT_EQ(failure(decoder, frames[1]), Case::missingConfiguration);
    decoder.decode(frames[0]);
    EncodedVideoFrame newer = frames[1];
    newer.codecConfigVersion = 2;
    EXPECT_EQ(failure(decoder, newer), Case::missingConfiguration);
    EXPECT_TRUE(decoder.isWaitingForKeyframe());
    EXPECT_EQ(failure(decoder, frames[2]), Case::awaitingKeyframe);
    EXPECT_EQ(decoder.statistics().decoderErrorCount, 0u);
}

TEST(DesktopVideoDecoder, TheNalCheckAcceptsOnlyExactWellFormedUnits) {
    struct Payload {
        const char* name;
        Bytes payload;
        int prefix;
        bool valid;
    };
    const std::vector<Payload> cases{
        {"two units filling the payload", {0, 0, 0, 2, 0x65, 1, 0, 0, 0, 1, 0x41}, 4, true},
        {"one-byte prefixes", {2, 0x65, 1, 1, 0x06}, 1, true},
        {"two-byte prefixes", {0, 1, 0x65}, 2, true},
        {"prefix size 3", {0, 0, 1, 0x65}, 3, false},
        {"prefix size 0", {0x65}, 0, false},
        {"a length past the end", {0, 0, 0, 5, 0x65, 1}, 4, false},
        {"a truncated prefix", {0, 0, 0, 1, 0x65, 0, 0}, 4, false},
        {"length zero", {0, 0, 0, 0, 0, 0, 0, 1, 0x65}, 4, false},
        {"forbidden bit set", {0, 0, 0, 1, 0x80}, 4, false},
        {"empty", {}, 4, false},
    };
    for (const Payload& c : cases)
        EXPECT_EQ(DesktopVideoDecoder::isStructurallyValid(c.payload, c.prefix), c.valid) << c.name;
}

TEST(DesktopVideoDecoder, ADamagedPayloadIsRefusedAndTheStreamRecoversAtTheNextKeyframe) {
    const auto frames = tenFrames();
    DesktopVideoDecoder decoder;
    decoder.decode(frames[0]);
    EncodedVideoFrame broken = frames[1];
    broken.payload[3] = static_cast<std::uint8_t>(broken.payload[3] + 1); // the length overruns
    EXPECT_EQ(failure(decoder, broken), Case::corruptedPayload);
    EXPECT_EQ(failure(decoder, frames[2]), Case::awaitingKeyframe);
    // Garbage in a well-formed unit reaches the codec, which refuses it.
    EncodedVideoFrame garbage = frames[9];
    garbage.payload = {0, 0, 0, 6, 0x65, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(failure(decoder, garbage), Case::decodingFailed);
    EXPECT_EQ(decoder.decode(frames[9]).sequence, 9u);
    EXPECT_FALSE(decoder.isWaitingForKeyframe());
    EXPECT_EQ(decoder.statistics().decoderErrorCount, 2u);
}

TEST(DesktopVideoDecoder, BadMetadataCountsEvenWhileWaitingForAKeyframe) {
    const auto frames = tenFrames();
    DesktopVideoDecoder decoder;
    using Mutation = std::function<void(EncodedVideoFrame&)>;
    const std::vector<Mutation> mutations{
        [](auto& f) { f.width = 63; },
        [](auto& f) { f.height = 0; },
        [](auto& f) { f.sourceDisplayWidth = -1; },
        [](auto& f) { f.sourceDisplayHeight = 63; },
        [](auto& f) { f.payload.clear(); },
    };
    for (const Mutation& mutate : mutations) {
        EncodedVideoFrame frame = frames[0];
        mutate(frame);
        EXPECT_EQ(failure(decoder, frame), Case::invalidMetadata);
    }
    EXPECT_EQ(decoder.statistics().decoderErrorCount, mutations.size());
    EXPECT_TRUE(decoder.isWaitingForKeyframe());
}

TEST(DesktopVideoDecoder, ResetForgetsTheConfigurationButKeepsTheCounters) {
    const auto frames = tenFrames();
    DesktopVideoDecoder decoder;
    decoder.decode(frames[0]);
    EXPECT_EQ(failure(decoder, frames[2]), Case::missingReferenceFrame);
    decoder.reset();
    EXPECT_EQ(failure(decoder, frames[3]), Case::missingConfiguration);
    EXPECT_EQ(decoder.statistics().decoderErrorCount, 1u);
    decoder.invalidate();
    EXPECT_EQ(failure(decoder, frames[0]), Case::invalidated);
}

// A keyframe with the parameter sets in force must not rebuild the codec:
// rebuilt, it would lose the references the following frames need. The
// proof: frame 2 marked as a keyframe and carrying the configuration decodes
// only against frame 1, which a rebuilt codec no longer has.
TEST(DesktopVideoDecoder, AnUnchangedConfigurationKeepsTheCodecAndItsReferences) {
    const auto frames = tenFrames();
    DesktopVideoDecoder decoder;
    decoder.decode(frames[0]);
    decoder.decode(frames[1]);
    EncodedVideoFrame second = frames[2];
    second.isKeyframe = true;
    second.codecConfiguration = frames[0].codecConfiguration;
    EXPECT_EQ(decoder.decode(second).sequence, 2u);
    EXPECT_EQ(decoder.decode(frames[3]).sequence, 3u);
    // A changed configuration does rebuild: the same trick now fails.
    EncodedVideoFrame changed = frames[4];
    changed.isKeyframe = true;
    changed.codecConfiguration = frames[0].codecConfiguration;
    changed.codecConfiguration->pps.push_back(changed.codecConfiguration->pps[0]);
    EXPECT_EQ(failure(decoder, changed), Case::decodingFailed);
}

TEST(DesktopVideoDecoder, APictureThatIsNotEightBit420IsRefused) {
    DesktopVideoDecoder decoder;
    const VideoDecoderError error = thrown<VideoDecoderError>([&] { decoder.decode(frame444()); });
    EXPECT_EQ(error, VideoDecoderError(Case::decodingFailed, -1));
    EXPECT_STREQ(error.what(), "VideoToolbox H.264 frame decoding failed (-1).");
    EXPECT_EQ(decoder.statistics().decoderErrorCount, 1u);
}

TEST(DesktopVideoDecoder, ParameterSetsNoRecordCanHoldFailTheFormat) {
    const auto frames = tenFrames();
    struct Refusal {
        const char* name;
        std::function<void(H264CodecConfiguration&)> mutate;
        VideoDecoderError expected;
    };
    const std::vector<Refusal> cases{
        {"an SPS under 4 bytes", [](auto& c) { c.sps[0].resize(3); },
         VideoDecoderError(Case::formatDescriptionFailed, -1)},
        {"a 3-byte length prefix", [](auto& c) { c.nalUnitHeaderLength = 3; },
         VideoDecoderError(Case::formatDescriptionFailed, -1)},
        {"no PPS", [](auto& c) { c.pps.clear(); }, VideoDecoderError(Case::missingConfiguration)},
        // libavcodec opens on it and refuses the first picture.
        {"an SPS that does not parse", [](auto& c) { c.sps[0] = {0x67, 0x64, 0x00, 0x1F, 0xFF, 0xFF}; },
         VideoDecoderError(Case::decodingFailed, -1094995529)}, // AVERROR_INVALIDDATA
    };
    for (const Refusal& c : cases) {
        DesktopVideoDecoder decoder;
        EncodedVideoFrame frame = frames[0];
        c.mutate(*frame.codecConfiguration);
        const auto error = thrown<VideoDecoderError>([&] { decoder.decode(frame); });
        EXPECT_EQ(error.kind, c.expected.kind) << c.name;
        EXPECT_EQ(error.status, c.expected.status) << c.name;
        EXPECT_EQ(decoder.statistics().decoderErrorCount, 1u) << c.name;
        EXPECT_EQ(decoder.decode(frames[0]).sequence, 0u) << c.name; // the next good keyframe configures it
    }
}
