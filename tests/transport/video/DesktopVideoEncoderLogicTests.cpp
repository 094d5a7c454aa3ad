// The encoder's own rules over a scripted compression session: refusals,
// drops, durations, rates, the in-flight cap, lost frames and invalidation
// racing an encode.

#include "VideoTestPictures.hpp"

#include "support/FakeCompressionSession.hpp"
#include "support/LoopRunner.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace velorinth;
using namespace velorinth::videotest;
using velorinth::testing::FakeCompressionSession;
using velorinth::testing::thrown;

namespace {

using Case = VideoEncoderError::Case;

struct Rig {
    std::shared_ptr<FakeCompressionSession::Control> control = std::make_shared<FakeCompressionSession::Control>();
    std::uint64_t nowNs = 1'000'000'000;
    std::atomic<int> clockReads{0}; // an encode reads the clock as it begins
    DesktopVideoEncoder encoder{Uuid::random(), 1, configuration(1920, 1080, 30),
                                FakeCompressionSession::factory(control), [this] {
                                    ++clockReads;
                                    return nowNs;
                                }};
    std::shared_ptr<PixelBuffer> picture = std::make_shared<PixelBuffer>(64, 64);

    std::optional<EncodedVideoFrame> encodeAt(std::int64_t us, MediaTime duration = MediaTime::invalid()) {
        return encoder.encode(*picture, at(us), duration, std::nullopt);
    }
    bool lastCallForced() {
        std::lock_guard guard(control->mutex);
        return control->calls.back().forceKeyframe;
    }
    std::size_t callCount() {
        std::lock_guard guard(control->mutex);
        return control->calls.size();
    }
    std::vector<VideoCompressionSession::Settings> opened() {
        std::lock_guard guard(control->mutex);
        return control->opened;
    }
};

} // namespace

TEST(DesktopVideoEncoderLogic, ARepeatedOrEarlierTimeIsDroppedWithoutForcingAKeyframe) {
    Rig rig;
    ASSERT_TRUE(rig.encodeAt(1000));
    EXPECT_FALSE(rig.encodeAt(1000));
    EXPECT_FALSE(rig.encodeAt(999));
    EXPECT_EQ(rig.encoder.statistics().droppedFrameCounter, 2u);
    EXPECT_EQ(rig.callCount(), 1u);
    const auto next = rig.encodeAt(1001);
    ASSERT_TRUE(next);
    EXPECT_FALSE(rig.lastCallForced());
    EXPECT_EQ(next->sequence, 1u);
}

TEST(DesktopVideoEncoderLogic, RefusesSizesOutside64To7680By64To4320) {
    struct Size {
        int width, height;
        bool accepted;
    };
    for (const Size& size : {Size{64, 64, true}, Size{7680, 4320, true}, Size{63, 64, false}, Size{64, 63, false},
                             Size{7681, 64, false}, Size{64, 4321, false}}) {
        Rig rig;
        PixelBuffer picture(size.width, size.height);
        if (size.accepted) {
            EXPECT_TRUE(rig.encoder.encode(picture, at(1), MediaTime::invalid(), std::nullopt));
        } else {
            const auto error = thrown<VideoEncoderError>(
                [&] { rig.encoder.encode(picture, at(1), MediaTime::invalid(), std::nullopt); });
            EXPECT_EQ(error.kind, Case::invalidDimensions) << size.width << "x" << size.height;
        }
    }
}

