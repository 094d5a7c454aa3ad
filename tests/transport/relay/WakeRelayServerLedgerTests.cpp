// Who takes a place in the relay's replay ledger: a request that could act (a
// client authorized for its target, a ticket that would redeem) and nothing
// else. Strangers, impostors, revoked clients and bad tickets are refused as
// before, with their audit lines, but leave the ledger and the rest of the
// document as they were, whatever their number. Time is the server's injected
// clock; the server is driven without its listener.

#include "support/FakeWakePacketTransmitter.hpp"
#include "support/LoopRunner.hpp"
#include "support/ScriptedRelayPeer.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"
#include "transport/relay/WakeRelayServer.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Operation = InMemorySecureStore::Operation;
using State = WakeRelayConfigurationStore::PersistedState;
using Status = WakeRelayResponseStatus;

const std::string kNotAuthorized = "This iPad is not authorized to wake the requested Mac via this relay.";
const std::string kTicketRefused = "Invalid, expired, or already-used wake relay pairing ticket.";
const std::string kReplay = "Replayed wake relay request rejected.";
const std::string kPaired = "Wake relay paired and authorized for your Mac.";

struct RelayLedger : ::testing::Test, LoopRunner {
    asio::thread_pool storeWorker{1};
    std::shared_ptr<InMemorySecureStore> disk = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<WakeRelayConfigurationStore> store = std::make_shared<WakeRelayConfigurationStore>(disk);
    std::shared_ptr<FakeWakePacketTransmitter> transmitter =
        std::make_shared<FakeWakePacketTransmitter>(io.get_executor());
    std::shared_ptr<LocalWakeService> localWake = std::make_shared<LocalWakeService>(
        io.get_executor(), transmitter, WakeDispatchPolicy({9}, std::chrono::seconds(0), 1'000'000, 1s, true));
    Date now = Date::fromUnixSeconds(1'700'000'000);
    std::shared_ptr<WakeRelayServer> server = makeServer(store);

    ScriptedRelayPeer tablet{io.get_executor(), "Tablet"};
    ScriptedRelayPeer stranger{io.get_executor(), "Stranger"};
    const Uuid mac = Uuid::random();
    const Bytes binding = Bytes(32, 0x5C);

    ~RelayLedger() override { storeWorker.join(); }

    std::shared_ptr<WakeRelayServer> makeServer(std::shared_ptr<WakeRelayConfigurationStore> over) {
        WakeRelayServerOptions options;
        options.clock = [this] { return now; };
        return std::make_shared<WakeRelayServer>(io.get_executor(), memoryIdentity("Relay"), std::move(over),
                                                 localWake, 1s, storeWorker, options);
    }

    void addTarget(const Uuid& target) {
        std::vector<WakeNetworkInterfaceTarget> interfaces;
        interfaces.emplace_back("eth0", WakeInterfaceKind::ethernet,
                                MACAddress(std::string_view("02:00:00:AA:BB:CC")), "192.168.1.20");
        store->upsertTarget(
            WakeRelayTargetRecord::validate(target, "Mac", std::move(interfaces), std::nullopt, false, now, false));
    }
    WakeRelayPairingInvitation invite(const Uuid& target, double lifetimeSeconds = 900) {
        const RemoteEndpoint endpoint = RemoteEndpoint::validating(
            "192.168.1.2", 51892, RemoteTransportKind::privateNetwork, std::nullopt, Uuid::random(), now, false);
        const auto relay = memoryIdentity("Relay");
        return store->issuePairingTicket(endpoint, relay->publicIdentity(relay->loadOrCreateRecord()), target, now,
                                         lifetimeSeconds);
    }

    // Signed by `peer` over this test's binding, as its own TLS peer.
    WakeRelayRequest request(ScriptedRelayPeer& peer, const Uuid& target, WakeRelayAction action,
                             const ScriptedRelayPeer::Edit& beforeSigning = {}) {
        return peer.request(target, std::move(action), now, binding, beforeSigning);
    }
    WakeRelayResponse decide(const WakeRelayRequest& request, WakeRelayServer* by = nullptr) {
        const DevicePublicIdentity& client = request.clientIdentity;
        TLSChannelContext context{client.signingPublicKey, client.fingerprint, binding};
        return run((by != nullptr ? by : server.get())->handleRequest(request, std::move(context)), 60s);
    }
    std::size_t saves() const { return disk->callCount(Operation::save); }
};

WakeRelayAction wake() { return WakeRelayAction::sendWakeSignal(); }
WakeRelayAction pairing(const Uuid& ticket, const std::string& secret) {
    return WakeRelayAction::pairClient(ticket, secret);
}

TEST_F(RelayLedger, ARequestThatCouldNotActLeavesTheLedgerAsItWas) {
    addTarget(mac);
    const Uuid otherMac = Uuid::random();
    addTarget(otherMac);
    const auto ticket = invite(mac);
    const auto shortTicket = invite(mac, 10);
    ScriptedRelayPeer revoked(io.get_executor(), "Revoked");
    ScriptedRelayPeer elsewhere(io.get_executor(), "Elsewhere");
    store->authorizeClient(tablet.publicIdentity(), mac, now);
    store->authorizeClient(revoked.publicIdentity(), mac, now);
    store->revokeClient(revoked.publicIdentity().id);
    store->authorizeClient(elsewhere.publicIdentity(), otherMac, now);
    // One key of the tablet's in the ledger, to see that nothing moves it.
    ASSERT_EQ(decide(request(tablet, mac, wake())).status, Status::wakePacketSent);
    const Uuid tabletID = tablet.publicIdentity().id;

    const struct {
        const char* name;
        ScriptedRelayPeer* peer;
        Uuid target;
        WakeRelayAction action;
        ScriptedRelayPeer::Edit edit;
        double later;
        const std::string* message;
    } rows[] = {
        {"a stranger's wake", &stranger, mac, wake(), {}, 0, &kNotAuthorized},
        {"a stranger's wake of an unknown Mac", &stranger, Uuid::random(), wake(), {}, 0, &kNotAuthorized},
        {"a key of its own under the tablet's id", &stranger, mac, wake(),
         [&](WakeRelayRequest& r) { r.clientIdentity.id = tabletID; }, 0, &kNotAuthorized},
        {"a revoked client", &revoked, mac, wake(), {}, 0, &kNotAuthorized},
        {"a client of another Mac", &elsewhere, mac, wake(), {}, 0, &kNotAuthorized},
        {"an unknown ticket", &stranger, mac, pairing(Uuid::random(), ticket.secretHex), {}, 0, &kTicketRefused},
        {"a wrong secret", &stranger, mac, pairing(ticket.ticketID, std::string(64, '0')), {}, 0, &kTicketRefused},
        {"a ticket for another Mac", &stranger, otherMac, pairing(ticket.ticketID, ticket.secretHex), {}, 0,
         &kTicketRefused},
        {"an expired ticket", &stranger, mac, pairing(shortTicket.ticketID, shortTicket.secretHex), {}, 11,
         &kTicketRefused},
    };
    const Date start = now;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        now = start.addingTimeInterval(row.later);
        const State before = store->load();
        const std::size_t savesBefore = saves();
        const WakeRelayRequest sent = request(*row.peer, row.target, row.action, row.edit);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const WakeRelayResponse response = decide(sent);
            EXPECT_EQ(response.status, Status::permissionDenied);
            EXPECT_EQ(response.message, *row.message);
        }
        // Refused alike the second time: no place taken, and one save each, its audit line.
        State after = store->load();
        EXPECT_EQ(after.auditLog.size(), before.auditLog.size() + 2);
        after.auditLog = before.auditLog;
        EXPECT_EQ(after, before);
        EXPECT_EQ(saves(), savesBefore + 2);
    }
    EXPECT_EQ(transmitter->attempts().size(), 1u);
    EXPECT_TRUE(store->isPairingTicketRedeemable(ticket.ticketID, ticket.secretHex, mac, start));
}

