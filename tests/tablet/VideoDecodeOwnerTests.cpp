// The tablet's decode owner: decoding off the loop, and keyframe requests at
// most every 250 ms.

#include "tablet/VideoDecodeOwner.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// A frame the decoder cannot take before a configuration: missingConfiguration.
EncodedVideoFrame unconfiguredFrame(std::uint64_t sequence) {
    EncodedVideoFrame frame;
    frame.streamID = *Uuid::fromString("6B29FC40-CA47-1067-B31D-00DD010662DA");
    frame.generation = 3;
    frame.sequence = sequence;
    frame.payload = {0, 0, 0, 1, 0x41};
    frame.width = frame.height = frame.sourceDisplayWidth = frame.sourceDisplayHeight = 64;
    return frame;
}

} // namespace

TEST(VideoDecodeOwner, AsksTheHostForAKeyframeAtOnceAndThenAtMostEvery250ms) {
    LoopRunner loop;
    std::atomic<std::uint64_t> nowNs{10'000'000'000};
    std::vector<std::uint64_t> requests; // on the loop
    std::mutex mutex;
    std::size_t errors = 0;
    VideoDecodeOwner::Options options;
    options.uptime = [&] { return nowNs.load(); };
    VideoDecodeOwner owner(
        loop.io.get_executor(), [&](std::uint64_t generation) { requests.push_back(generation); }, {},
        [&](const VideoDecoderError& error) {
            std::lock_guard guard(mutex);
            EXPECT_EQ(error.kind, VideoDecoderError::Case::missingConfiguration);
            ++errors;
        },
        options);
    const auto decodeAll = [&](std::uint64_t first, std::size_t count) {
        const std::size_t target = errors + count;
        for (std::uint64_t i = 0; i < count; ++i) owner.submit(unconfiguredFrame(first + i));
        loop.until([&] {
            std::lock_guard guard(mutex);
            return errors >= target;
        });
        loop.settle(5ms);
    };

    decodeAll(0, 3);
    EXPECT_EQ(requests, (std::vector<std::uint64_t>{3})); // the first at once, the others held back
    nowNs += 249'000'000;
    decodeAll(3, 2);
    EXPECT_EQ(requests.size(), 1u);
    nowNs += 1'000'000; // 250 ms after the first
    decodeAll(5, 2);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_EQ(owner.droppedFrames(), 0u);
}
