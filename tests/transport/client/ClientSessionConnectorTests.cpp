#include "transport/client/ClientTestSupport.hpp"

#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/server/SessionValueTypes.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace velorinth;
using namespace velorinth::testing;
using namespace velorinth::clienttest;

namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;
using SaveOp = InMemorySecureStore::Operation;

// What the scripted host does after the tablet's request.
struct HostScript {
    std::optional<HandshakeErrorPayload> refuseRequest = std::nullopt; // an error envelope instead of a response
    std::optional<PairingDecision> decision = std::nullopt;            // none: never decides, waits for the close
    std::optional<Uuid> serverReadySessionID = std::nullopt;           // another session identifier than the hello's
};

struct HostResult {
    std::optional<PairingRequest> request;
    std::optional<PairingVerification> verification;
    std::optional<ClientSessionReady> ready;
    std::exception_ptr ended; // how the host's last read (or its TLS start) failed
    HostEnd session;          // the running session after an approval
};

// The responder's half of the handshake, built from the security layer.
struct ScriptedHandshakeHost {
    LoopbackHarness& h;
    asio::thread_pool& kdf;
    Date now;
    std::shared_ptr<DeviceIdentityService> identity =
        std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [] { return "Mac"; });
    std::shared_ptr<asio::ssl::context> tls =
        TLSTransportSecurity::makeContext(TLSRole::server, identity->tlsIdentity(), kProtocol);

    DevicePublicIdentity publicIdentity() { return identity->publicIdentity(identity->loadOrCreateRecord()); }

    asio::awaitable<HostResult> serve(HostScript script) {
        HostResult result;
        auto connection = std::make_shared<NetworkFramedConnection>(co_await h.accept(), *tls, kTestFrameLimit, true);
        result.ended = co_await outcome(connection->start());
        if (result.ended) co_return result;
        const auto context = connection->capturedTLSContext();
        const PairingRequest request = HandshakeEnvelope::decodePayload<PairingRequest>(
            Kind::pairingRequest, co_await receiveHandshakeEnvelope(*connection));
        result.request = request;
        if (script.refuseRequest) {
            co_await sendHandshakeEnvelope(
                *connection,
                HandshakeEnvelope::makeError(Kind::error, script.refuseRequest->code, script.refuseRequest->message));
            result.ended = co_await outcome(connection->receiveFrame());
            co_return result;
        }
        const std::uint16_t version = SecurePairingProtocol::validateRequest(request, context, now);
        PairingResponderState state = SecurePairingProtocol::createResponse(request, version, context, identity);
        co_await sendHandshakeEnvelope(*connection, Kind::pairingResponse, state.response);
        const auto confirmation = HandshakeEnvelope::decodePayload<PairingConfirmation>(
            Kind::pairingConfirmation, co_await receiveHandshakeEnvelope(*connection));
        SecurePairingProtocol pairing(kdf);
        const PairingVerification verification = co_await pairing.handleConfirmation(std::move(state), confirmation);
        result.verification = verification;
        if (!script.decision) {
            result.ended = co_await outcome(connection->receiveFrame());
            co_return result;
        }

        auto cipher = std::make_shared<SessionCipher>(verification.sessionKey.view(), SessionRole::responder);
        const Bytes& hash = verification.transcriptHash;
        co_await sendHandshakeEnvelope(
            *connection, HandshakeEnvelope::makeEncrypted(Kind::encryptedDecision,
                                                          cipher->seal(json::encodeToBytes(*script.decision), hash)));
        std::optional<HandshakeEnvelope> readyEnvelope;
        result.ended = co_await outcome(
            [&]() -> asio::awaitable<void> { readyEnvelope = co_await receiveHandshakeEnvelope(*connection); }());
        if (result.ended) co_return result;
        const auto sealedReady = HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedClientReady, *readyEnvelope);
        result.ready =
            json::decodeFromBytes<ClientSessionReady>(cipher->open(sealedReady.sequence, sealedReady.ciphertext, hash));
        const ServerSessionReady serverReady{script.serverReadySessionID.value_or(result.ready->sessionID)};
        co_await sendHandshakeEnvelope(
            *connection, HandshakeEnvelope::makeEncrypted(Kind::encryptedServerReady,
                                                          cipher->seal(json::encodeToBytes(serverReady), hash)));
        result.session.connection = connection;
        result.session.cipher = cipher;
        result.session.transcriptHash = hash;
        co_return result;
    }
};

struct ConnectOutcome {
    std::shared_ptr<AuthenticatedClientSession> session;
    std::exception_ptr failure;
    HostResult host;
};

