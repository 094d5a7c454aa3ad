// Feeds what a host sends to the tablet through the tablet's own reading of
// it: the pairing response in clear, the decision and the server-ready message
// sealed, each in a well-formed envelope around the input's payload (or as the
// raw frame), and a run of session frames through the client session's
// receive path: wire frame or envelope, open, then a control message or a
// video fragment for the reassembler; a refused frame, a disconnect or a
// revocation ends the session. Frames of the session may also be built from
// the input: a well-formed message of any command (which must open as exactly
// that message) or a fragment of a few small frames. A host-state update's
// wake and power records go into the tablet's trust store, as the session
// keeps them. Refusing with one of our errors is fine; anything else
// escaping, a crash, an accepted message that does not survive its own
// encoding or a kept record that does not read back as sent is a bug.
#include "FuzzMessages.hpp"
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionFrameOpening.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFrameReassembler.hpp"
#include "transport/video/VideoProtocolError.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Kind = HandshakeMessageKind;
using Command = SessionControlCommand;

const Tally commands("commands", json::EnumNames<Command>::names);
const Tally hostStateRecords("hostStateUpdated records", {"wakeConfiguration", "powerStateEvidence"});
const Tally storedRecords("records kept in the trust store", {"wakeConfiguration", "powerState"});
const Tally fragments("video fragments", {"frame", "buffered", "duplicate", "stale", "refused"},
                      Tally::Need::informational);
const Tally handshake("handshake messages", {"pairingResponse", "decision", "serverReady"}, Tally::Need::informational);

template <class T>
void readSealed(const HandshakeEnvelope& envelope, Kind kind, std::uint64_t receiveSequence, std::size_t tallied) {
    requireRoundTripIfDecoded([&] {
        const EncryptedSessionMessage sealed = HandshakeEnvelope::decodeEncryptedMessage(kind, envelope);
        const auto tablet = SessionCipher::makeForTesting(kSessionKey, SessionRole::initiator, 1, receiveSequence);
        auto message = json::decodeFromBytes<T>(tablet->open(sealed.sequence, sealed.ciphertext, kTranscriptHash));
        handshake.count(tallied);
        return message;
    });
}

// The three messages the connector reads, each as it reads them: the decision
// is the host's first sealed message, the server-ready its second.
void readHandshake(const Bytes& frame) {
    HandshakeEnvelope envelope;
    if (!accepts([&] { envelope = decodeHandshakeEnvelopeFrame(frame); })) return;
    requireRoundTripIfDecoded([&] {
        auto response = HandshakeEnvelope::decodePayload<PairingResponse>(Kind::pairingResponse, envelope);
        handshake.count(std::size_t{0});
        return response;
    });
    readSealed<PairingDecision>(envelope, Kind::encryptedDecision, 0, 1);
    readSealed<ServerSessionReady>(envelope, Kind::encryptedServerReady, 1, 2);
}

// The tablet's trust store holding the host's record.
struct TabletStore {
    std::shared_ptr<InMemorySecureStore> secure = std::make_shared<InMemorySecureStore>();
    TrustedDeviceStore store{secure};
    DevicePublicIdentity host;

    TabletStore() {
        const Bytes key(fixedPrivateKey(1).begin(), fixedPrivateKey(1).begin() + 65); // 04 ‖ X ‖ Y
        host = DevicePublicIdentity{fixedUuid(7), "Mac", fixedUuid(8), key, DeviceFingerprint::fromPublicKey(key)};
        store.trust(TrustedDevice::newlyPaired(host, Date(0), DevicePermissions::all));
    }
};