TEST_F(RelayLedger, ARequestThatCouldActIsRecordedAndItsKeyRefusedAfterwards) {
    addTarget(mac);
    const auto ticket = invite(mac);
    // A new key with a good ticket takes its place, then pairs.
    const WakeRelayRequest pair = request(stranger, mac, pairing(ticket.ticketID, ticket.secretHex));
    const WakeRelayResponse paired = decide(pair);
    EXPECT_EQ(paired.message, kPaired);
    EXPECT_TRUE(store->load().consumedRequests.contains(WakeRelayServer::requestKey(pair)));
    EXPECT_EQ(decide(pair).message, kReplay);

    // A wake refused while the tablet was unknown passes once it is authorized, once.
    const WakeRelayRequest early = request(tablet, mac, wake());
    EXPECT_EQ(decide(early).message, kNotAuthorized);
    store->authorizeClient(tablet.publicIdentity(), mac, now);
    EXPECT_EQ(decide(early).status, Status::wakePacketSent);
    EXPECT_EQ(decide(early).message, kReplay);
    // Revoked, its spent key is still a replay, not merely unauthorized.
    store->revokeClient(tablet.publicIdentity().id);
    EXPECT_EQ(decide(early).message, kReplay);
    EXPECT_EQ(decide(request(tablet, mac, wake())).message, kNotAuthorized);
    EXPECT_EQ(store->load().consumedRequests.size(), 2u);
}