struct ConnectorRig {
    LoopbackHarness h;
    asio::thread_pool kdf{1};
    ManualClocks clock;
    std::shared_ptr<InMemorySecureStore> tabletSecureStore = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<DeviceIdentityService> tabletIdentity =
        std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [] { return "iPad"; });
    std::shared_ptr<TrustedDeviceStore> store = std::make_shared<TrustedDeviceStore>(tabletSecureStore);
    ScriptedHandshakeHost host{h, kdf, clock.wall};
    SessionEvents events;
    std::vector<std::optional<ObservedNetworkError>> observed;
    std::vector<PairingVerification> codesShown;
    bool confirmCode = true;

    ClientSessionConnector connector(ClientSessionConnector::Duration decisionTimeout = 5s) {
        return ClientSessionConnector(h.io.get_executor(), kdf, {5s, decisionTimeout, 1h, 100ms}, clock.clocks());
    }

    ClientSessionConnector::Request request(HandshakePurpose purpose, std::optional<TrustedDevice> trustedHost = {}) {
        ClientSessionConnector::Request r;
        r.endpoint = h.endpoint();
        r.identityService = tabletIdentity;
        r.trustedDeviceStore = store;
        r.purpose = purpose;
        r.trustedHost = std::move(trustedHost);
        r.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
        r.confirmVerificationCode = [this](const PairingVerification& verification) -> asio::awaitable<bool> {
            codesShown.push_back(verification);
            co_return confirmCode;
        };
        r.sessionHandlers = events.handlers();
        r.onNetworkErrorObserved = [this](const std::optional<ObservedNetworkError>& error) {
            observed.push_back(error);
        };
        return r;
    }

    ConnectOutcome connect(ClientSessionConnector& connector, ClientSessionConnector::Request r, HostScript script) {
        return h.run([&]() -> asio::awaitable<ConnectOutcome> {
            ConnectOutcome run;
            auto tabletSide = [&]() -> asio::awaitable<void> {
                try {
                    run.session = co_await connector.connect(std::move(r));
                } catch (...) {
                    run.failure = std::current_exception();
                }
            };
            auto hostSide = [&]() -> asio::awaitable<void> {
                try {
                    run.host = co_await host.serve(script);
                } catch (...) {
                    run.host.ended = std::current_exception();
                }
            };
            co_await (tabletSide() && hostSide());
            co_return run;
        }());
    }

    TrustedDevice hostRecord(DevicePermissions permissions = DevicePermissions::all) {
        TrustedDevice record;
        record.identity = host.publicIdentity();
        record.id = record.identity.id;
        record.pairedAt = Date(100);
        record.permissions = permissions;
        return record;
    }

    ~ConnectorRig() { h.settle(); }
};

PairingDecision approval(std::uint16_t version = 1) {
    ServerHello hello{
        Uuid::random(), version, {Capability::h264, Capability::hevc, Capability::pointer}, DevicePermissions::all};
    return PairingDecision{true, std::nullopt, std::nullopt, hello};
}

PairingDecision refusal(std::optional<Code> code, std::optional<std::string> reason = std::nullopt) {
    return PairingDecision{false, code, std::move(reason), std::nullopt};
}

std::string failureText(const std::exception_ptr& failure) {
    if (!failure) return "(no failure)";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    }
}

} // namespace

TEST(ClientSessionConnector, RefusalsMapToTheirUserTexts) {
    using Expect = std::pair<std::optional<Code>, std::string>;
    const std::vector<Expect> table = {
        {Code::userRejected, "Pairing was rejected on the Mac."},
        {Code::untrustedDevice, "This iPad is not trusted by the Mac. Pair the devices again."},
        {Code::revokedDevice, "Access for this iPad was revoked on the Mac."},
        {Code::permissionDenied, "This iPad does not have permission to start a session on the Mac."},
        {Code::approvalTimedOut, "Pairing approval timed out on the Mac. Try pairing again."},
        {Code::unsupportedProtocol, "This device uses an incompatible Velorinth protocol version."},
        {Code::pairingBusy, "The Mac is already handling another pairing request."},
        {Code::rateLimited, "Too many pairing attempts were made. Wait a minute and try again."},
        {Code::malformedMessage, "Received a malformed pairing or authentication message."},
        {std::nullopt, "Pairing was rejected on the Mac."},
    };
    for (const auto& [code, text] : table) {
        try {
            std::rethrow_exception(ClientSessionConnector::refusalError(code, std::nullopt));
        } catch (const std::exception& error) {
            EXPECT_EQ(error.what(), text);
        }
    }
    EXPECT_EQ(
        expectFailure<SessionHandshakeError>(ClientSessionConnector::refusalError(Code::userRejected, "Not now.")),
        SessionHandshakeError::rejectedByHost("Not now."));
    EXPECT_EQ(expectFailure<PairingProtocolError>(ClientSessionConnector::refusalError(std::nullopt, "ignored")).kind,
              PairingProtocolError::Case::rejected);
    EXPECT_EQ(
        expectFailure<PairingProtocolError>(ClientSessionConnector::refusalError(Code::malformedMessage, "")).kind,
        PairingProtocolError::Case::malformedMessage);
    EXPECT_STREQ(SessionHandshakeError(SessionHandshakeError::Case::verificationCodeRejected).what(),
                 "Pairing was cancelled because the verification code was not confirmed.");
}

