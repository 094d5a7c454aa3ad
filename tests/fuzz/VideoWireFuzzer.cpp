// Feeds peer-supplied bytes to the video transport: as a session wire frame,
// as a video fragment packet, and as a script of fragment packets for a
// reassembler (records of a 1-byte clock step in 10 ms units, a 2-byte
// big-endian length and that many bytes); and, read with the same bytes as
// choices, a script of well-formed fragments of a few small frames built for
// a reassembler with small limits, so its memory limits are met. Refusing with VideoProtocolError is
// correct; anything else escaping, a crash, a broken round trip or a
// reassembler whose buffers disagree with its accounting is a bug.
#include "FuzzMessages.hpp"
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFragmentPacket.hpp"
#include "transport/video/VideoFrameFragmenter.hpp"
#include "transport/video/VideoFrameReassembler.hpp"
#include "transport/video/VideoProtocolError.hpp"

#include <algorithm>

using namespace velorinth;
using namespace velorinth::fuzz;
using namespace std::chrono_literals;

namespace {

using Outcome = VideoFrameReassembler::FragmentOutcome;

const Tally outcomes("reassembler outcomes",
                     {"frame", "buffered", "duplicate", "stale", "conflictingFragment", "payloadLengthMismatch",
                      "other refusal"},
                     Tally::Need::informational);
// The three places a reassembler refuses for memory: a fragment joining a
// frame it holds, a new frame when the incomplete ones are all newer, and a
// new frame over the byte budget.
const Tally memoryLimits("reassembler memory-limit refusals", {"joiningFrame", "incompleteFrames", "newFrame"});

void checkWireFrame(ByteView input) {
    SessionWireFrameCodec::Frame frame;
    if (!accepts<VideoProtocolError>([&] { frame = SessionWireFrameCodec::decode(input); })) return;
    require(SessionWireFrameCodec::isWireFrame(input));
    auto encoded = SessionWireFrameCodec::encode(frame.channel, frame.sequence, frame.body);
    require(std::equal(encoded.begin(), encoded.end(), input.begin(), input.end()));
}

// The input as it reads back: the flag bits a decoder ignores cleared.
Bytes canonical(ByteView input) {
    Bytes bytes(input.begin(), input.end());
    bytes[3] &= 0x07;
    return bytes;
}

void checkFragmentPacket(ByteView input) {
    const VideoFrameReassembler::Limits limits;
    VideoFragmentPacket packet;
    if (!accepts<VideoProtocolError>([&] {
            packet = VideoFragmentPacket::decode(input, limits.maxFrameBytes, limits.maxFragmentsPerFrame,
                                                 limits.maxChunkBytes);
        })) {
        return;
    }
    auto encoded = VideoFragmentPacket::encode(packet);
    require(encoded == canonical(input));
    require(VideoFragmentPacket::decode(encoded, limits.maxFrameBytes, limits.maxFragmentsPerFrame,
                                        limits.maxChunkBytes) == packet);

    // A whole frame in one packet survives reassembly and fragmenting again.
    if (packet.fragmentCount != 1) return;
    VideoFrameReassembler reassembler;
    VideoFrameReassembler::IngestResult ingested = VideoFrameReassembler::FragmentOutcome::buffered;
    try {
        ingested = reassembler.ingest(input, VideoFrameReassembler::Instant{});
    } catch (const VideoProtocolError& error) {
        require(error.kind == VideoProtocolError::Case::payloadLengthMismatch);
        return;
    }
    const EncodedVideoFrame* frame = std::get_if<EncodedVideoFrame>(&ingested);
    require(frame != nullptr);
    auto chunkBytes = std::max<std::int64_t>(VideoFrameFragmenter::minimumChunkBytes,
                                             static_cast<std::int64_t>(frame->payload.size()));
    auto packets = VideoFrameFragmenter::fragment(*frame, chunkBytes, VideoFrameFragmenter::hostMaxFrameBytes,
                                                  VideoFrameFragmenter::hostMaxFragmentsPerFrame);
    require(packets.size() == 1 && packets[0] == encoded);
}

void checkAccounting(const VideoFrameReassembler& reassembler) {
    const auto& limits = reassembler.limits();
    std::int64_t sum = 0;
    for (const auto& [key, partial] : reassembler.partials()) {
        std::int64_t received = 0;
        for (const auto& [index, chunk] : partial.chunks) {
            require(index < partial.fragmentCount);
            received += static_cast<std::int64_t>(chunk.size());
        }
        require(received == partial.receivedBytes && received <= partial.totalPayloadBytes);
        require(partial.chunks.size() < partial.fragmentCount);
        require(key.generation == reassembler.activeGeneration());
        sum += received;
    }
    require(sum == reassembler.totalBufferedBytes());
    require(sum <= limits.maxTotalBufferedBytes);
    require(static_cast<std::int64_t>(reassembler.incompleteFrameCount()) <= limits.maxIncompleteFrames);
}

// Limits a fuzz input can reach: 8 fragments of at most 1 KiB, 3 incomplete frames.
VideoFrameReassembler::Limits smallLimits(std::int64_t maxFrameBytes, std::int64_t maxTotalBufferedBytes) {
    VideoFrameReassembler::Limits limits;
    limits.maxFrameBytes = maxFrameBytes;
    limits.maxFragmentsPerFrame = 8;
    limits.maxChunkBytes = 1024;
    limits.maxIncompleteFrames = 3;
    limits.maxTotalBufferedBytes = maxTotalBufferedBytes;
    return limits;
}

void feedReassembler(ByteView input) {
    const VideoFrameReassembler::Limits limits = smallLimits(4096, 4096);
    VideoFrameReassembler reassembler(limits);
    auto now = VideoFrameReassembler::Instant{} + 1h;
    std::size_t offset = 0;
    while (input.size() - offset >= 3) {
        now += input[offset] * 10ms;
        std::size_t length = (std::size_t{input[offset + 1]} << 8) | input[offset + 2];
        offset += 3;
        auto packet = input.subspan(offset, std::min(length, input.size() - offset));
        offset += packet.size();
        accepts<VideoProtocolError>([&] {
            const VideoFrameReassembler::IngestResult ingested = reassembler.ingest(packet, now);
            if (const EncodedVideoFrame* frame = std::get_if<EncodedVideoFrame>(&ingested)) {
                require(!frame->payload.empty());
                require(static_cast<std::int64_t>(frame->payload.size()) <= limits.maxFrameBytes);
                require(frame->generation == reassembler.activeGeneration());
            }
        });
        checkAccounting(reassembler);
    }
}

void tallyRefusal(const VideoProtocolError& error, const VideoFragmentPacket& packet,
                  const VideoFrameReassembler& reassembler) {
    using Case = VideoProtocolError::Case;
    switch (error.kind) {
    case Case::reassemblyMemoryLimitExceeded: {
        // A refusal for memory changes nothing, so the state tells which check it was.
        const VideoFrameReassembler::FrameKey key{packet.streamID, packet.generation, packet.frameSequence};
        if (reassembler.partials().contains(key)) {
            memoryLimits.count("joiningFrame");
        } else if (static_cast<std::int64_t>(reassembler.incompleteFrameCount()) >=
                   reassembler.limits().maxIncompleteFrames) {
            memoryLimits.count("incompleteFrames");
        } else {
            memoryLimits.count("newFrame");
        }
        break;
    }
    case Case::conflictingFragment: outcomes.count("conflictingFragment"); break;
    case Case::payloadLengthMismatch: outcomes.count("payloadLengthMismatch"); break;
    default: outcomes.count("other refusal"); break;
    }
}

// Fragments the builder made: each decodes, so a refusal is the reassembler's own.
void feedBuiltFragments(ByteView bytes) {
    // A byte budget under the largest frame: every memory limit is in reach.
    const VideoFrameReassembler::Limits limits = smallLimits(8192, 3072);
    VideoFrameReassembler reassembler(limits);
    auto now = VideoFrameReassembler::Instant{} + 1h;
    FuzzedDataProvider input(bytes.data(), bytes.size());
    std::uint64_t generation = 0;
    for (int count = 0; count < 256 && input.remaining_bytes() > 0; ++count) {
        now += input.ConsumeIntegral<std::uint8_t>() * 1ms;
        const VideoFragmentPacket packet = takeFragment(input, FragmentShapes{8, 1024}, generation);
        try {
            const VideoFrameReassembler::IngestResult ingested =
                reassembler.ingest(VideoFragmentPacket::encode(packet), now);
            if (const EncodedVideoFrame* frame = std::get_if<EncodedVideoFrame>(&ingested)) {
                require(static_cast<std::int64_t>(frame->payload.size()) <= limits.maxFrameBytes);
                outcomes.count("frame");
            } else {
                outcomes.count(1 + static_cast<std::size_t>(std::get<Outcome>(ingested)));
            }
        } catch (const VideoProtocolError& error) {
            tallyRefusal(error, packet, reassembler);
        }
        checkAccounting(reassembler);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteView input(data, size);
    checkWireFrame(input);
    checkFragmentPacket(input);
    feedReassembler(input);
    feedBuiltFragments(input);
    return 0;
}
