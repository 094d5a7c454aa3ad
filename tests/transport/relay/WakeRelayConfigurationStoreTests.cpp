// The relay's memory: tickets (expiry edge, wrong and upper-case secrets,
// one use, a stolen id, the spent-but-unauthorized invitation), the replay
// ledger and its cap, authorization, and what reaches the disk when reads,
// decodes or saves fail.

#include "support/LoopRunner.hpp"
#include "support/ScriptedRelayPeer.hpp"
#include "support/TemporaryDirectory.hpp"

#include "core/Digest.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Operation = InMemorySecureStore::Operation;
using Store = WakeRelayConfigurationStore;

const Date kNow = Date::fromUnixSeconds(1'700'000'000);

// Saves go through while `savesLeft` allows, then fail as on a full disk; none: every save goes through.
struct RationedSaves : SecureStore {
    explicit RationedSaves(std::shared_ptr<InMemorySecureStore> inner) : inner(std::move(inner)) {}
    std::optional<Bytes> load(std::string_view service, std::string_view account) override {
        return inner->load(service, account);
    }
    void save(ByteView data, std::string_view service, std::string_view account) override {
        if (savesLeft) {
            if (*savesLeft == 0) throw SecureStoreError(SecureStoreError::Case::saveFailed, ENOSPC);
            --*savesLeft;
        }
        inner->save(data, service, account);
    }
    void deleteItem(std::string_view service, std::string_view account) override {
        inner->deleteItem(service, account);
    }

    const std::shared_ptr<InMemorySecureStore> inner;
    std::optional<std::size_t> savesLeft;
};

struct WakeRelayStore : ::testing::Test {
    std::shared_ptr<InMemorySecureStore> disk = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<Store> store = std::make_shared<Store>(disk);
    const Uuid mac = Uuid::random();
    const Uuid otherMac = Uuid::random();
    std::shared_ptr<DeviceIdentityService> relay = memoryIdentity("Relay");
    std::shared_ptr<DeviceIdentityService> tablet = memoryIdentity("Tablet");

    DevicePublicIdentity identityOf(DeviceIdentityService& service) {
        return service.publicIdentity(service.loadOrCreateRecord());
    }
    void addTarget(const Uuid& id, Date createdAt = kNow) {
        store->upsertTarget(WakeRelayTargetRecord::validate(
            id, "Mac", {WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet,
                                                   MACAddress(std::string_view("02:00:00:00:00:01")),
                                                   std::string("10.0.0.2"))},
            std::nullopt, false, createdAt, false));
    }
    WakeRelayPairingInvitation issue(const Uuid& target, Date at = kNow, double lifetime = 900) {
        const RemoteEndpoint endpoint = RemoteEndpoint::validating(
            "10.0.0.9", 51892, RemoteTransportKind::privateNetwork, std::nullopt, Uuid::random(), at, false);
        return store->issuePairingTicket(endpoint, identityOf(*relay), target, at, lifetime);
    }
    bool redeem(const WakeRelayPairingInvitation& invitation, Date at, const DevicePublicIdentity& client,
                std::string secret = "", std::optional<Uuid> target = std::nullopt) {
        return store->redeemPairingTicket(invitation.ticketID, secret.empty() ? invitation.secretHex : secret,
                                          target.value_or(invitation.targetMacDeviceID), client, at);
    }
    std::size_t saves() const { return disk->callCount(Operation::save); }
    Bytes document() const { return disk->item(Store::service(), Store::kAccount).value_or(Bytes{}); }
};

TEST_F(WakeRelayStore, TicketsRedeemOnceUntilTheirExpiry) {
    addTarget(mac);
    addTarget(otherMac);
    const DevicePublicIdentity client = identityOf(*tablet);

    const auto atExpiry = issue(mac, kNow, 60);
    EXPECT_TRUE(redeem(atExpiry, kNow.addingTimeInterval(60), client)); // expiresAt == now still redeems
    EXPECT_FALSE(redeem(atExpiry, kNow.addingTimeInterval(60), client)); // once only
    EXPECT_TRUE(store->isClientAuthorized(client, mac));

    const auto late = issue(mac, kNow, 60);
    EXPECT_FALSE(redeem(late, kNow.addingTimeInterval(61), client));
    EXPECT_FALSE(store->load().tickets.contains(late.ticketID)); // pruned, and the pruning saved

    const auto forOther = issue(otherMac);
    EXPECT_FALSE(redeem(forOther, kNow, client, "", mac)); // another target's ticket
    EXPECT_FALSE(store->isClientAuthorized(client, otherMac));

    // A wrong secret spends nothing and writes nothing; the right one, in either case, still works.
    const auto ticket = issue(otherMac);
    const std::size_t before = saves();
    EXPECT_FALSE(redeem(ticket, kNow, client, std::string(64, 'a')));
    EXPECT_FALSE(redeem(ticket, kNow, client, ticket.secretHex.substr(1)));
    EXPECT_EQ(saves(), before);
    std::string upper = ticket.secretHex;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    EXPECT_TRUE(redeem(ticket, kNow, client, upper));
    EXPECT_TRUE(store->isClientAuthorized(client, otherMac));
}

