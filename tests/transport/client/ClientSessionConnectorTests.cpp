#include "support/TabletRig.hpp"

#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Kind = HandshakeMessageKind;
using Code = HandshakeRejectionCode;
using SaveOp = InMemorySecureStore::Operation;

// What the scripted host does after the tablet's request.
struct HostScript {
    std::optional<HandshakeErrorPayload> refuseRequest = std::nullopt; // an error envelope instead of a response
    std::optional<PairingDecision> decision = std::nullopt;            // none: never decides, waits for the close
    std::optional<Uuid> serverReadySessionID = std::nullopt;           // another identifier than the hello's
    // Set: after the decision (if any) the host closes once this holds, reading nothing more.
    std::function<bool()> closeWhen = nullptr;
};

struct HostResult {
    std::exception_ptr ended; // how the host's last read (or its TLS start) failed
    HostEnd session;          // the running session after an approval
};

// The responder's half of the handshake, built from the security layer.
struct ScriptedHandshakeHost {
    LoopRunner& h;
    asio::thread_pool& kdf;
    Date now;
    std::shared_ptr<DeviceIdentityService> identity =
        std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [] { return "Mac"; });
    LoopbackAcceptor hostEnd{h.io.get_executor(), identity->tlsIdentity()};

    DevicePublicIdentity publicIdentity() { return identity->publicIdentity(identity->loadOrCreateRecord()); }

    asio::awaitable<HostResult> serve(HostScript script) {
        HostResult result;
        std::shared_ptr<NetworkFramedConnection> connection;
        auto readToTheEnd = [&]() -> asio::awaitable<HostResult> {
            result.ended = co_await outcome(connection->receiveFrame());
            co_return result;
        };
        result.ended = co_await outcome([&]() -> asio::awaitable<void> { connection = co_await hostEnd.accept(); }());
        if (result.ended) co_return result;
        const auto request = HandshakeEnvelope::decodePayload<PairingRequest>(
            Kind::pairingRequest, co_await receiveHandshakeEnvelope(*connection));
        if (script.refuseRequest) {
            co_await sendHandshakeEnvelope(*connection, HandshakeEnvelope::makeError(Kind::error, script.refuseRequest->code,
                                                                                     script.refuseRequest->message));
            co_return co_await readToTheEnd();
        }
        const auto context = connection->capturedTLSContext();
        const std::uint16_t version = SecurePairingProtocol::validateRequest(request, context, now);
        PairingResponderState state = SecurePairingProtocol::createResponse(request, version, context, identity);
        co_await sendHandshakeEnvelope(*connection, Kind::pairingResponse, state.response);
        const auto confirmation = HandshakeEnvelope::decodePayload<PairingConfirmation>(
            Kind::pairingConfirmation, co_await receiveHandshakeEnvelope(*connection));
        SecurePairingProtocol pairing(kdf);
        const PairingVerification verification = co_await pairing.handleConfirmation(std::move(state), confirmation);
        if (!script.decision && !script.closeWhen) co_return co_await readToTheEnd();

        auto cipher = std::make_shared<SessionCipher>(verification.sessionKey.view(), SessionRole::responder);
        const Bytes hash = verification.transcriptHash;
        auto sendSealed = [&](Kind kind, const auto& payload) {
            return sendHandshakeEnvelope(*connection,
                                         HandshakeEnvelope::makeEncrypted(kind, cipher->seal(json::encodeToBytes(payload), hash)));
        };
        if (script.decision) co_await sendSealed(Kind::encryptedDecision, *script.decision);
        if (script.closeWhen) {
            co_await until(script.closeWhen);
            connection->cancel();
            co_return result;
        }
        std::optional<HandshakeEnvelope> readyEnvelope;
        result.ended = co_await outcome(
            [&]() -> asio::awaitable<void> { readyEnvelope = co_await receiveHandshakeEnvelope(*connection); }());
        if (result.ended) co_return result;
        const auto sealedReady = HandshakeEnvelope::decodeEncryptedMessage(Kind::encryptedClientReady, *readyEnvelope);
        const auto ready =
            json::decodeFromBytes<ClientSessionReady>(cipher->open(sealedReady.sequence, sealedReady.ciphertext, hash));
        co_await sendSealed(Kind::encryptedServerReady,
                            ServerSessionReady{script.serverReadySessionID.value_or(ready.sessionID)});
        result.session = HostEnd{.connection = connection, .cipher = cipher, .transcriptHash = hash};
        co_return result;
    }
};