// What the session does with a host-state update's records: each write
// succeeds, shows the value sent, and what is kept reads back the same.
void keepHostState(const SessionControlMessage& message, std::optional<TabletStore>& kept) {
    if (message.command != Command::hostStateUpdated) return;
    if (message.wakeConfiguration) hostStateRecords.count(std::size_t{0});
    if (message.powerStateEvidence) hostStateRecords.count(std::size_t{1});
    if (!message.wakeConfiguration && !message.powerStateEvidence) return;
    if (!kept) kept.emplace();
    TrustedDeviceStore& store = kept->store;
    const Uuid& host = kept->host.id;
    if (message.wakeConfiguration) {
        store.updateWakeConfiguration(host, *message.wakeConfiguration);
        require(store.device(host)->wakeConfiguration->targets == message.wakeConfiguration->targets);
        storedRecords.count(std::size_t{0});
    }
    if (message.powerStateEvidence) {
        store.updatePowerState(host, *message.powerStateEvidence, message.timestamp);
        require(store.device(host)->wakeConfiguration->lastKnownPowerState == *message.powerStateEvidence);
        storedRecords.count(std::size_t{1});
    }
    require(TrustedDeviceStore(kept->secure).device(host) == store.device(host));
}

struct Session {
    SessionCipher host{kSessionKey, SessionRole::responder};
    SessionCipher tablet{kSessionKey, SessionRole::initiator};
    VideoFrameReassembler reassembler;
    VideoFrameReassembler::Instant now{};
    std::optional<TabletStore> kept;
    std::optional<SessionControlMessage> lastMessage;
    std::uint64_t generation = 0; // of the fragments built
};

void ingest(const Bytes& plaintext, Session& session) {
    using Outcome = VideoFrameReassembler::FragmentOutcome;
    // A refused fragment costs a keyframe request, not the session.
    if (!accepts<VideoProtocolError>([&] {
            const VideoFrameReassembler::IngestResult ingested = session.reassembler.ingest(plaintext, session.now);
            if (const auto* video = std::get_if<EncodedVideoFrame>(&ingested)) {
                require(!video->payload.empty());
                fragments.count(std::size_t{0});
            } else {
                fragments.count(1 + static_cast<std::size_t>(std::get<Outcome>(ingested)));
            }
        })) {
        fragments.count(std::size_t{4});
    }
}

// One frame as the session's receive loop takes it; false ends the session.
bool receive(const Bytes& frame, Session& session) {
    session.lastMessage.reset();
    OpenedSessionFrame opened;
    if (!accepts([&] { opened = openSessionFrame(frame, session.tablet, kTranscriptHash); })) return false;
    if (const auto* fragment = std::get_if<SessionVideoFragment>(&opened)) {
        ingest(fragment->plaintext, session);
        return true;
    }
    const auto& message = session.lastMessage.emplace(std::get<SessionControlMessage>(std::move(opened)));
    requireRoundTrip(message);
    commands.count(static_cast<std::size_t>(message.command));
    keepHostState(message, session.kept);
    return message.command != Command::disconnect && message.command != Command::revoked;
}

Bytes sealedFrame(Session& session, const Bytes& body, int form) {
    const EncryptedSessionMessage sealed = session.host.seal(body, kTranscriptHash);
    if (form == 3) return json::encodeToBytes(HandshakeEnvelope::makeEncrypted(Kind::encryptedSession, sealed));
    return SessionWireFrameCodec::encode(form == 2 ? SessionBinaryChannel::videoFragment
                                                   : SessionBinaryChannel::control,
                                         sealed.sequence, sealed.ciphertext);
}

// Frames in one of six forms: the input's bytes raw (0), sealed in a control
// frame (1), a video frame (2) or an envelope (3); a message built from the
// input (4) or a fragment built from it (5), sealed.
void receiveSession(FuzzedDataProvider& input) {
    Session session;
    while (input.remaining_bytes() > 0) {
        const int form = input.ConsumeIntegralInRange(0, 5);
        session.now += std::chrono::milliseconds(input.ConsumeIntegral<std::uint8_t>());
        if (form == 4) {
            const bool asEnvelope = input.ConsumeBool();
            const SessionControlMessage built = takeSessionMessage(input);
            const bool goesOn = receive(sealedFrame(session, json::encodeToBytes(built), asEnvelope ? 3 : 1), session);
            require(session.lastMessage == built);
            if (!goesOn) return;
            continue;
        }
        if (form == 5) {
            const Bytes packet = VideoFragmentPacket::encode(takeFragment(input, FragmentShapes{}, session.generation));
            require(receive(sealedFrame(session, packet, 2), session));
            continue;
        }
        const Bytes body = takeBytes(input, 4096);
        if (!receive(form == 0 ? body : sealedFrame(session, body, form), session)) return;
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
