// The relay server on 127.0.0.1 against a tablet written by hand: every
// outcome with its audit line and a signed answer bound to the connection;
// connections closed with nothing sent or audited; replays; a store whose
// audit fails; an identity that cannot sign; the listener's life.

#include "support/RelayRig.hpp"
#include "support/SilentConnection.hpp"

#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Status = WakeRelayResponseStatus;

// What one exchange must have brought: this answer, signed by the relay over
// this connection, and exactly one new audit line.
struct Expected {
    Status status;
    std::string message;
    Status auditStatus;
    std::string detail;
    std::int64_t datagramsSent = 0;
};

void expectDecision(RelayRig& h, ScriptedRelayPeer& peer, const RelayExchange& exchange, std::size_t auditBefore,
                    const Expected& expected, bool decoded = true) {
    const std::optional<WakeRelayResponse> response = exchange.response();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->status, expected.status);
    EXPECT_EQ(response->message, expected.message);
    EXPECT_EQ(response->datagramsSent, expected.datagramsSent);
    const std::optional<WakeRelayRequest> request = exchange.request();
    // An undecodable frame is answered under an identifier of the relay's own.
    const Uuid answered = decoded ? request->requestID : response->requestID;
    if (!decoded && request) {
        EXPECT_NE(response->requestID, request->requestID);
    }
    EXPECT_NO_THROW(WakeRelayCrypto::verifyResponse(*response, answered, h.relayPublicIdentity().fingerprint,
                                                    exchange.context));
    const std::vector<WakeRelayAuditEntry> audit = h.store->auditLog();
    ASSERT_EQ(audit.size(), auditBefore + 1);
    const WakeRelayAuditEntry& entry = audit.back();
    EXPECT_EQ(entry.status, expected.auditStatus);
    EXPECT_EQ(entry.detail, expected.detail);
    EXPECT_EQ(entry.clientFingerprintShort, peer.publicIdentity().fingerprint.shortDisplayText());
    EXPECT_EQ(entry.targetMacDeviceID, decoded ? std::optional(request->targetMacDeviceID) : std::nullopt);
}

const Expected kPaired{Status::paired, "Wake relay paired and authorized for your Mac.", Status::paired,
                       "Wake relay paired and authorized for your Mac."};
const Expected kTicketRefused{Status::permissionDenied, "Invalid, expired, or already-used wake relay pairing ticket.",
                              Status::permissionDenied, "Invalid, expired, or already-used wake relay pairing ticket."};
const Expected kNotAuthorized{Status::permissionDenied,
                              "This iPad is not authorized to wake the requested Mac via this relay.",
                              Status::permissionDenied, "Unauthorized client attempted to wake Mac."};
const Expected kNoTarget{Status::targetNotConfigured, "Target Mac is not configured on this Wake Relay.",
                         Status::targetNotConfigured, "Requested Mac target is not configured on relay."};
const Expected kBadVersionOrNonce{Status::malformedRequest, "Invalid wake relay protocol version or nonce.",
                                  Status::malformedRequest, "Rejected invalid nonce or protocol version."};
const Expected kOutsideWindow{Status::replayRejected,
                              "Wake relay request timestamp is outside the allowed 60-second window.",
                              Status::replayRejected, "Rejected expired or out-of-window wake relay request."};
const Expected kAuthenticationFailed{Status::authenticationFailed, "Cryptographic authentication failed.",
                                     Status::authenticationFailed,
                                     "Client signature or TLS certificate binding failed."};
const Expected kReplay{Status::replayRejected, "Replayed wake relay request rejected.", Status::replayRejected,
                       "Blocked replayed wake relay request."};
const Expected kUndecodable{Status::malformedRequest, "Malformed wake relay request.", Status::malformedRequest,
                            "Rejected malformed wake relay request payload."};
const Expected kRateLimited{Status::rateLimited, "Wake relay requests are temporarily rate-limited.",
                            Status::rateLimited, "Rate-limited repeated wake request."};
const Expected kTransmissionFailed{
    Status::packetTransmissionFailed,
    "Wake Relay authenticated your request, but sending the local LAN wake packet failed.",
    Status::packetTransmissionFailed, "Local wake packet transmission failed."};

