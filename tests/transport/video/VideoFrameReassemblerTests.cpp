#include "transport/video/VideoFrameReassembler.hpp"

#include "VideoTestBytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velorinth {
namespace {

using namespace videotest;
using namespace std::chrono_literals;
using Case = VideoProtocolError::Case;
using Result = VideoFrameReassembler::IngestResult;
using Outcome = VideoFrameReassembler::FragmentOutcome;

const Result kBuffered = Outcome::buffered, kDuplicate = Outcome::duplicate, kStale = Outcome::stale;

const VideoFrameReassembler::Instant t0{std::chrono::hours(1)};

// Fragment `index` of a 3-fragment frame of 3 × 100 bytes, chunk filled with the index.
Bytes third(std::uint16_t index, std::uint64_t sequence = 1, std::uint64_t generation = 1) {
    return fragmentBytes({generation, sequence, index, 3, 300, false, Bytes(100, static_cast<std::uint8_t>(index))});
}

TEST(VideoFrameReassembler, ReturnsASingleFragmentFrameAtOnce) {
    VideoFrameReassembler reassembler;
    EXPECT_EQ(reassembler.ingest(fragmentBytes({7, 42, 0, 1, 0, true, hex("00000001 65")}), t0),
              Result(EncodedVideoFrame{.streamID = *Uuid::fromString("00112233-4455-6677-8899-AABBCCDDEEFF"),
                                        .generation = 7, .sequence = 42, .presentationTimestampUs = 100,
                                        .durationUs = 33, .payload = hex("00000001 65"), .isKeyframe = true,
                                        .codecConfigVersion = 1, .codecConfiguration = std::nullopt, .width = 64,
                                        .height = 64, .sourceDisplayWidth = 64, .sourceDisplayHeight = 64,
                                        .captureTimestampNs = 7}));
    EXPECT_EQ(reassembler.incompleteFrameCount(), 0u);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 0);

    EXPECT_EQ(failure([&] { reassembler.ingest(fragmentBytes({7, 43, 0, 1, 6, false, hex("AA")}), t0); }),
              Case::payloadLengthMismatch);
}

TEST(VideoFrameReassembler, CompletesOutOfOrderAndSurvivesADuplicate) {
    VideoFrameReassembler reassembler;
    EXPECT_EQ(reassembler.ingest(third(2), t0), kBuffered);
    EXPECT_EQ(reassembler.ingest(third(1), t0), kBuffered);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 200);
    EXPECT_EQ(reassembler.ingest(third(1), t0), kDuplicate);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 200);
    Result result = reassembler.ingest(third(0), t0);
    const EncodedVideoFrame* frame = std::get_if<EncodedVideoFrame>(&result);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, Bytes(100, 0) + Bytes(100, 1) + Bytes(100, 2));
    EXPECT_EQ(frame->durationUs, 33); // metadata of fragment 0, which came last
    EXPECT_EQ(reassembler.totalBufferedBytes(), 0);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 0u);
}

TEST(VideoFrameReassembler, DropsAPartialThatDisagreesOrOverflows) {
    VideoFrameReassembler reassembler;
    reassembler.ingest(third(0), t0);
    EXPECT_EQ(failure([&] { reassembler.ingest(fragmentBytes({1, 1, 1, 3, 301, false, Bytes(100, 1)}), t0); }),
              Case::conflictingFragment);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 0u);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 0);
    // The rest starts afresh and, lacking fragment 0, stays incomplete.
    EXPECT_EQ(reassembler.ingest(third(1), t0), kBuffered);
    EXPECT_EQ(reassembler.ingest(third(2), t0), kBuffered);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 1u);

    reassembler.ingest(fragmentBytes({1, 2, 0, 3, 4, false, Bytes(3, 0)}), t0);
    EXPECT_EQ(failure([&] { reassembler.ingest(fragmentBytes({1, 2, 1, 3, 4, false, Bytes(2, 0)}), t0); }),
              Case::payloadLengthMismatch);
    // All fragments present but short of the declared total.
    reassembler.ingest(fragmentBytes({1, 3, 0, 2, 4, false, Bytes(1, 0)}), t0);
    EXPECT_EQ(failure([&] { reassembler.ingest(fragmentBytes({1, 3, 1, 2, 4, false, Bytes(1, 0)}), t0); }),
              Case::payloadLengthMismatch);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 1u);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 200);
}

TEST(VideoFrameReassembler, FollowsTheGenerationUpAndRefusesOlderOnes) {
    VideoFrameReassembler reassembler;
    reassembler.ingest(third(0, 1, 5), t0);
    reassembler.ingest(third(0, 2, 5), t0);
    EXPECT_EQ(reassembler.ingest(third(1, 1, 4), t0), kStale);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 2u);

    reassembler.ingest(third(0, 1, 6), t0);
    EXPECT_EQ(reassembler.activeGeneration(), 6u);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 1u);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 100);
    EXPECT_EQ(reassembler.expiredFramesCount(), 0u);
}