struct ConnectOutcome {
    std::shared_ptr<AuthenticatedClientSession> session;
    std::exception_ptr failure;
    HostResult host;
};

struct ConnectorRig {
    LoopRunner h;
    asio::thread_pool kdf{1};
    asio::thread_pool tabletStore{1};
    ManualClocks clock;
    TabletRig tablet;
    ScriptedHandshakeHost host{h, kdf, clock.wall};
    std::vector<std::optional<ObservedNetworkError>> observed;

    ClientSessionConnector connector(ClientSessionConnector::Duration decisionTimeout = 5s) {
        return ClientSessionConnector(h.io.get_executor(), kdf, tabletStore, {5s, decisionTimeout, 1h, 100ms},
                                      clock.clocks());
    }

    ClientSessionConnector::Request request(HandshakePurpose purpose, std::optional<TrustedDevice> trustedHost = {}) {
        tablet.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
        ClientSessionConnector::Request r = tablet.request(host.hostEnd.port(), purpose, std::move(trustedHost));
        r.onNetworkErrorObserved = [this](const std::optional<ObservedNetworkError>& e) { observed.push_back(e); };
        return r;
    }

    ConnectOutcome connect(ClientSessionConnector& connector, ClientSessionConnector::Request r, HostScript script) {
        return h.run([&]() -> asio::awaitable<ConnectOutcome> {
            ConnectOutcome run;
            auto tabletSide = [&]() -> asio::awaitable<void> { run.session = co_await connector.connect(std::move(r)); };
            auto hostSide = [&]() -> asio::awaitable<void> { run.host = co_await host.serve(script); };
            auto [tabletFailure, hostFailure] = co_await (outcome(tabletSide()) && outcome(hostSide()));
            run.failure = tabletFailure;
            if (hostFailure) run.host.ended = hostFailure;
            co_return run;
        }());
    }

    TrustedDevice hostRecord() { return trustedRecord(host.publicIdentity(), DevicePermissions::all, Date(100)); }

    ~ConnectorRig() { h.settle(); }
};

PairingDecision approval(std::uint16_t version = 1) {
    ServerHello hello{
        Uuid::random(), version, {Capability::h264, Capability::hevc, Capability::pointer}, DevicePermissions::all};
    return PairingDecision{true, std::nullopt, std::nullopt, hello};
}