TEST(DesktopVideoEncoderLogic, RefusesBadSamplesAndTimesBeforeReportingItWasInvalidated) {
    Rig rig;
    rig.encoder.invalidate();
    const auto refusal = [&](const VideoSampleBuffer& sample) {
        return thrown<VideoEncoderError>([&] { rig.encoder.encode(sample, std::nullopt); }).kind;
    };
    VideoSampleBuffer good;
    good.isValid = good.isDataReady = true;
    good.image = rig.picture;
    good.presentationTime = at(5);
    using Mutation = std::function<void(VideoSampleBuffer&)>;
    const std::vector<std::tuple<const char*, Mutation, Case>> cases{
        {"invalid sample", [](auto& s) { s.isValid = false; }, Case::invalidSampleBuffer},
        {"data not ready", [](auto& s) { s.isDataReady = false; }, Case::invalidSampleBuffer},
        {"no image", [](auto& s) { s.image.reset(); }, Case::invalidSampleBuffer},
        {"invalid time", [](auto& s) { s.presentationTime = MediaTime::invalid(); }, Case::invalidTimestamp},
        {"indefinite time", [](auto& s) { s.presentationTime.flags |= MediaTime::indefinite; }, Case::invalidTimestamp},
        {"+infinity", [](auto& s) { s.presentationTime.flags |= MediaTime::positiveInfinity; }, Case::invalidTimestamp},
        {"-infinity", [](auto& s) { s.presentationTime.flags |= MediaTime::negativeInfinity; }, Case::invalidTimestamp},
        {"no timescale", [](auto& s) { s.presentationTime.timescale = 0; }, Case::invalidTimestamp},
        {"too far for µs", [](auto& s) { s.presentationTime = MediaTime::make(INT64_MAX, 1); }, Case::invalidTimestamp},
        {"too small", [](auto& s) { s.image = std::make_shared<PixelBuffer>(32, 64); }, Case::invalidDimensions},
        {"well formed", [](auto&) {}, Case::invalidated},
    };
    for (const auto& [name, mutate, expected] : cases) {
        VideoSampleBuffer sample = good;
        mutate(sample);
        EXPECT_EQ(refusal(sample), expected) << name;
    }
    EXPECT_EQ(rig.callCount(), 0u);
    rig.encoder.updateConfiguration(configuration(640, 480), 9); // does nothing now
    rig.encoder.requestKeyframe();
    EXPECT_EQ(rig.encoder.statistics().droppedFrameCounter, 0u);
}