TEST(LoopbackClientSessionConnector, PairingWritesOneMergedRecordAndStartsTheSession) {
    ConnectorRig rig;
    // What the tablet learnt of this Mac before; a re-pairing must keep it.
    TrustedDevice previous = rig.hostRecord(DevicePermissions::connect);
    previous.wakeConfiguration = SavedWakeConfiguration::empty(Date(50));
    previous.remoteEndpoints = {RemoteEndpoint{Uuid::random(), "mac.example.ts.net", 51891, RemoteHostKind::dnsHostname,
                                               RemoteTransportKind::privateNetwork, std::string("Tailscale"), Date(60),
                                               std::nullopt, std::nullopt}};
    previous.preferredRemoteEndpointID = previous.remoteEndpoints[0].id;
    previous.lastSuccessfulEndpointID = previous.remoteEndpoints[0].id;
    previous.lastReachability =
        RemoteReachabilityObservation{previous.remoteEndpoints[0].id, ConnectionRouteKind::privateNetwork, Date(70)};
    rig.store->trust(previous);
    rig.tabletSecureStore->resetCallCounts();

    auto connector = rig.connector();
    const PairingDecision decision = approval();
    ConnectOutcome run = rig.connect(connector, rig.request(HandshakePurpose::pair, previous), {.decision = decision});
    if (run.failure) std::rethrow_exception(run.failure);
    ASSERT_TRUE(run.session && run.host.ready && run.host.verification);

    // Both sides derived the same code; the tablet's user saw it.
    ASSERT_EQ(rig.codesShown.size(), 1u);
    EXPECT_EQ(rig.codesShown[0].verificationCode, run.host.verification->verificationCode);
    EXPECT_EQ(run.host.request->purpose, HandshakePurpose::pair);
    const ClientHello& hello = run.host.ready->clientHello;
    EXPECT_EQ(run.host.ready->sessionID, decision.serverHello->sessionID);
    EXPECT_EQ(hello.protocolVersion, 1);
    EXPECT_EQ(hello.supportedVersions, std::vector<std::uint16_t>{1});
    EXPECT_EQ(hello.deviceID, rig.tabletIdentity->loadOrCreateRecord().id);
    EXPECT_EQ(hello.nonce, run.host.verification->transcriptHash);
    EXPECT_EQ(hello.capabilities, (CapabilitySet{Capability::h264, Capability::pointer, Capability::keyboard}));

    TrustedDevice expected = previous;
    expected.pairedAt = rig.clock.wall;
    expected.lastSuccessfulConnection = rig.clock.wall;
    expected.permissions = DevicePermissions::all;
    EXPECT_EQ(rig.store->device(previous.id), expected);
    EXPECT_EQ(rig.tabletSecureStore->callCount(SaveOp::save), 1u);
    EXPECT_EQ(rig.tabletSecureStore->callCount(SaveOp::deleteItem), 0u);

    const ActiveSessionDescriptor descriptor = run.session->currentDescriptor();
    EXPECT_EQ(descriptor.id, decision.serverHello->sessionID);
    EXPECT_EQ(descriptor.peerIdentity, rig.host.publicIdentity());
    EXPECT_EQ(descriptor.acceptedCapabilities, (CapabilitySet{Capability::h264, Capability::pointer}));
    EXPECT_EQ(descriptor.grantedPermissions, DevicePermissions::all);
    EXPECT_TRUE(descriptor.hostAccessibilityGranted);
    EXPECT_EQ(descriptor.connectedAt, rig.clock.wall);
    EXPECT_TRUE(rig.observed.empty());

    // The seals continue without a gap: the tablet's first ping is its seal 1,
    // the host's first session message its seal 2.
    HostEnd& host = run.host.session;
    rig.h.run([&]() -> asio::awaitable<void> {
        SessionControlMessage ping = co_await host.receive();
        EXPECT_EQ(ping.command, SessionControlCommand::ping);
        SessionControlMessage state = hostMessage(SessionControlCommand::hostStateUpdated);
        state.accessibilityGranted = false;
        co_await host.send(state);
        co_await host.roundTrip();
        co_await run.session->disconnect("Done.");
    }());
    ASSERT_EQ(rig.events.descriptors.size(), 1u);
    EXPECT_FALSE(rig.events.descriptors[0].hostAccessibilityGranted);
    EXPECT_EQ(rig.events.terminations,
              std::vector<SessionTerminationReason>{SessionTerminationReason::localDisconnect()});
    host.connection->cancel();
}