std::string failureText(const std::exception_ptr& failure) {
    try {
        if (failure) std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

} // namespace

TEST(ClientSessionConnector, RefusalsWithoutAUserTextKeepTheirProtocolError) {
    EXPECT_EQ(failureText(ClientSessionConnector::refusalError(Code::unsupportedProtocol, std::nullopt)),
              "This device uses an incompatible Velorinth protocol version.");
    EXPECT_EQ(
        expectFailure<PairingProtocolError>(ClientSessionConnector::refusalError(Code::malformedMessage, "")).kind,
        PairingProtocolError::Case::malformedMessage);
    EXPECT_EQ(expectFailure<PairingProtocolError>(ClientSessionConnector::refusalError(std::nullopt, "ignored")).kind,
              PairingProtocolError::Case::rejected);
    EXPECT_EQ(
        expectFailure<SessionHandshakeError>(ClientSessionConnector::refusalError(Code::userRejected, "Not now.")),
        SessionHandshakeError::rejectedByHost("Not now."));
}

TEST(LoopbackClientSessionConnector, FailuresCloseTheConnectionAndWriteNothing) {
    struct Case {
        HostScript script;
        std::string text;
        std::optional<SessionHandshakeError> exactly = std::nullopt;
        HandshakePurpose purpose = HandshakePurpose::pair;
        std::function<void(ConnectorRig&, TrustedDevice&)> tabletStore = nullptr;
    };
    PairingDecision approvedWithoutHello = approval();
    approvedWithoutHello.serverHello.reset();
    const std::vector<Case> cases = {
        {{.refuseRequest = HandshakeErrorPayload{Code::userRejected, ""}}, "Pairing was rejected on the Mac.",
         SessionHandshakeError::rejectedByHost("")},
        {{.decision = PairingDecision{false, std::nullopt, std::nullopt, std::nullopt}},
         "Pairing was rejected on the Mac."},
        {{.decision = approvedWithoutHello}, "Pairing was rejected on the Mac."},
        {{.decision = approval(2)}, "This device uses an incompatible Velorinth protocol version."},
        {{.decision = approval(), .serverReadySessionID = Uuid::random()},
         "The handshake transcript failed integrity verification. Connection blocked."},
        // Only after a complete handshake: another identity under the Mac's identifier, a Mac revoked here.
        {{.decision = approval()}, std::string(TrustedDeviceStoreError::text(TrustedDeviceStoreError::Case::identityChanged)),
         std::nullopt, HandshakePurpose::pair,
         [](ConnectorRig& rig, TrustedDevice& record) {
             record.identity = makeTestIdentity("Old Mac").publicIdentity;
             record.identity.id = record.id;
             rig.tablet.trust->trust(record);
         }},
        {{.decision = approval()}, std::string(TrustedDeviceStoreError::text(TrustedDeviceStoreError::Case::revokedDevice)),
         std::nullopt, HandshakePurpose::reconnect,
         [](ConnectorRig& rig, TrustedDevice& record) {
             rig.tablet.trust->trust(record);
             rig.tablet.trust->revoke(record.id);
         }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ConnectorRig rig;
        TrustedDevice record = rig.hostRecord();
        if (cases[i].tabletStore) cases[i].tabletStore(rig, record);
        const auto recordBefore = rig.tablet.trust->device(record.id);
        rig.tablet.trustStorage->resetCallCounts();
        auto connector = rig.connector();
        ConnectOutcome run = rig.connect(connector, rig.request(cases[i].purpose, record), cases[i].script);
        EXPECT_EQ(failureText(run.failure), cases[i].text);
        if (cases[i].exactly) {
            EXPECT_EQ(expectFailure<SessionHandshakeError>(run.failure), *cases[i].exactly);
        }
        EXPECT_EQ(rig.observed, std::vector<std::optional<ObservedNetworkError>>{std::nullopt});
        EXPECT_EQ(rig.tablet.trustStorage->callCount(SaveOp::save), 0u);
        EXPECT_EQ(rig.tablet.trust->device(record.id), recordBefore);
        if (!run.host.ended) {
            rig.h.run([&]() -> asio::awaitable<void> {
                run.host.ended = co_await outcome(run.host.session.connection->receiveFrame());
            }());
        }
        EXPECT_NE(run.host.ended, nullptr); // every failure closes the connection
    }
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

// Nobody reads while the tablet's user compares the code: the connection's
// close notice alone ends the question, with what the host said last.
TEST(LoopbackClientSessionConnector, AHostThatClosesWhileTheCodeIsComparedEndsTheQuestionWithItsLastWord) {
    struct Case {
        std::optional<PairingDecision> decision;
        std::string text;
        bool closesOnceShown = true; // else at once, perhaps before the tablet asks
    };
    const std::string closed = NetworkConnectionError(NetworkConnectionError::Case::closed).what();
    const std::vector<Case> cases = {
        {std::nullopt, closed},
        // Approved on the Mac but not yet here: nothing goes on without this side's answer.
        {approval(), closed},
        {PairingDecision{false, Code::approvalTimedOut, std::nullopt, std::nullopt},
         SessionHandshakeError(SessionHandshakeError::Case::approvalTimedOut).what()},
        {PairingDecision{false, Code::userRejected, "Not now.", std::nullopt}, "Not now.", false},
        {std::nullopt, closed, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ConnectorRig rig;
        bool questionCancelled = false;
        rig.tablet.beforeAnswering = [&]() -> asio::awaitable<void> {
            try {
                co_await sleepFor(1h); // a user who never answers; the decision timeout ends the wait
            } catch (...) {
                questionCancelled = true;
                throw;
            }
        };
        HostScript script{.decision = cases[i].decision};
        script.closeWhen = [&, once = cases[i].closesOnceShown] { return !once || !rig.tablet.codesShown.empty(); };
        auto connector = rig.connector(10s);
        ConnectOutcome run = rig.connect(connector, rig.request(HandshakePurpose::pair), script);
        EXPECT_EQ(failureText(run.failure), cases[i].text);
        EXPECT_EQ(run.session, nullptr);
        EXPECT_EQ(rig.tablet.trustStorage->callCount(SaveOp::save), 0u);
        EXPECT_EQ(rig.observed.size(), 1u);
        if (cases[i].closesOnceShown) {
            EXPECT_EQ(rig.tablet.codesShown.size(), 1u);
            EXPECT_TRUE(questionCancelled) << "the question's task is cancelled, not left running";
        }
    }
}