TEST(VideoFrameReassembler, EvictsOnlyAnOlderFrameWhenTheTableIsFull) {
    VideoFrameReassembler reassembler;
    for (std::uint64_t sequence = 10; sequence <= 13; ++sequence) reassembler.ingest(third(0, sequence), t0);
    EXPECT_EQ(failure([&] { reassembler.ingest(third(0, 9), t0); }), Case::reassemblyMemoryLimitExceeded);
    EXPECT_EQ(reassembler.expiredFramesCount(), 0u);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 4u);

    reassembler.ingest(third(0, 14), t0);
    EXPECT_EQ(reassembler.expiredFramesCount(), 1u);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 4u);
    EXPECT_FALSE(reassembler.partials().contains({*Uuid::fromString("00112233-4455-6677-8899-AABBCCDDEEFF"), 1, 10}));
    EXPECT_EQ(reassembler.totalBufferedBytes(), 400);
}

TEST(VideoFrameReassembler, ExpiresIncompleteFramesByTheInjectedClock) {
    auto now = t0;
    VideoFrameReassembler reassembler(VideoFrameReassembler::Limits{}, [&] { return now; });
    reassembler.ingest(third(0, 1));
    now = t0 + 1500ms - 1ns;
    reassembler.ingest(third(0, 2));
    EXPECT_EQ(reassembler.incompleteFrameCount(), 2u);

    now = t0 + 1500ms; // an age equal to the timeout expires, even when the packet is refused
    EXPECT_EQ(failure([&] { reassembler.ingest(hex("00")); }), Case::truncatedPacket);
    EXPECT_EQ(reassembler.expiredFramesCount(), 1u);
    EXPECT_EQ(reassembler.incompleteFrameCount(), 1u);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 100);
}