Expected wakeSent(std::int64_t count) {
    return {Status::wakePacketSent, "Wake request authenticated and local wake packet sent.", Status::wakePacketSent,
            "Authenticated wake request; sent " + std::to_string(count) + " local wake packet(s).", count};
}

WakeRelayAction wake() { return WakeRelayAction::sendWakeSignal(); }
WakeRelayAction pairing(const WakeRelayPairingInvitation& invitation, std::string secret = "") {
    return WakeRelayAction::pairClient(invitation.ticketID, secret.empty() ? invitation.secretHex : secret);
}

TEST(LoopbackRelayServer, EveryOutcomeIsAuditedAndAnsweredSignedForThisConnection) {
    RelayRig h;
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    ScriptedRelayPeer stranger(h.io.get_executor(), "Stranger");
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    const auto invitation = h.invite(mac);
    const auto step = [&](ScriptedRelayPeer& peer, const Uuid& target, WakeRelayAction action, const Expected& expected,
                          ScriptedRelayPeer::Edit afterSigning = {}, Date now = Date::now()) {
        const std::size_t before = h.store->auditLog().size();
        const RelayExchange exchange = h.send(peer, target, std::move(action), now, std::move(afterSigning));
        expectDecision(h, peer, exchange, before, expected);
    };

    step(tablet, mac, pairing(invitation, std::string(64, '0')), kTicketRefused);
    step(tablet, mac, pairing(invitation), kPaired); // the wrong secret spent nothing
    step(tablet, mac, pairing(invitation), kTicketRefused);
    step(tablet, mac, wake(), wakeSent(1));
    ASSERT_EQ(h.transmitter->sent().size(), 1u);
    EXPECT_EQ(h.transmitter->sent()[0].target.ipv4Address, "127.0.0.1");
    step(stranger, mac, wake(), kNotAuthorized);
    const Uuid forgotten = Uuid::random();
    h.store->authorizeClient(tablet.publicIdentity(), forgotten, Date::now());
    step(tablet, forgotten, wake(), kNoTarget);
    step(tablet, mac, wake(), kBadVersionOrNonce, [](auto& r) { r.protocolVersion = 2; });
    step(tablet, mac, wake(), kBadVersionOrNonce, [](auto& r) { r.nonce.resize(31); });
    step(tablet, mac, wake(), kOutsideWindow, {}, Date::now().addingTimeInterval(-61));
    step(tablet, mac, wake(), kAuthenticationFailed, [](auto& r) { r.targetMacDeviceID = Uuid::random(); });
    step(tablet, mac, wake(), kAuthenticationFailed, [&](auto& r) {
        // Signed, and well, by a device that is not this connection's TLS peer.
        r = stranger.request(mac, wake(), Date::now(), {});
    });
    EXPECT_EQ(h.transmitter->sent().size(), 1u); // nothing refused reached the network

    // Frames that are no request: answered under an identifier of the relay's, audited without a target.
    const WakeRelayRequest sample = tablet.request(mac, wake(), Date::now(), {});
    Json bigVersion = json::encode(sample);
    bigVersion["protocolVersion"] = 65536;
    for (const std::string& frame : {std::string("not json"), std::string("{\"requestID\":1}"), json::dump(bigVersion),
                                     std::string(16'384, 'x')}) {
        const std::size_t before = h.store->auditLog().size();
        const RelayExchange exchange = h.exchange(tablet, [&](const TLSChannelContext&) { return bytesOf(frame); });
        expectDecision(h, tablet, exchange, before, kUndecodable, false);
    }
}

TEST(LoopbackRelayServer, ConnectionsThatEndBeforeAWholeRequestGetNothingAndLeaveNoTrace) {
    RelayRigOptions options;
    options.handshakeTimeout = std::chrono::milliseconds(500);
    RelayRig h(options);
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    h.authorize(tablet, mac);
    const TLSDeviceIdentity certificate = tablet.identity().tlsIdentity();
    Bytes header = {0, 0, 0, 100};
    Bytes cut = header;
    cut.resize(14, '{');
    Bytes oversized = {0, 0, 0x40, 0x01};
    oversized.resize(4 + 16'385, 'x');
    const struct {
        const char* name;
        const TLSDeviceIdentity* identity;
        const char* protocol;
        Bytes bytes;
        bool cutShort;
    } rows[] = {
        {"no client certificate", nullptr, kRelayProtocol, {}, false},
        {"the session protocol", &certificate, "velorinth/1", {}, false},
        {"silence", &certificate, kRelayProtocol, {}, false},
        {"a zero-length frame", &certificate, kRelayProtocol, {0, 0, 0, 0}, false},
        {"a 16,385-byte frame", &certificate, kRelayProtocol, oversized, false},
        {"closed mid-frame", &certificate, kRelayProtocol, cut, true},
    };
    for (const auto& row : rows) {
        RawRelayConnection raw(h.io.get_executor(), row.identity, row.protocol);
        const Bytes received = h.run([&]() -> asio::awaitable<Bytes> {
            if (co_await raw.connect(h.port)) co_return Bytes{};
            if (!row.bytes.empty()) co_await raw.write(row.bytes);
            if (row.cutShort) raw.cutShort();
            co_return co_await raw.readUntilClosed();
        }());
        h.idle();
        EXPECT_TRUE(received.empty()) << row.name;
        EXPECT_TRUE(h.store->auditLog().empty()) << row.name;
    }
    EXPECT_TRUE(h.transmitter->attempts().empty());
}

// Over its cap of connections past TLS, a stranger's connection is closed
// before the relay reads anything from it, while the holder keeps its place;
// an authorized client's certificate outranks a stranger's and takes it.
TEST(LoopbackRelayServer, OverTheCapAStrangerNeverReachesTheServerButAnAuthorizedClientTakesAStrangersPlace) {
    RelayRigOptions options;
    options.admission.places.capacity = 1;
    options.admission.places.minimumAge = std::chrono::hours(1); // no stranger's wait ages out here
    options.handshakeTimeout = std::chrono::seconds(30);         // nor does any deadline end it
    RelayRig h(options);
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    ScriptedRelayPeer paired(h.io.get_executor(), "Paired");
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    h.authorize(paired, mac);
    const TLSDeviceIdentity certificate = tablet.identity().tlsIdentity();
    RawRelayConnection holder(h.io.get_executor(), &certificate);
    ASSERT_FALSE(h.run(holder.connect(h.port)));
    h.until([&] { return h.server->connectionsInProgress() == 1; });

    RawRelayConnection over(h.io.get_executor(), &certificate);
    const Bytes received = h.run([&]() -> asio::awaitable<Bytes> {
        if (co_await over.connect(h.port)) co_return Bytes{};
        co_return co_await over.readUntilClosed();
    }());
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(h.server->connectionsInProgress(), 1u);

    holder.cutShort();
    h.idle();
    // The place is free again; this request also lets the relay learn who is authorized.
    const RelayExchange answered = h.exchange(tablet, [](const TLSChannelContext&) { return bytesOf("x"); });
    EXPECT_TRUE(answered.response().has_value());
    EXPECT_EQ(h.store->auditLog().size(), 1u);

    RawRelayConnection stranger(h.io.get_executor(), &certificate);
    ASSERT_FALSE(h.run(stranger.connect(h.port)));
    h.until([&] { return h.server->connectionsInProgress() == 1; });
    const RelayExchange woken = h.run(paired.send(h.port, mac, WakeRelayAction::sendWakeSignal(), Date::now(), {}));
    ASSERT_TRUE(woken.response().has_value());
    EXPECT_EQ(woken.response()->status, Status::wakePacketSent);
    const bool evicted = h.run([&]() -> asio::awaitable<bool> {
        using namespace asio::experimental::awaitable_operators;
        asio::steady_timer guard(h.io, std::chrono::seconds(5));
        auto read = stranger.readUntilClosed();
        auto wait = guard.async_wait(asio::use_awaitable);
        const auto first = co_await (std::move(read) || std::move(wait));
        co_return first.index() == 0 && std::get<0>(first).empty();
    }());
    ASSERT_TRUE(evicted) << "the stranger's connection was to be closed, unanswered";
    h.idle();
    EXPECT_EQ(h.store->auditLog().size(), 2u);
}

// With the relay's own admission, one source's idle sockets get its share of
// places and no more, the 65th like the 5th closed before TLS, and an
// authorized client keeps the place it holds and gets new ones.
TEST(LoopbackRelayServer, OneSourcesIdleSocketsNeverTouchAnAuthorizedClientsPlace) {
    RelayRigOptions options;
    options.admission = WakeRelayServerOptions{}.admission;
    options.handshakeTimeout = std::chrono::seconds(10); // no deadline ends anything here
    RelayRig h(options);
    ScriptedRelayPeer paired(h.io.get_executor(), "Paired");
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    h.authorize(paired, mac);
    // A first wake; after a request the relay knows whom the store authorizes.
    ASSERT_TRUE(h.send(paired, mac, WakeRelayAction::sendWakeSignal()).response().has_value());

    const TLSDeviceIdentity certificate = paired.identity().tlsIdentity();
    RawRelayConnection holder(h.io.get_executor(), &certificate);
    ASSERT_FALSE(h.run(holder.connect(h.port)));
    std::vector<asio::ip::tcp::socket> idle;
    for (int i = 0; i < 65; ++i) idle.push_back(silentConnection(h.io, h.port, "127.0.0.2"));
    EXPECT_TRUE(closedWithin(h, idle.back(), std::chrono::seconds(5))) << "the 65th";
    for (std::size_t i = 0; i + 1 < idle.size(); ++i) {
        // The source's share is its first four; every later one is closed, unanswered.
        EXPECT_EQ(closedWithin(h, idle[i], std::chrono::milliseconds(i < 4 ? 20 : 5000)), i >= 4) << "socket " << i;
    }

    // The authorized client's place was never touched: its request is answered there.
    const Bytes frame{0, 0, 0, 1, 'x'};
    const Bytes answer = h.run([&]() -> asio::awaitable<Bytes> {
        co_await holder.write(frame);
        co_return co_await holder.readUntilClosed();
    }());
    EXPECT_FALSE(answer.empty());
    const RelayExchange woken = h.send(paired, mac, WakeRelayAction::sendWakeSignal());
    ASSERT_TRUE(woken.response().has_value());
    EXPECT_EQ(woken.response()->status, Status::wakePacketSent);
    EXPECT_EQ(h.transmitter->sent().size(), 2u);
}

// A flood of idle sockets that ends returns the relay's freed memory once.
TEST(LoopbackRelayServer, AFloodsEndReturnsFreedMemoryOnce) {
    std::atomic<int> releases{0};
    RelayRigOptions options;
    options.releaseFreedMemory = [&] { ++releases; };
    options.memoryReleaseDelay = std::chrono::milliseconds(200);
    RelayRig h(options);
    const std::size_t spell = WakeRelayServerOptions{}.admission.places.busySpell;
    std::vector<asio::ip::tcp::socket> flood;
    for (std::size_t i = 0; i < spell + 8; ++i) flood.push_back(silentConnection(h.io, h.port));
    h.until([&] { return h.call([&] { return h.server->placesTaken(); }) == spell + 8; });
    EXPECT_EQ(releases, 0);
    flood.clear();
    h.until([&] { return releases > 0; });
    h.settle(std::chrono::milliseconds(400));
    EXPECT_EQ(releases, 1);
}

TEST(LoopbackRelayServer, AConsumedKeyCannotBeRetriedButAnUnverifiedOrUnauthorizedOneConsumedNothing) {
    RelayRig h;
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    const Uuid requestID = Uuid::random();
    const Bytes nonce = WakeRelayCrypto::randomBytes(32);
    const auto sameKey = [&](const ScriptedRelayPeer::Edit& afterSigning) {
        return [&, afterSigning](const TLSChannelContext& context) {
            WakeRelayRequest request = tablet.request(mac, wake(), Date::now(), context.exporterChannelBinding,
                                                      [&](WakeRelayRequest& r) {
                                                          r.requestID = requestID;
                                                          r.nonce = nonce;
                                                      });
            if (afterSigning) afterSigning(request);
            return json::encodeToBytes(request);
        };
    };
    std::size_t before = 0;
    // Refused by verification: no key consumed.
    RelayExchange exchange = h.exchange(tablet, sameKey([](auto& r) { r.signature.back() ^= 1; }));
    expectDecision(h, tablet, exchange, before++, kAuthenticationFailed);
    // Verified, refused for want of authorization: no key consumed either.
    exchange = h.exchange(tablet, sameKey({}));
    expectDecision(h, tablet, exchange, before++, kNotAuthorized);
    EXPECT_TRUE(h.store->load().consumedRequests.empty());
    h.authorize(tablet, mac);
    exchange = h.exchange(tablet, sameKey({}));
    expectDecision(h, tablet, exchange, before++, wakeSent(1));
    // Accepted once: the key is spent.
    exchange = h.exchange(tablet, sameKey({}));
    expectDecision(h, tablet, exchange, before++, kReplay);
    EXPECT_EQ(h.transmitter->attempts().size(), 1u);

    // An unauthorized client naming a Mac the relay does not know learns nothing of it.
    ScriptedRelayPeer stranger(h.io.get_executor(), "Stranger");
    exchange = h.send(stranger, Uuid::random(), wake());
    expectDecision(h, stranger, exchange, before++, kNotAuthorized);
}

TEST(LoopbackRelayServer, TheLocalWakeServiceDecidesTheWakesOutcome) {
    RelayRigOptions options;
    options.cooldown = std::chrono::seconds(60);
    RelayRig h(options);
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    const Uuid mac = Uuid::random();
    const Uuid second = Uuid::random();
    h.addTarget(mac, {"127.0.0.1", "127.0.0.2", "10.0.0.7"});
    h.addTarget(second);
    h.authorize(tablet, mac);
    h.authorize(tablet, second);
    std::size_t before = 0;
    expectDecision(h, tablet, h.send(tablet, mac, wake()), before++, wakeSent(3));
    expectDecision(h, tablet, h.send(tablet, mac, wake()), before++, kRateLimited);
    h.transmitter->failEverySend(std::make_exception_ptr(LocalWakeError::transmissionFailed("no route")));
    expectDecision(h, tablet, h.send(tablet, second, wake()), before++, kTransmissionFailed);
    EXPECT_EQ(h.transmitter->sent().size(), 3u);
}

// A store whose audit cannot be written.
class UnauditedStore final : public WakeRelayConfigurationStore {
public:
    using WakeRelayConfigurationStore::WakeRelayConfigurationStore;
    void appendAuditEntry(const WakeRelayAuditEntry&) override { throw Error("The audit disk is full."); }
};

TEST(LoopbackRelayServer, AFailedAuditChangesNoAnswerAndAnIdentityThatCannotSignAnswersUnsigned) {
    RelayRigOptions options;
    options.store = std::make_shared<UnauditedStore>(std::make_shared<InMemorySecureStore>());
    RelayRig h(options);
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    EXPECT_EQ(h.send(tablet, mac, pairing(h.invite(mac))).response()->status, Status::paired);
    EXPECT_EQ(h.send(tablet, mac, wake()).response()->status, Status::wakePacketSent);
    EXPECT_EQ(h.exchange(tablet, [](const TLSChannelContext&) { return bytesOf("[]"); }).response()->status,
              Status::malformedRequest);
    EXPECT_TRUE(h.store->auditLog().empty());

    // The relay's identity cannot be read: a throwaway identity answers, unsigned, and is audited.
    auto broken = std::make_shared<InMemorySecureStore>();
    broken->setFailure(InMemorySecureStore::Operation::load);
    auto unreadable = std::make_shared<DeviceIdentityService>(broken, [] { return std::string("Relay"); });
    auto auditing = std::make_shared<WakeRelayConfigurationStore>(std::make_shared<InMemorySecureStore>());
    auto server = std::make_shared<WakeRelayServer>(h.io.get_executor(), unreadable, auditing, h.localWake,
                                                    std::chrono::seconds(1), h.storeWorker);
    const WakeRelayRequest request = tablet.request(mac, wake(), Date::now(), {});
    const WakeRelayResponse first = h.run(server->handleRequest(request, std::nullopt));
    const WakeRelayResponse again = h.run(server->handleRequest(request, std::nullopt));
    for (const WakeRelayResponse& response : {first, again}) {
        EXPECT_EQ(response.requestID, request.requestID);
        EXPECT_EQ(response.status, Status::authenticationFailed);
        EXPECT_EQ(response.message, "Internal signing failure.");
        EXPECT_TRUE(response.signature.empty());
        EXPECT_EQ(response.relayIdentity.displayName, "WakeRelay");
        EXPECT_EQ(response.relayIdentity.fingerprint,
                  DeviceFingerprint::fromPublicKey(response.relayIdentity.signingPublicKey));
    }
    EXPECT_NE(first.relayIdentity.id, again.relayIdentity.id);
    EXPECT_NE(first.relayIdentity.signingPublicKey, again.relayIdentity.signingPublicKey);
    EXPECT_EQ(auditing->auditLog().size(), 2u);
}

// The loopback listener, but reporting its end late, after a listener started
// after it is ready: the system's listener may deliver its states that way.
std::unique_ptr<SessionListener> lateReportingListener(const asio::any_io_executor& executor,
                                                       const TLSDeviceIdentity& identity,
                                                       SessionListener::Options options,
                                                       SessionListener::Handlers handlers) {
    handlers.onCancelled = [executor, onCancelled = std::move(handlers.onCancelled)] {
        auto timer = std::make_shared<asio::steady_timer>(executor, std::chrono::milliseconds(50));
        timer->async_wait([timer, onCancelled](const asio::error_code&) {
            if (onCancelled) onCancelled();
        });
    };
    return loopbackListener(executor, identity, std::move(options), std::move(handlers));
}

TEST(LoopbackRelayServer, TheListenersLife) {
    RelayRig h;
    ScriptedRelayPeer tablet(h.io.get_executor(), "Tablet");
    WakeRelayServerOptions options;
    options.listenerFactory = lateReportingListener;
    auto server = std::make_shared<WakeRelayServer>(h.io.get_executor(), h.relayIdentity, h.store, h.localWake,
                                                    std::chrono::seconds(1), h.storeWorker, options);
    h.call([&] { server->start(0); });
    const std::uint16_t first = h.run(server->waitForListeningPort(std::chrono::seconds(1)));
    h.call([&] { server->start(first == 40'000 ? 40'001 : 40'000); }); // a second start keeps the first
    EXPECT_EQ(h.run(server->waitForListeningPort(std::chrono::seconds(1))), first);
    const auto timeout = expectFailure<PairingProtocolError>(h.run(outcome(server->waitForListeningPort({}))));
    EXPECT_EQ(timeout.kind, PairingProtocolError::Case::timedOut);

    // Stopped and started at once: the old listener's late news does not clear the new port.
    h.call([&] {
        server->stop();
        server->start(0);
    });
    const std::uint16_t second = h.run(server->waitForListeningPort(std::chrono::seconds(1)));
    h.settle(std::chrono::milliseconds(150));
    EXPECT_EQ(h.call([&] { return server->currentPort(); }), second);
    EXPECT_EQ(h.run(server->waitForListeningPort(std::chrono::seconds(1))), second);
    EXPECT_TRUE(h.run(tablet.exchange(second, [](const TLSChannelContext&) { return bytesOf("x"); }))
                    .response()
                    .has_value());

    // A port in use: the system's reason, and nothing kept, so another start may follow.
    options.listenerFactory = loopbackListener;
    auto rival = std::make_shared<WakeRelayServer>(h.io.get_executor(), h.relayIdentity, h.store, h.localWake,
                                                   std::chrono::seconds(1), h.storeWorker, options);
    const auto inUse = thrown<NetworkConnectionError>([&] { h.call([&] { rival->start(second); }); });
    EXPECT_EQ(inUse.kind, NetworkConnectionError::Case::network);
    EXPECT_EQ(std::string(inUse.what()), "Network connection failed: Address already in use");
    EXPECT_FALSE(h.call([&] { return rival->currentPort(); }).has_value());
    h.call([&] { rival->start(0); });
    EXPECT_NE(h.run(rival->waitForListeningPort(std::chrono::seconds(1))), second);
    h.call([&] {
        rival->stop();
        server->stop();
    });
    h.settle(std::chrono::milliseconds(100));
}

} // namespace
