// Feeds peer-supplied bytes to everything the host reads from a tablet: the
// handshake envelopes and their payloads, and a session frame through the
// session's own path (wire frame or envelope, open, control message). The
// input's last byte picks how the rest arrives: as the frame itself, sealed by
// the tablet, or as the payload of a well-formed envelope (clear or sealed),
// so the decoders behind the cipher and the envelope's Base64 are reached; or
// as the choices for a run of well-formed messages of any command and input
// kind, each of which must open as exactly the message built.
// Refusing with one of our errors is fine; anything else escaping, a crash,
// an accepted message that does not survive its own encoding or a stream
// configuration outside its ranges is a bug.
#include "FuzzMessages.hpp"
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/session/SessionFrameOpening.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Kind = HandshakeMessageKind;

const Tally commands("commands", json::EnumNames<SessionControlCommand>::names);
const Tally inputKinds("input kinds", InputEvent::caseNames);
const Tally controlMessages("control messages", ControlMessage::caseNames, Tally::Need::informational);
const Tally handshake("handshake messages", {"pairingRequest", "pairingConfirmation", "clientReady"},
                      Tally::Need::informational);

// A tablet's stream settings reach capture and the encoder only clamped.
void requireClamped(const VideoStreamConfiguration& video) {
    using V = VideoStreamConfiguration;
    auto within = [](std::int64_t value, V::Range range) {
        return value >= range.lowerBound && value <= range.upperBound;
    };
    require(within(video.maxWidth, V::widthRange) && within(video.maxHeight, V::heightRange) &&
            within(video.framesPerSecond, V::framesPerSecondRange) && within(video.targetBitrateBps, V::bitrateRange) &&
            within(video.keyframeIntervalFrames, V::keyframeIntervalRange) &&
            within(video.maxFrameBytes, V::frameBytesRange) &&
            within(video.maxFragmentPayloadBytes, V::fragmentPayloadBytesRange));
}

void tally(const SessionControlMessage& message) {
    commands.count(static_cast<std::size_t>(message.command));
    if (!message.controlMessage) return;
    controlMessages.count(message.controlMessage->value.index());
    if (const auto* input = message.controlMessage->get<ControlMessage::Input>()) {
        inputKinds.count(input->event.value.index());
    }
}

std::optional<SessionControlMessage> openAsHost(const Bytes& frame, SessionCipher& host) {
    OpenedSessionFrame opened;
    if (!accepts([&] { opened = openSessionFrame(frame, host, kTranscriptHash); })) return std::nullopt;
    auto* message = std::get_if<SessionControlMessage>(&opened);
    if (message == nullptr) return std::nullopt;
    requireRoundTrip(*message);
    if (message->videoConfiguration) requireClamped(*message->videoConfiguration);
    tally(*message);
    return std::move(*message);
}

// Sealed by the tablet, sent as a control frame or an envelope: the host
// reads back exactly what was built.
void sendBuilt(FuzzedDataProvider& input, SessionCipher& tablet, SessionCipher& host) {
    const bool asEnvelope = input.ConsumeBool();
    const SessionControlMessage built = takeSessionMessage(input);
    const EncryptedSessionMessage sealed = tablet.seal(json::encodeToBytes(built), kTranscriptHash);
    const Bytes frame =
        asEnvelope ? json::encodeToBytes(HandshakeEnvelope::makeEncrypted(Kind::encryptedSession, sealed))
                   : SessionWireFrameCodec::encode(SessionBinaryChannel::control, sealed.sequence, sealed.ciphertext);
    require(openAsHost(frame, host) == built);
}

// The handshake messages the host reads, each as the handshake reads it.
void readHandshake(const HandshakeEnvelope& envelope) {
    requireRoundTripIfDecoded([&] {
        auto request = HandshakeEnvelope::decodePayload<PairingRequest>(Kind::pairingRequest, envelope);
        handshake.count(std::size_t{0});
        return request;
    });
    requireRoundTripIfDecoded([&] {
        auto confirmation = HandshakeEnvelope::decodePayload<PairingConfirmation>(Kind::pairingConfirmation, envelope);
        handshake.count(std::size_t{1});
        return confirmation;
    });
    requireRoundTripIfDecoded([&] {
        const auto sealed = HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedClientReady, envelope);
        SessionCipher host(kSessionKey, SessionRole::responder);
        auto ready =
            json::decodeFromBytes<ClientSessionReady>(host.open(sealed.sequence, sealed.ciphertext, kTranscriptHash));
        handshake.count(std::size_t{2});
        return ready;
    });
}

// The envelope as it crosses the connection: its JSON, read back.
void sendAndRead(const HandshakeEnvelope& envelope) {
    const HandshakeEnvelope received = decodeHandshakeEnvelopeFrame(json::encodeToBytes(envelope));
    require(received == envelope);
    readHandshake(received);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int route = input.ConsumeIntegralInRange(0, 6);
    SessionCipher tablet(kSessionKey, SessionRole::initiator);
    SessionCipher host(kSessionKey, SessionRole::responder);
    if (route == 6) {
        for (int count = 0; count < 64 && input.remaining_bytes() > 0; ++count) sendBuilt(input, tablet, host);
        return 0;
    }
    const auto kind = static_cast<Kind>(input.ConsumeIntegralInRange(0, 7));
    const Bytes rest = input.ConsumeRemainingBytes<std::uint8_t>();

    switch (route) {
    case 0: openAsHost(rest, host); break;
    case 1: {
        const EncryptedSessionMessage sealed = tablet.seal(rest, kTranscriptHash);
        openAsHost(SessionWireFrameCodec::encode(SessionBinaryChannel::control, sealed.sequence, sealed.ciphertext),
                   host);
        break;
    }
    case 2:
        openAsHost(json::encodeToBytes(HandshakeEnvelope::makeEncrypted(Kind::encryptedSession,
                                                                        tablet.seal(rest, kTranscriptHash))),
                   host);
        break;
    case 3: sendAndRead(HandshakeEnvelope{kind, rest}); break;
    case 4: sendAndRead(HandshakeEnvelope::makeEncrypted(kind, tablet.seal(rest, kTranscriptHash))); break;
    default: {
        HandshakeEnvelope envelope;
        if (accepts([&] { envelope = decodeHandshakeEnvelopeFrame(rest); })) {
            requireRoundTrip(envelope);
            readHandshake(envelope);
        }
    }
    }
    return 0;
}