TEST(VideoFrameReassembler, HoldsAtMostTheBufferLimit) {
    // The client's limits: two 2 MiB frames of 128 × 16 KiB, one fragment
    // short each, leave exactly 32 KiB of the 4 MiB.
    VideoFrameReassembler reassembler;
    for (std::uint64_t sequence = 1; sequence <= 2; ++sequence) {
        for (std::uint16_t index = 0; index < 127; ++index) {
            reassembler.ingest(fragmentBytes({1, sequence, index, 128, 2'097'152, false, Bytes(16'384, 1)}), t0);
        }
    }
    auto big = [](std::uint16_t index, std::size_t length) {
        return fragmentBytes({1, 3, index, 3, 70'000, false, Bytes(length, 2)});
    };
    EXPECT_EQ(failure([&] { reassembler.ingest(big(0, 32'769), t0); }), Case::reassemblyMemoryLimitExceeded);
    EXPECT_EQ(reassembler.ingest(big(0, 32'768), t0), kBuffered);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 4'194'304);
    EXPECT_EQ(failure([&] { reassembler.ingest(big(1, 1), t0); }), Case::reassemblyMemoryLimitExceeded);
    EXPECT_EQ(reassembler.partials().at({reassembler.partials().begin()->first.streamID, 1, 3}).chunks.size(), 1u);
    std::int64_t sumOfChunks = 0;
    for (const auto& [key, partial] : reassembler.partials()) {
        for (const auto& [index, chunk] : partial.chunks) sumOfChunks += static_cast<std::int64_t>(chunk.size());
    }
    EXPECT_EQ(reassembler.totalBufferedBytes(), sumOfChunks);
}

TEST(VideoFrameReassembler, ResetForgetsGenerationButKeepsTheExpiredCount) {
    VideoFrameReassembler reassembler;
    reassembler.ingest(third(0, 1, 5), t0);
    reassembler.ingest(third(0, 2, 5), t0 + 2s);
    ASSERT_EQ(reassembler.expiredFramesCount(), 1u);
    reassembler.reset();
    EXPECT_EQ(reassembler.expiredFramesCount(), 1u);
    EXPECT_EQ(reassembler.totalBufferedBytes(), 0);
    EXPECT_TRUE(std::holds_alternative<EncodedVideoFrame>(
        reassembler.ingest(fragmentBytes({1, 1, 0, 1, 0, false, hex("AA")}), t0)));
}

TEST(VideoFrameReassembler, DecodesUnderItsOwnLimits) {
    VideoFrameReassembler::Limits limits;
    limits.maxChunkBytes = 99;
    VideoFrameReassembler reassembler(limits);
    EXPECT_EQ(failure([&] { reassembler.ingest(third(0), t0); }), Case::invalidBounds);
    EXPECT_EQ(failure([&] { reassembler.ingest(fragmentBytes({1, 1, 0, 129, 300, false, hex("AA")}), t0); }),
              Case::tooManyFragments);
    EXPECT_EQ(reassembler.activeGeneration(), 0u);
}

// Packets handed over are kept as they came, each chunk copied only into
// the frame; bytes lent are copied before the call returns. Either way the
// frame owns its bytes once the packets are gone.
TEST(VideoFrameReassembler, AFrameFromBorrowedChunksOutlivesThePacketsAndTheirBuffers) {
    const Bytes expected = Bytes(100, 0) + Bytes(100, 1) + Bytes(100, 2);
    std::optional<EncodedVideoFrame> frame;
    {
        VideoFrameReassembler reassembler;
        Bytes second = third(1);
        const std::uint8_t* kept = second.data();
        EXPECT_EQ(reassembler.ingest(std::move(second), t0), kBuffered);
        const auto& chunks = reassembler.partials().begin()->second.chunks;
        EXPECT_EQ(chunks.at(1).storage.data(), kept); // the packet itself, not a copy of its chunk
        const ByteView held = chunks.at(1).bytes();
        EXPECT_EQ(Bytes(held.begin(), held.end()), Bytes(100, 1));
        EXPECT_EQ(reassembler.ingest(third(2), t0), kBuffered);
        Result result = reassembler.ingest(third(0), t0);
        ASSERT_TRUE(std::holds_alternative<EncodedVideoFrame>(result));
        frame = std::get<EncodedVideoFrame>(std::move(result));
    }
    EXPECT_EQ(frame->payload, expected);

    VideoFrameReassembler reassembler;
    std::vector<Bytes> lent{third(2), third(1), third(0)};
    EXPECT_EQ(reassembler.ingest(ByteView(lent[0]), t0), kBuffered);
    EXPECT_EQ(reassembler.ingest(ByteView(lent[1]), t0), kBuffered);
    for (Bytes& buffer : lent) std::fill(buffer.begin(), buffer.end(), 0xEE); // the caller reuses its buffers
    Result result = reassembler.ingest(third(0), t0);
    ASSERT_TRUE(std::holds_alternative<EncodedVideoFrame>(result));
    EXPECT_EQ(std::get<EncodedVideoFrame>(result).payload, expected);
}

// Whether a packet is lent or handed over, the same fragments meet the same
// outcomes, refusals and accounting.
TEST(VideoFrameReassembler, LentAndHandedOverPacketsMeetTheSameOutcomes) {
    const std::vector<Bytes> packets{
        third(2),                                                 // buffered
        third(2),                                                 // a repeat
        fragmentBytes({1, 1, 1, 3, 301, false, Bytes(100, 1)}),  // conflicts: the partial goes
        third(1),                                                 // starts afresh
        fragmentBytes({1, 2, 0, 2, 4, false, Bytes(3, 0)}),       // another frame
        fragmentBytes({1, 2, 1, 2, 4, false, Bytes(2, 0)}),       // overflows it
        third(0),
        third(2),                                                 // completes sequence 1
        third(0, 3, 0),                                           // an older generation: ignored
        fragmentBytes({1, 4, 0, 1, 0, true, hex("00000001 65")}), // a whole frame at once
        hex("5646"),                                              // truncated
    };
    const auto run = [&](bool handOver) {
        VideoFrameReassembler reassembler;
        std::vector<std::string> outcomes;
        for (const Bytes& packet : packets) {
            try {
                Result result = handOver ? reassembler.ingest(Bytes(packet), t0) : reassembler.ingest(packet, t0);
                if (const auto* frame = std::get_if<EncodedVideoFrame>(&result)) {
                    outcomes.push_back("frame " + hexEncodedString(frame->payload));
                } else {
                    outcomes.push_back("outcome " + std::to_string(static_cast<int>(std::get<Outcome>(result))));
                }
            } catch (const VideoProtocolError& error) {
                outcomes.push_back(std::string("refused ") + error.what());
            }
            outcomes.back() += " holding " + std::to_string(reassembler.totalBufferedBytes());
        }
        return outcomes;
    };
    const std::vector<std::string> lent = run(false);
    EXPECT_EQ(lent, run(true));
    EXPECT_EQ(std::count_if(lent.begin(), lent.end(), [](const auto& o) { return o.starts_with("refused"); }), 3);
    EXPECT_EQ(std::count_if(lent.begin(), lent.end(), [](const auto& o) { return o.starts_with("frame"); }), 2);
}

} // namespace
} // namespace velorinth
