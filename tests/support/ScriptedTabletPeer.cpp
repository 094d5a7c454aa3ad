#include "support/ScriptedTabletPeer.hpp"

#include "core/Constants.hpp"
#include "core/Json.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <stdexcept>
#include <utility>

namespace velorinth::testing {

using Kind = HandshakeMessageKind;

ScriptedTabletPeer::ScriptedTabletPeer(asio::any_io_executor executor, asio::thread_pool& kdfWorker, std::string name)
    : identityService(std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(),
                                                              [name] { return name; })),
      executor_(std::move(executor)), pairing_(kdfWorker) {}

DevicePublicIdentity ScriptedTabletPeer::identity() const {
    return identityService->publicIdentity(identityService->loadOrCreateRecord());
}

asio::awaitable<void> ScriptedTabletPeer::connect(std::uint16_t port) {
    connection = NetworkFramedConnection::connect(executor_, {"127.0.0.1", port}, identityService->tlsIdentity(),
                                                   std::nullopt, kMaximumFrameSize,
                                                   VelorinthService::applicationProtocol);
    co_await connection->start();
}

asio::awaitable<void> ScriptedTabletPeer::sendRequest(HandshakePurpose purpose,
                                                      std::function<void(PairingRequest&)> edit) {
    initiator_.emplace(SecurePairingProtocol::createRequest(identityService, purpose, Date::now()));
    if (edit) edit(initiator_->request);
    lastRequest = initiator_->request;
    co_await sendHandshakeEnvelope(*connection, Kind::pairingRequest, initiator_->request);
}

asio::awaitable<HandshakeEnvelope> ScriptedTabletPeer::receiveEnvelope() {
    co_return co_await receiveHandshakeEnvelope(*connection);
}

asio::awaitable<void> ScriptedTabletPeer::answerResponse() {
    const HandshakeEnvelope envelope = co_await receiveEnvelope();
    PairingResponse response = HandshakeEnvelope::decodePayload<PairingResponse>(Kind::pairingResponse, envelope);
    PairingResponseOutcome outcome = SecurePairingProtocol::acceptResponse(
        *initiator_, response, connection->capturedTLSContext(), std::nullopt);
    initiator_.reset();
    co_await sendHandshakeEnvelope(*connection, Kind::pairingConfirmation, outcome.confirmation);
    co_await pairing_.deriveVerificationCode(outcome);
    verification = outcome.verification;
    cipher = std::make_shared<SessionCipher>(verification->sessionKey.view(), SessionRole::initiator);
    transcriptHash = verification->transcriptHash;
}

asio::awaitable<PairingDecision> ScriptedTabletPeer::receiveDecision() {
    const HandshakeEnvelope envelope = co_await receiveEnvelope();
    const EncryptedSessionMessage sealed = HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedDecision, envelope);
    decisionSequence = sealed.sequence;
    const Bytes plaintext = cipher->open(sealed.sequence, sealed.ciphertext, verification->transcriptHash);
    const PairingDecision decision = json::decodeFromBytes<PairingDecision>(plaintext);
    serverHello = decision.serverHello;
    co_return decision;
}

asio::awaitable<void> ScriptedTabletPeer::sendClientReady(std::function<void(ClientSessionReady&)> edit) {
    ClientSessionReady ready;
    ready.sessionID = serverHello ? serverHello->sessionID : Uuid();
    ready.clientHello.protocolVersion = verification->negotiatedProtocolVersion;
    ready.clientHello.supportedVersions = {ProtocolVersion::current};
    ready.clientHello.deviceID = identity().id;
    ready.clientHello.nonce = SecurePairingProtocol::randomBytes(32);
    ready.clientHello.capabilities = capabilities;
    if (edit) edit(ready);
    const Bytes plaintext = json::encodeToBytes(ready);
    const EncryptedSessionMessage sealed = cipher->seal(plaintext, verification->transcriptHash);
    co_await sendHandshakeEnvelope(*connection, HandshakeEnvelope::makeEncrypted(Kind::encryptedClientReady, sealed));
}

asio::awaitable<ServerSessionReady> ScriptedTabletPeer::receiveServerReady() {
    const HandshakeEnvelope envelope = co_await receiveEnvelope();
    const EncryptedSessionMessage sealed =
        HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedServerReady, envelope);
    serverReadySequence = sealed.sequence;
    lastReceivedSequence = sealed.sequence;
    const Bytes plaintext = cipher->open(sealed.sequence, sealed.ciphertext, verification->transcriptHash);
    co_return json::decodeFromBytes<ServerSessionReady>(plaintext);
}

asio::awaitable<void> ScriptedTabletPeer::startHandshake(std::uint16_t port, HandshakePurpose purpose) {
    co_await connect(port);
    co_await sendRequest(purpose);
    co_await answerResponse();
}

asio::awaitable<PairingDecision> ScriptedTabletPeer::runUntilDecision(std::uint16_t port, HandshakePurpose purpose) {
    co_await startHandshake(port, purpose);
    co_return co_await receiveDecision();
}

asio::awaitable<ServerHello> ScriptedTabletPeer::openSession(std::uint16_t port, HandshakePurpose purpose) {
    const PairingDecision decision = co_await runUntilDecision(port, purpose);
    if (!decision.approved || !decision.serverHello) throw std::runtime_error("the host refused the session");
    co_await sendClientReady();
    co_await receiveServerReady();
    co_return *decision.serverHello;
}

void ScriptedTabletPeer::close() {
    if (connection) connection->cancel();
}

SessionControlMessage ScriptedTabletPeer::message(SessionControlCommand command, std::uint64_t sequence) {
    SessionControlMessage message;
    message.command = command;
    message.sequence = sequence;
    message.timestamp = Date::now();
    return message;
}

SessionControlMessage ScriptedTabletPeer::input(std::uint64_t inputSequence) {
    SessionControlMessage input = message(SessionControlCommand::remoteInput);
    input.controlMessage = ControlMessage::input(inputSequence, InputEvent::pointerMove(0.5, 0.5));
    return input;
}

} // namespace velorinth::testing
