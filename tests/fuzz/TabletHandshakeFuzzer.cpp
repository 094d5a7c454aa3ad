// Feeds what a host sends to the tablet through the tablet's own reading of
// it: the pairing response in clear, the decision and the server-ready message
// sealed, each in a well-formed envelope around the input's payload (or as the
// raw frame), and a run of session frames through the client session's
// receive path: wire frame or envelope, open, then a control message or a
// video fragment for the reassembler, one refused frame ending the session.
// Refusing with one of our errors is fine; anything else escaping, a crash or
// an accepted message that does not survive its own encoding is a bug.
#include "FuzzSupport.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/session/SessionFrameOpening.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFrameReassembler.hpp"
#include "transport/video/VideoProtocolError.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Kind = HandshakeMessageKind;

template <class T>
void readSealed(const HandshakeEnvelope& envelope, Kind kind, std::uint64_t receiveSequence) {
    requireRoundTripIfDecoded([&] {
        const EncryptedSessionMessage sealed = HandshakeEnvelope::decodeEncryptedMessage(kind, envelope);
        const auto tablet = SessionCipher::makeForTesting(kSessionKey, SessionRole::initiator, 1, receiveSequence);
        return json::decodeFromBytes<T>(tablet->open(sealed.sequence, sealed.ciphertext, kTranscriptHash));
    });
}

// The three messages the connector reads, each as it reads them: the decision
// is the host's first sealed message, the server-ready its second.
void readHandshake(const Bytes& frame) {
    HandshakeEnvelope envelope;
    if (!accepts([&] { envelope = decodeHandshakeEnvelopeFrame(frame); })) return;
    requireRoundTripIfDecoded(
        [&] { return HandshakeEnvelope::decodePayload<PairingResponse>(Kind::pairingResponse, envelope); });
    readSealed<PairingDecision>(envelope, Kind::encryptedDecision, 0);
    readSealed<ServerSessionReady>(envelope, Kind::encryptedServerReady, 1);
}

// One frame as the session's receive loop takes it; false ends the session.
bool receive(const Bytes& frame, SessionCipher& tablet, VideoFrameReassembler& reassembler,
             VideoFrameReassembler::Instant now) {
    return accepts([&] {
        const OpenedSessionFrame opened = openSessionFrame(frame, tablet, kTranscriptHash);
        if (const auto* fragment = std::get_if<SessionVideoFragment>(&opened)) {
            // A refused fragment costs a keyframe request, not the session.
            accepts<VideoProtocolError>([&] {
                const VideoFrameReassembler::IngestResult ingested = reassembler.ingest(fragment->plaintext, now);
                if (const auto* video = std::get_if<EncodedVideoFrame>(&ingested)) require(!video->payload.empty());
            });
            return;
        }
        requireRoundTrip(std::get<SessionControlMessage>(opened));
    });
}

void receiveSession(FuzzedDataProvider& input) {
    SessionCipher host(kSessionKey, SessionRole::responder);
    SessionCipher tablet(kSessionKey, SessionRole::initiator);
    VideoFrameReassembler reassembler;
    VideoFrameReassembler::Instant now{};
    while (input.remaining_bytes() > 0) {
        const int form = input.ConsumeIntegralInRange(0, 3);
        now += std::chrono::milliseconds(input.ConsumeIntegral<std::uint8_t>());
        const Bytes body = takeBytes(input, 4096);
        Bytes frame = body;
        if (form > 0) {
            const EncryptedSessionMessage sealed = host.seal(body, kTranscriptHash);
            if (form == 3) {
                frame = json::encodeToBytes(HandshakeEnvelope::makeEncrypted(Kind::encryptedSession, sealed));
            } else {
                frame = SessionWireFrameCodec::encode(
                    form == 1 ? SessionBinaryChannel::control : SessionBinaryChannel::videoFragment, sealed.sequence,
                    sealed.ciphertext);
            }
        }
        if (!receive(frame, tablet, reassembler, now)) return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int route = input.ConsumeIntegralInRange(0, 4);
    if (route == 4) {
        receiveSession(input);
        return 0;
    }
    const auto kind = static_cast<Kind>(input.ConsumeIntegralInRange(0, 7));
    const Bytes rest = input.ConsumeRemainingBytes<std::uint8_t>();
    switch (route) {
    case 0: readHandshake(rest); break;
    case 1: readHandshake(json::encodeToBytes(HandshakeEnvelope{kind, rest})); break;
    default: {
        // The host's first (route 2) or second (route 3) sealed message.
        const auto host = SessionCipher::makeForTesting(kSessionKey, SessionRole::responder, route == 2 ? 0 : 1, 0);
        readHandshake(json::encodeToBytes(HandshakeEnvelope::makeEncrypted(kind, host->seal(rest, kTranscriptHash))));
    }
    }
    return 0;
}