TEST(LoopbackClientSessionConnector, ReconnectAuthorizesAndRecordsTheConnectionOrFailsAfterTheHandshake) {
    ConnectorRig rig;
    const TrustedDevice record = rig.hostRecord();
    rig.store->trust(record);
    auto connector = rig.connector();

    ClientSessionConnector::Request request = rig.request(HandshakePurpose::reconnect, record);
    request.endpoint.host = "localhost"; // a name: the connection resolves it
    request.confirmVerificationCode = nullptr;
    ConnectOutcome run = rig.connect(connector, std::move(request), {.decision = approval()});
    if (run.failure) std::rethrow_exception(run.failure);
    EXPECT_EQ(run.host.request->purpose, HandshakePurpose::reconnect);
    TrustedDevice expected = record;
    expected.lastSuccessfulConnection = rig.clock.wall;
    EXPECT_EQ(rig.store->device(record.id), expected);
    rig.h.run(run.session->disconnect(""));
    run.host.session.connection->cancel();

    // Revoked on this side: refused by the store after a complete handshake.
    rig.store->revoke(record.id);
    rig.tabletSecureStore->resetCallCounts();
    ConnectOutcome refused =
        rig.connect(connector, rig.request(HandshakePurpose::reconnect, record), {.decision = approval()});
    EXPECT_EQ(expectFailure<TrustedDeviceStoreError>(refused.failure).kind,
              TrustedDeviceStoreError::Case::revokedDevice);
    EXPECT_TRUE(refused.host.ready.has_value());
    EXPECT_EQ(rig.tabletSecureStore->callCount(SaveOp::save), 0u);
    rig.h.run([&]() -> asio::awaitable<void> {
        auto read = co_await outcome(refused.host.session.connection->receiveFrame());
        EXPECT_NE(read, nullptr); // the host's session ends with the close
    }());
}

TEST(LoopbackClientSessionConnector, APinnedIdentityMismatchBlocksTheConnectionAndWritesNothing) {
    ConnectorRig rig;
    TrustedDevice impostorRecord = rig.hostRecord();
    impostorRecord.identity = makeTestIdentity("Other Mac").publicIdentity; // the pin names another key
    impostorRecord.identity.id = impostorRecord.id;
    auto connector = rig.connector();
    rig.tabletSecureStore->resetCallCounts();
    ConnectOutcome run = rig.connect(connector, rig.request(HandshakePurpose::reconnect, impostorRecord), {});
    EXPECT_EQ(expectFailure<PairingProtocolError>(run.failure).kind, PairingProtocolError::Case::identityMismatch);
    EXPECT_EQ(rig.observed.size(), 1u);
    EXPECT_NE(run.host.ended, nullptr);
    EXPECT_EQ(rig.tabletSecureStore->callCount(SaveOp::save), 0u);
}