TEST_F(WakeRelayStore, IssuedSecretsAreKeptOnlyAsTheirDigest) {
    addTarget(mac);
    const auto invitation = issue(mac);
    EXPECT_EQ(invitation.secretHex.size(), 64u);
    EXPECT_TRUE(std::all_of(invitation.secretHex.begin(), invitation.secretHex.end(),
                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }));
    const WakeRelayTicketRecord stored = store->load().tickets.at(invitation.ticketID);
    EXPECT_EQ(stored.secretSHA256, sha256(bytesOf(invitation.secretHex)));
    EXPECT_EQ(stored.expiresAt, kNow.addingTimeInterval(900));
    const std::string saved = stringOf(document());
    EXPECT_EQ(saved.find(invitation.secretHex), std::string::npos);
    EXPECT_EQ(saved.find(base64Encode(*hexDecode(invitation.secretHex))), std::string::npos);

    // For an unknown Mac, or an expiry no invitation can carry: nothing is issued or written.
    const std::size_t before = saves();
    EXPECT_EQ(thrown<LocalWakeError>([&] { issue(otherMac); }).kind, LocalWakeError::Case::noSavedWakeConfiguration);
    EXPECT_EQ(thrown<WakeRelayClientError>([&] { issue(mac, kNow, std::numeric_limits<double>::infinity()); }).kind(),
              WakeRelayClientError::Case::invalidInvitationFormat);
    EXPECT_EQ(saves(), before);
    EXPECT_EQ(store->load().tickets.size(), 1u);
}

TEST_F(WakeRelayStore, AStolenIdSpendsTheTicketAndAFailedSaveLosesNoInvitation) {
    addTarget(mac);
    const DevicePublicIdentity client = identityOf(*tablet);
    store->authorizeClient(client, otherMac, kNow);
    DevicePublicIdentity impostor = identityOf(*memoryIdentity("Impostor"));
    impostor.id = client.id;

    const auto first = issue(mac);
    EXPECT_EQ(thrown<TrustedDeviceStoreError>([&] { redeem(first, kNow, impostor); }).kind,
              TrustedDeviceStoreError::Case::identityChanged);
    EXPECT_FALSE(store->load().tickets.contains(first.ticketID)); // spent
    EXPECT_EQ(store->clients().front().clientIdentity, client);
    EXPECT_FALSE(redeem(first, kNow, client));

    // The spent ticket and the authorization are one save: when it fails, the ticket is still good.
    const auto second = issue(mac);
    disk->setFailure(Operation::save);
    EXPECT_THROW(redeem(second, kNow, client), SecureStoreError);
    disk->clearFailure(Operation::save);
    EXPECT_FALSE(store->isClientAuthorized(client, mac));
    EXPECT_TRUE(redeem(second, kNow, client));
    EXPECT_TRUE(store->isClientAuthorized(client, mac));

    // A first save that goes through and a second that fails, as when the
    // disk fills meanwhile: the redemption either authorizes with its ticket
    // spent or leaves the ticket good, in memory and on disk.
    const DevicePublicIdentity another = identityOf(*memoryIdentity("Another tablet"));
    const auto third = issue(mac);
    const auto rationed = std::make_shared<RationedSaves>(disk);
    store = std::make_shared<Store>(rationed);
    rationed->savesLeft = 1;
    bool redeemed = false;
    try {
        redeemed = redeem(third, kNow, another);
    } catch (const SecureStoreError&) {
        // the second save
    }
    rationed->savesLeft.reset();
    const bool spent = !store->load().tickets.contains(third.ticketID);
    EXPECT_EQ(redeemed, spent);
    EXPECT_EQ(store->isClientAuthorized(another, mac), spent) << "a spent ticket without its authorization";
    Store reopened(disk);
    EXPECT_EQ(reopened.isClientAuthorized(another, mac), !reopened.load().tickets.contains(third.ticketID));
    if (!spent) {
        EXPECT_TRUE(redeem(third, kNow, another));
    }
    EXPECT_TRUE(store->isClientAuthorized(another, mac));

    // authorizeClient itself refuses other key material and writes nothing.
    const std::size_t before = saves();
    EXPECT_THROW(store->authorizeClient(impostor, mac, kNow), TrustedDeviceStoreError);
    EXPECT_EQ(saves(), before);
}