// A store that cannot be read refuses a stranger as a replay, as its ledger would.
TEST_F(RelayLedger, AnUnreadableStoreRefusesAsAReplay) {
    auto unreadable = std::make_shared<InMemorySecureStore>();
    unreadable->setFailure(Operation::load);
    const auto blind = makeServer(std::make_shared<WakeRelayConfigurationStore>(unreadable));
    for (WakeRelayAction action : {wake(), pairing(Uuid::random(), std::string(64, 'a'))}) {
        const WakeRelayResponse response = decide(request(stranger, mac, action), blind.get());
        EXPECT_EQ(response.status, Status::replayRejected);
        EXPECT_EQ(response.message, kReplay);
    }
    EXPECT_EQ(unreadable->callCount(Operation::save), 0u);
}

TEST_F(RelayLedger, AStrangersFiveThousandRequestsLeaveTheDocumentWithinItsBoundedAudit) {
    constexpr int kRequests = 5'000;
    addTarget(mac);
    const auto ticket = invite(mac);
    store->authorizeClient(tablet.publicIdentity(), mac, now);
    ASSERT_EQ(decide(request(tablet, mac, wake())).status, Status::wakePacketSent);
    const Uuid tabletID = tablet.publicIdentity().id;
    const State before = store->load();
    const std::size_t savesBefore = saves();

    // About 25 a second for 200 s, each action a stranger can sign in turn.
    const auto flood = [&]() -> asio::awaitable<int> {
        int answered = 0;
        for (int i = 0; i < kRequests; ++i) {
            now = now.addingTimeInterval(0.04);
            WakeRelayRequest sent;
            switch (i % 4) {
            case 0: sent = request(stranger, mac, wake()); break;
            case 1:
                sent = request(stranger, mac, wake(), [&](WakeRelayRequest& r) { r.clientIdentity.id = tabletID; });
                break;
            case 2: sent = request(stranger, mac, pairing(Uuid::random(), ticket.secretHex)); break;
            default: sent = request(stranger, mac, pairing(ticket.ticketID, std::string(64, 'f'))); break;
            }
            const DevicePublicIdentity& client = sent.clientIdentity;
            // Named: g++ 12 destroys some temporaries of a co_await expression twice.
            std::optional<TLSChannelContext> context =
                TLSChannelContext{client.signingPublicKey, client.fingerprint, binding};
            const WakeRelayResponse response = co_await server->handleRequest(sent, std::move(context));
            if (response.status == Status::permissionDenied) ++answered;
        }
        co_return answered;
    };
    EXPECT_EQ(run(flood(), 120s), kRequests);

    State after = store->load();
    ASSERT_EQ(after.auditLog.size(), WakeRelayConfigurationStore::kAuditLogLimit);
    EXPECT_EQ(after.consumedRequests, before.consumedRequests);
    EXPECT_EQ(saves() - savesBefore, static_cast<std::size_t>(kRequests)); // the audit line's, nothing else
    // The document is what it was with a full audit log of these lines.
    State bound = before;
    bound.auditLog.assign(WakeRelayConfigurationStore::kAuditLogLimit, after.auditLog.back());
    EXPECT_LE(json::encodeToBytes(after).size(), json::encodeToBytes(bound).size());
    after.auditLog = before.auditLog;
    EXPECT_EQ(after, before);

    // The paired tablet still wakes its Mac, and the invitation still pairs.
    EXPECT_EQ(decide(request(tablet, mac, wake())).status, Status::wakePacketSent);
    ScriptedRelayPeer invited(io.get_executor(), "Invited");
    EXPECT_EQ(decide(request(invited, mac, pairing(ticket.ticketID, ticket.secretHex))).message, kPaired);
}

} // namespace