TEST(LoopbackClientSessionConnector, HostRefusalsReachTheTabletWithTheirTexts) {
    // One case per path: an error envelope, a refused decision, a bad approval,
    // a bad ready message. Every code's text is checked above.
    struct Case {
        HostScript script;
        std::string text;
        std::optional<SessionHandshakeError> exactly = std::nullopt;
    };
    PairingDecision approvedWithoutHello = approval();
    approvedWithoutHello.serverHello.reset();
    const std::vector<Case> cases = {
        {{.refuseRequest = HandshakeErrorPayload{Code::rateLimited, "Slow down."}},
         "Too many pairing attempts were made. Wait a minute and try again."},
        {{.refuseRequest = HandshakeErrorPayload{Code::userRejected, ""}}, "Pairing was rejected on the Mac.",
         SessionHandshakeError::rejectedByHost("")},
        {{.decision = refusal(Code::userRejected)}, "Pairing was rejected on the Mac.",
         SessionHandshakeError::rejectedByHost("Pairing was rejected on the Mac.")},
        {{.decision = refusal(std::nullopt)}, "Pairing was rejected on the Mac."},
        {{.decision = approvedWithoutHello}, "Pairing was rejected on the Mac."},
        {{.decision = approval(2)}, "This device uses an incompatible Velorinth protocol version."},
        {{.decision = approval(), .serverReadySessionID = Uuid::random()},
         "The handshake transcript failed integrity verification. Connection blocked."},
    };
    ConnectorRig rig;
    auto connector = rig.connector();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        rig.observed.clear();
        rig.tabletSecureStore->resetCallCounts();
        ConnectOutcome run = rig.connect(connector, rig.request(HandshakePurpose::pair), cases[i].script);
        EXPECT_EQ(failureText(run.failure), cases[i].text);
        if (cases[i].exactly) {
            EXPECT_EQ(expectFailure<SessionHandshakeError>(run.failure), *cases[i].exactly);
        }
        EXPECT_EQ(rig.observed, std::vector<std::optional<ObservedNetworkError>>{std::nullopt});
        EXPECT_EQ(rig.tabletSecureStore->callCount(SaveOp::save), 0u);
        if (!run.host.ended) {
            rig.h.run([&]() -> asio::awaitable<void> {
                run.host.ended = co_await outcome(run.host.session.connection->receiveFrame());
            }());
        }
        EXPECT_NE(run.host.ended, nullptr); // every failure closes the connection
    }
}

TEST(LoopbackClientSessionConnector, ARefusedCodeReachesTheHostOnlyAsTheClose) {
    ConnectorRig rig;
    rig.confirmCode = false;
    auto connector = rig.connector();
    ConnectOutcome run = rig.connect(connector, rig.request(HandshakePurpose::pair), {});
    EXPECT_EQ(expectFailure<SessionHandshakeError>(run.failure).kind,
              SessionHandshakeError::Case::verificationCodeRejected);
    EXPECT_EQ(rig.codesShown.size(), 1u);
    // The host was waiting for anything at all and read only the end of the stream.
    EXPECT_EQ(expectFailure<NetworkConnectionError>(run.host.ended).kind, NetworkConnectionError::Case::closed);
}

TEST(LoopbackClientSessionConnector, ALateDecisionTimesOutAndARefusedPortIsObserved) {
    ConnectorRig rig;
    auto impatient = rig.connector(150ms);
    ConnectOutcome run = rig.connect(impatient, rig.request(HandshakePurpose::pair), {}); // the host never decides
    EXPECT_EQ(expectFailure<PairingProtocolError>(run.failure).kind, PairingProtocolError::Case::timedOut);
    EXPECT_NE(run.host.ended, nullptr);

    ClientSessionConnector::Request request = rig.request(HandshakePurpose::pair);
    request.endpoint.port = [&] {
        asio::ip::tcp::acceptor closed(rig.h.io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        return closed.local_endpoint().port();
    }();
    rig.observed.clear();
    auto failure = rig.h.run(outcome(impatient.connect(std::move(request))));
    EXPECT_EQ(expectFailure<NetworkConnectionError>(failure).kind, NetworkConnectionError::Case::network);
    ASSERT_EQ(rig.observed.size(), 1u);
    ASSERT_TRUE(rig.observed[0].has_value());
    EXPECT_EQ(rig.observed[0]->kind, ObservedNetworkError::Kind::posix);
    EXPECT_EQ(rig.observed[0]->code, ECONNREFUSED);
}

TEST(LoopbackClientSessionConnector, RePairingAnotherIdentityUnderTheSameIdentifierIsRefused) {
    ConnectorRig rig;
    TrustedDevice stale = rig.hostRecord();
    stale.identity = makeTestIdentity("Old Mac").publicIdentity;
    stale.identity.id = stale.id;
    rig.store->trust(stale);
    rig.tabletSecureStore->resetCallCounts();
    auto connector = rig.connector();
    ConnectOutcome run = rig.connect(connector, rig.request(HandshakePurpose::pair, stale), {.decision = approval()});
    EXPECT_EQ(expectFailure<TrustedDeviceStoreError>(run.failure).kind, TrustedDeviceStoreError::Case::identityChanged);
    EXPECT_EQ(rig.store->device(stale.id), stale);
    EXPECT_EQ(rig.tabletSecureStore->callCount(SaveOp::save), 0u);
    if (run.host.session.connection) run.host.session.connection->cancel();
}