TEST_F(WakeRelayStore, TheLedgerKeepsFiveMinutesAndFailsClosedWhenFull) {
    EXPECT_TRUE(store->consumeRequest("a", kNow));
    EXPECT_FALSE(store->consumeRequest("a", kNow.addingTimeInterval(300)));
    EXPECT_TRUE(store->consumeRequest("a", kNow.addingTimeInterval(601))); // 301 s after its second record
    EXPECT_TRUE(store->consumeRequest("future", kNow.addingTimeInterval(10'000)));
    EXPECT_FALSE(store->consumeRequest("future", kNow)); // recorded later than now: kept

    auto capped = std::make_shared<Store>(std::make_shared<InMemorySecureStore>(), 3);
    EXPECT_TRUE(capped->consumeRequest("k0", kNow));
    EXPECT_TRUE(capped->consumeRequest("k1", kNow.addingTimeInterval(10)));
    EXPECT_TRUE(capped->consumeRequest("k2", kNow.addingTimeInterval(20)));
    // Full of keys younger than 180 s: refused, nothing dropped.
    EXPECT_FALSE(capped->consumeRequest("k3", kNow.addingTimeInterval(179)));
    EXPECT_EQ(capped->load().consumedRequests.size(), 3u);
    // k0 is 180 s old now, k1 not yet: only k0 makes room.
    EXPECT_TRUE(capped->consumeRequest("k3", kNow.addingTimeInterval(180)));
    const auto ledger = capped->load().consumedRequests;
    EXPECT_EQ(ledger.size(), 3u);
    EXPECT_FALSE(ledger.contains("k0"));
    EXPECT_TRUE(ledger.contains("k1"));
    EXPECT_FALSE(capped->consumeRequest("k3", kNow.addingTimeInterval(181))); // still a replay
}

TEST_F(WakeRelayStore, AuthorizationNeedsEveryCondition) {
    const DevicePublicIdentity client = identityOf(*tablet);
    EXPECT_FALSE(store->isClientAuthorized(client, mac)); // unknown
    store->authorizeClient(client, mac, kNow);
    EXPECT_TRUE(store->isClientAuthorized(client, mac));
    EXPECT_FALSE(store->isClientAuthorized(client, otherMac)); // not granted
    DevicePublicIdentity otherKey = identityOf(*memoryIdentity("Other"));
    otherKey.id = client.id;
    DevicePublicIdentity otherFingerprint = client;
    otherFingerprint.fingerprint = otherKey.fingerprint;
    DevicePublicIdentity keyOnly = client;
    keyOnly.signingPublicKey = otherKey.signingPublicKey;
    for (const auto& presented : {otherKey, otherFingerprint, keyOnly}) {
        EXPECT_FALSE(store->isClientAuthorized(presented, mac));
    }

    // Revoked: nothing, yet the grants stay; a new ticket brings back the union.
    addTarget(otherMac);
    store->revokeClient(client.id);
    EXPECT_FALSE(store->isClientAuthorized(client, mac));
    EXPECT_EQ(store->clients().front().allowedTargetMacIDs, std::set<Uuid>{mac});
    EXPECT_TRUE(redeem(issue(otherMac), kNow.addingTimeInterval(50), client));
    const WakeRelayClientAuthorization record = store->clients().front();
    EXPECT_EQ(record.allowedTargetMacIDs, (std::set<Uuid>{mac, otherMac}));
    EXPECT_EQ(record.authorization, DeviceAuthorization::authorized);
    EXPECT_EQ(record.pairedAt, kNow);
    EXPECT_EQ(thrown<TrustedDeviceStoreError>([&] { store->revokeClient(Uuid::random()); }).kind,
              TrustedDeviceStoreError::Case::untrustedDevice);
}

TEST_F(WakeRelayStore, RemovingATargetTakesItsTicketsAndGrantsOnly) {
    addTarget(mac, kNow.addingTimeInterval(5));
    addTarget(otherMac, kNow);
    EXPECT_EQ(store->targets().front().macDeviceID, otherMac); // by createdAt
    const DevicePublicIdentity client = identityOf(*tablet);
    store->authorizeClient(client, mac, kNow);
    const auto kept = issue(otherMac);
    issue(mac);
    store->consumeRequest("key", kNow);
    store->appendAuditEntry({kNow, "AAAA", mac, WakeRelayResponseStatus::paired, "x"});

    store->removeTarget(mac);
    const Store::PersistedState state = store->load();
    EXPECT_EQ(state.targets.size(), 1u);
    EXPECT_EQ(state.tickets.size(), 1u);
    EXPECT_TRUE(state.tickets.contains(kept.ticketID));
    ASSERT_EQ(state.clients.size(), 1u);
    EXPECT_TRUE(state.clients.begin()->second.allowedTargetMacIDs.empty());
    EXPECT_EQ(state.clients.begin()->second.authorization, DeviceAuthorization::authorized);
    EXPECT_EQ(state.consumedRequests.size(), 1u);
    EXPECT_EQ(state.auditLog.size(), 1u);

    const std::size_t before = saves();
    store->removeTarget(Uuid::random());
    EXPECT_EQ(saves(), before + 1);
}

TEST_F(WakeRelayStore, PersistenceNeverRunsAheadOfTheDiskAndNeverOverwritesWhatItCannotRead) {
    EXPECT_TRUE(store->targets().empty());
    EXPECT_TRUE(store->clients().empty());
    EXPECT_TRUE(store->auditLog().empty());
    EXPECT_EQ(saves(), 0u); // an empty store writes nothing

    // A failed read is not remembered.
    auto fresh = std::make_shared<Store>(disk);
    disk->setFailure(Operation::load);
    EXPECT_THROW(fresh->targets(), SecureStoreError);
    disk->clearFailure(Operation::load);
    EXPECT_TRUE(fresh->targets().empty());

    // A failed save changes nothing in memory either: the key was not recorded.
    disk->setFailure(Operation::save);
    EXPECT_THROW(store->consumeRequest("k", kNow), SecureStoreError);
    disk->clearFailure(Operation::save);
    EXPECT_TRUE(store->consumeRequest("k", kNow));

    // 100 entries at most, the oldest dropped.
    for (int i = 0; i < 101; ++i) {
        store->appendAuditEntry({Date(i), "AAAA", std::nullopt, WakeRelayResponseStatus::paired, std::to_string(i)});
        if (i == 99) {
            EXPECT_EQ(store->auditLog().size(), 100u);
            EXPECT_EQ(store->auditLog().front().detail, "0");
        }
    }
    const auto log = store->auditLog();
    ASSERT_EQ(log.size(), 100u);
    EXPECT_EQ(log.front().detail, "1");
    EXPECT_EQ(log.back().detail, "100");
}

TEST_F(WakeRelayStore, AnUndecodableDocumentFailsEverythingAndStaysAsItIs) {
    addTarget(mac);
    const Bytes good = document();
    std::string twice = stringOf(good);
    const std::size_t list = twice.find("\"targets\":[") + 11;
    const std::size_t end = twice.find(']', twice.find("\"interfaces\":[") + 14);
    const std::string record = twice.substr(list, twice.find('}', end) + 1 - list);
    twice.insert(list, record + ",");
    for (const std::string& broken : {std::string("not json"), std::string("{}"), twice}) {
        disk->setItem(bytesOf(broken), Store::service(), Store::kAccount);
        disk->resetCallCounts();
        auto reader = std::make_shared<Store>(disk);
        const auto refused = thrown<Error>([&] { reader->targets(); });
        EXPECT_EQ(std::string(refused.what()).find("twice") != std::string::npos, broken == twice) << refused.what();
        EXPECT_THROW(reader->upsertTarget(store->targets().front()), Error);
        EXPECT_THROW(reader->consumeRequest("k", kNow), Error);
        EXPECT_THROW(reader->appendAuditEntry({}), Error);
        EXPECT_EQ(saves(), 0u);
        EXPECT_EQ(stringOf(document()), broken);
    }
    disk->setItem(good, Store::service(), Store::kAccount);
    EXPECT_EQ(std::make_shared<Store>(disk)->targets().size(), 1u);
}

TEST_F(WakeRelayStore, ANewStoreOverTheSameDirectorySeesEverything) {
    TemporaryDirectory directory{"velorinth-relay-store"};
    store = std::make_shared<Store>(std::make_shared<FileSecureStore>(directory.path));
    addTarget(mac);
    const DevicePublicIdentity client = identityOf(*tablet);
    const auto pending = issue(mac);
    EXPECT_TRUE(redeem(issue(mac), kNow, client));
    store->consumeRequest("key", kNow);
    store->appendAuditEntry({kNow, "AAAA", mac, WakeRelayResponseStatus::paired, "x"});
    const Store::PersistedState written = store->load();

    const auto reopened = std::make_shared<Store>(std::make_shared<FileSecureStore>(directory.path));
    EXPECT_EQ(reopened->load(), written);
    EXPECT_TRUE(reopened->isClientAuthorized(client, mac));
    EXPECT_TRUE(reopened->redeemPairingTicket(pending.ticketID, pending.secretHex, mac, client, kNow));
    EXPECT_FALSE(reopened->consumeRequest("key", kNow));
}

} // namespace
