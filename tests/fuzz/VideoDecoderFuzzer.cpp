// Feeds a peer's video to a fresh decoder: parameter sets, then frames,
// read as
//   u8 length-prefix size, u8 SPS count, {u16 size, SPS}..., u8 PPS count, {u16 size, PPS}...
//   then until the input ends, frames of
//   u8 flags (1 keyframe, 2 carries the parameter sets, 4 next generation),
//   u8 sequence step, u8 configuration version, u16 width, u16 height, u16 size, payload.
// Refusing with VideoDecoderError is correct; anything else escaping, a crash,
// a picture past the decoder's bound or a payload decoded that fails the NAL
// check is a bug.
#include "FuzzSupport.hpp"
#include "core/BigEndian.hpp"
#include "transport/video/DesktopVideoDecoder.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

struct EndOfInput {};
struct ThrowEndOfInput {
    [[noreturn]] void operator()() const { throw EndOfInput{}; }
};
using Reader = bigendian::Reader<ThrowEndOfInput>;

constexpr std::size_t kMaximumFrames = 16;
constexpr std::size_t kMaximumSets = 4;

std::vector<Bytes> parameterSets(Reader& reader) {
    std::vector<Bytes> sets(reader.read<std::uint8_t>() % (kMaximumSets + 1));
    for (Bytes& set : sets) {
        const ByteView bytes = reader.take(reader.read<std::uint16_t>());
        set.assign(bytes.begin(), bytes.end());
    }
    return sets;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader reader(ByteView(data, size));
    H264CodecConfiguration configuration;
    DesktopVideoDecoder decoder;
    EncodedVideoFrame frame;
    frame.streamID = fixedUuid(7);
    frame.durationUs = 16'667;
    try {
        configuration.nalUnitHeaderLength = reader.read<std::uint8_t>();
        configuration.sps = parameterSets(reader);
        configuration.pps = parameterSets(reader);
        configuration.version = 1;
        for (std::size_t i = 0; i < kMaximumFrames && reader.remaining() > 0; ++i) {
            const auto flags = reader.read<std::uint8_t>();
            frame.isKeyframe = (flags & 1) != 0;
            frame.codecConfiguration = (flags & 2) != 0 ? std::optional(configuration) : std::nullopt;
            if ((flags & 4) != 0) ++frame.generation;
            frame.sequence += reader.read<std::uint8_t>();
            frame.codecConfigVersion = reader.read<std::uint8_t>();
            frame.width = frame.sourceDisplayWidth = reader.read<std::uint16_t>();
            frame.height = frame.sourceDisplayHeight = reader.read<std::uint16_t>();
            const ByteView payload = reader.take(reader.read<std::uint16_t>());
            frame.payload.assign(payload.begin(), payload.end());
            frame.presentationTimestampUs += frame.durationUs;

            std::optional<DecodedVideoFrame> decoded;
            if (!accepts<VideoDecoderError>([&] { decoded.emplace(decoder.decode(frame)); })) continue;
            require(decoded->pixelBuffer != nullptr);
            require(decoded->width * decoded->height <= 7680 * 4320);
            require(DesktopVideoDecoder::isStructurallyValid(frame.payload, configuration.nalUnitHeaderLength));
            require(!decoder.isWaitingForKeyframe());
        }
    } catch (const EndOfInput&) {
    }
    return 0;
}