TEST(DesktopVideoEncoderLogic, AMissingZeroOrTinyDurationBecomesOneFrameIntervalOrOneMicrosecond) {
    struct Duration {
        const char* name;
        MediaTime duration;
        std::int64_t expectedUs;
    };
    Rig rig;
    std::int64_t now = 0;
    for (const Duration& d :
         {Duration{"invalid", MediaTime::invalid(), 33'333}, Duration{"zero", MediaTime::make(0, 600), 33'333},
          Duration{"negative", MediaTime::make(-1, 600), 33'333},
          Duration{"indefinite", {1, 600, MediaTime::valid | MediaTime::indefinite}, 33'333},
          Duration{"20 ms", MediaTime::make(20, 1000), 20'000}, Duration{"0.4 µs", MediaTime::make(4, 10'000'000), 1},
          Duration{"0.5 µs", MediaTime::make(5, 10'000'000), 1}}) {
        const auto frame = rig.encodeAt(now += 1000, d.duration);
        ASSERT_TRUE(frame) << d.name;
        EXPECT_EQ(frame->durationUs, d.expectedUs) << d.name;
    }
}

TEST(DesktopVideoEncoderLogic, RatesAreMeasuredOverHalfSecondWindowsAndFallToZeroWhenIdle) {
    Rig rig;
    for (int i = 0; i < 10; ++i) {
        rig.nowNs += 50'000'000;
        ASSERT_TRUE(rig.encodeAt(1000 + i));
    }
    const auto measured = rig.encoder.statistics();
    EXPECT_DOUBLE_EQ(measured.measuredEncodedFPS, 20.0);
    EXPECT_DOUBLE_EQ(measured.measuredBitrateBps, 10 * 6 * 8 / 0.5); // 6-byte payloads
    EXPECT_EQ(measured.lastEncodeDurationMs, 0.0);                   // the clock stood still during the call
    rig.nowNs += 499'000'000;
    EXPECT_DOUBLE_EQ(rig.encoder.statistics().measuredEncodedFPS, 20.0);
    rig.nowNs += 1'000'000;
    const auto idle = rig.encoder.statistics();
    EXPECT_EQ(idle.measuredEncodedFPS, 0.0);
    EXPECT_EQ(idle.measuredBitrateBps, 0.0);
}

TEST(DesktopVideoEncoderLogic, SessionCreationFailureLeavesTheTimestampOrderUntouched) {
    Rig rig;
    rig.control->createStatus = -12902;
    const auto error = thrown<VideoEncoderError>([&] { rig.encodeAt(500); });
    EXPECT_EQ(error, VideoEncoderError(Case::sessionCreationFailed, -12902));
    EXPECT_STREQ(error.what(), "Failed to initialize VideoToolbox H.264 encoder (-12902).");
    rig.control->createStatus = 0;
    const auto frame = rig.encodeAt(500); // the same time is still new
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isKeyframe);
}

// The codec already used the lost frame as a reference, and no sequence
// number was taken, so the tablet would see no gap: the next frame must be a
// keyframe or it decodes damaged pictures until the periodic one.
TEST(DesktopVideoEncoderLogic, AFrameLostAfterTheCodecTookItForcesTheNextKeyframe) {
    struct Loss {
        const char* name;
        std::function<void(FakeCompressionSession::Control&)> arrange;
        std::optional<Case> error;
        bool forcesKeyframe;
    };
    const std::vector<Loss> losses{
        {"the encode fails", [](auto& c) { c.nextEncodeStatus = -12911; }, Case::encodingFailed, true},
        {"the payload cannot be copied", [](auto& c) { c.nextPayloadStatus = -12702; }, Case::encodingFailed, true},
        {"no output", [](auto& c) { c.nextGivesNothing = true; }, std::nullopt, false},
    };
    for (const Loss& loss : losses) {
        Rig rig;
        ASSERT_TRUE(rig.encodeAt(1000));
        ASSERT_TRUE(rig.encodeAt(2000));
        loss.arrange(*rig.control);
        if (loss.error) {
            EXPECT_EQ(thrown<VideoEncoderError>([&] { rig.encodeAt(3000); }).kind, *loss.error) << loss.name;
        } else {
            EXPECT_FALSE(rig.encodeAt(3000)) << loss.name;
        }
        const auto next = rig.encodeAt(4000);
        ASSERT_TRUE(next) << loss.name;
        EXPECT_EQ(rig.lastCallForced(), loss.forcesKeyframe) << loss.name;
        EXPECT_EQ(next->sequence, 2u) << loss.name;
        EXPECT_EQ(rig.encoder.statistics().inFlightCount, 0) << loss.name;
    }
}

TEST(DesktopVideoEncoderLogic, AThirdConcurrentFrameIsRefusedAndForcesAKeyframe) {
    Rig rig;
    rig.control->setBlocking(true);
    auto first = std::async(std::launch::async, [&] { return rig.encodeAt(1000); });
    ASSERT_TRUE(rig.control->awaitBlocked(1));
    auto second = std::async(std::launch::async, [&] { return rig.encodeAt(2000); });
    ASSERT_TRUE(rig.control->awaitBlocked(2));
    EXPECT_EQ(rig.encoder.statistics().inFlightCount, 2);
    EXPECT_FALSE(rig.encodeAt(3000));
    EXPECT_EQ(rig.encoder.statistics().droppedFrameCounter, 1u);
    rig.control->setBlocking(false);
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
    ASSERT_TRUE(rig.encodeAt(4000));
    EXPECT_TRUE(rig.lastCallForced());
    // A frame that must be a keyframe passes the cap.
    rig.control->setBlocking(true);
    auto third = std::async(std::launch::async, [&] { return rig.encodeAt(5000); });
    ASSERT_TRUE(rig.control->awaitBlocked(1));
    auto fourth = std::async(std::launch::async, [&] { return rig.encodeAt(6000); });
    ASSERT_TRUE(rig.control->awaitBlocked(2));
    auto forced = std::async(std::launch::async, [&] {
        return rig.encoder.encode(*rig.picture, at(7000), MediaTime::invalid(), std::nullopt, true);
    });
    EXPECT_TRUE(rig.control->awaitBlocked(3));
    rig.control->setBlocking(false);
    EXPECT_TRUE(third.get());
    EXPECT_TRUE(fourth.get());
    EXPECT_TRUE(forced.get());
    EXPECT_EQ(rig.encoder.statistics().droppedFrameCounter, 1u);
}

// Runs under ThreadSanitizer with the rest of the unit tests.
TEST(DesktopVideoEncoderLogic, InvalidationDuringAnEncodeOnAnotherThreadFailsThatEncode) {
    Rig rig;
    ASSERT_TRUE(rig.encodeAt(1000));
    rig.control->setBlocking(true);
    auto running = std::async(std::launch::async, [&]() -> std::optional<VideoEncoderError> {
        try {
            rig.encodeAt(2000);
        } catch (const VideoEncoderError& error) {
            return error;
        }
        return std::nullopt;
    });
    ASSERT_TRUE(rig.control->awaitBlocked(1));
    rig.encoder.invalidate();
    rig.control->setBlocking(false);
    EXPECT_EQ(running.get(), VideoEncoderError(Case::encodingFailed, -1));
    EXPECT_EQ(rig.encoder.statistics().inFlightCount, 0);
    EXPECT_EQ(thrown<VideoEncoderError>([&] { rig.encodeAt(3000); }).kind, Case::invalidated);
}

TEST(DesktopVideoEncoderLogic, ParameterSetsAreVersionedOnlyWhenTheyChange) {
    Rig rig;
    const auto first = rig.encodeAt(1000);
    ASSERT_TRUE(first && first->codecConfiguration);
    EXPECT_EQ(first->codecConfiguration->version, 1u);
    rig.encoder.requestKeyframe();
    EXPECT_EQ(rig.encodeAt(2000)->codecConfiguration->version, 1u);
    {
        std::lock_guard guard(rig.control->mutex);
        rig.control->parameterSets = {
            {0x67, 0x4D}, {0x06, 0x05}, {0x68, 0xEE}, {}}; // a changed SPS, SEI and empty skipped
    }
    const auto third = rig.encodeAt(3000);
    EXPECT_EQ(third->codecConfigVersion, 2u);
    EXPECT_FALSE(third->codecConfiguration);
    rig.encoder.requestKeyframe();
    const auto fourth = rig.encodeAt(4000);
    ASSERT_TRUE(fourth->codecConfiguration);
    EXPECT_EQ(fourth->codecConfiguration->sps, (std::vector<Bytes>{{0x67, 0x4D}}));
    EXPECT_EQ(fourth->codecConfiguration->pps, (std::vector<Bytes>{{0x68, 0xEE}}));
    {
        std::lock_guard guard(rig.control->mutex);
        rig.control->parameterSets = {{0x67, 0x4D}}; // fewer than two: no sets, the version stands
    }
    EXPECT_EQ(rig.encodeAt(5000)->codecConfigVersion, 2u);
}

TEST(DesktopVideoEncoderLogic, APreparedSessionIsTheOneTheFirstFrameTakes) {
    Rig rig;
    rig.encoder.prepareSession(64, 64);
    rig.encoder.prepareSession(64, 64); // open already: nothing more
    ASSERT_EQ(rig.opened().size(), 1u);
    EXPECT_EQ(rig.opened()[0].width, 64);
    const auto first = rig.encodeAt(1000);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isKeyframe);
    EXPECT_EQ(rig.opened().size(), 1u);

    // A codec that refuses says so to the preparer; the first frame tries again.
    Rig refused;
    refused.control->createStatus = -7;
    EXPECT_EQ(thrown<VideoEncoderError>([&] { refused.encoder.prepareSession(64, 64); }),
              VideoEncoderError(Case::sessionCreationFailed, -7));
    refused.control->createStatus = 0;
    EXPECT_TRUE(refused.encodeAt(1000));
    EXPECT_EQ(refused.opened().size(), 1u);
}

// Runs under ThreadSanitizer with the rest.
TEST(DesktopVideoEncoderLogic, AFrameDuringAPreparedOpenWaitsForItAndAChangeMeanwhileDropsIt) {
    {
        Rig rig;
        rig.control->setOpensBlocking(true);
        auto preparing = std::async(std::launch::async, [&] { rig.encoder.prepareSession(64, 64); });
        ASSERT_TRUE(rig.control->awaitBlockedOpens(1));
        const int readsBefore = rig.clockReads;
        auto encoding = std::async(std::launch::async, [&] { return rig.encodeAt(1000); });
        while (rig.clockReads == readsBefore) std::this_thread::yield();
        // Time for the frame to reach the open's end, or to open a second session.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rig.control->setOpensBlocking(false);
        preparing.get();
        const auto frame = encoding.get();
        ASSERT_TRUE(frame);
        EXPECT_TRUE(frame->isKeyframe);
        EXPECT_EQ(rig.opened().size(), 1u);
    }
    {
        Rig rig;
        rig.control->setOpensBlocking(true);
        auto preparing = std::async(std::launch::async, [&] { rig.encoder.prepareSession(64, 64); });
        ASSERT_TRUE(rig.control->awaitBlockedOpens(1));
        rig.encoder.updateConfiguration(configuration(1920, 1080, 60), std::nullopt);
        rig.control->setOpensBlocking(false);
        preparing.get();
        ASSERT_TRUE(rig.encodeAt(1000));
        ASSERT_EQ(rig.opened().size(), 2u); // the prepared session had the old rate
        EXPECT_EQ(rig.opened()[1].framesPerSecond, 60);
    }
    {
        Rig rig;
        rig.control->setOpensBlocking(true);
        auto preparing = std::async(std::launch::async, [&] { rig.encoder.prepareSession(64, 64); });
        ASSERT_TRUE(rig.control->awaitBlockedOpens(1));
        rig.encoder.invalidate();
        rig.control->setOpensBlocking(false);
        preparing.get();
        EXPECT_EQ(thrown<VideoEncoderError>([&] { rig.encodeAt(1000); }).kind, Case::invalidated);
    }
}
