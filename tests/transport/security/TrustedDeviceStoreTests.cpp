#include "transport/security/TrustedDeviceStore.hpp"

#include "platform/InMemorySecureStore.hpp"

#include "support/GatedSecureStore.hpp"
#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using Case = TrustedDeviceStoreError::Case;
using Operation = InMemorySecureStore::Operation;
using P = DevicePermissions;

DevicePublicIdentity makeIdentity(std::uint8_t seed) {
    Bytes key(65, seed);
    key[0] = 0x04;
    return DevicePublicIdentity{Uuid::random(), "Device " + std::to_string(seed), Uuid::random(), key,
                                DeviceFingerprint::fromPublicKey(key)};
}

TrustedDevice makeRecord(const DevicePublicIdentity& identity, double pairedAt = 100, P permissions = P::all) {
    TrustedDevice record;
    record.id = identity.id;
    record.identity = identity;
    record.pairedAt = Date(pairedAt);
    record.permissions = permissions;
    return record;
}

void expectError(Case kind, const std::function<void()>& operation) {
    EXPECT_EQ(velorinth::testing::thrown<TrustedDeviceStoreError>(operation).kind, kind);
}

class TrustedDeviceStoreTest : public ::testing::Test {
protected:
    std::size_t saves() const { return secure->callCount(Operation::save); }
    std::vector<TrustedDevice> storedRecords() const {
        return json::decodeFromBytes<std::vector<TrustedDevice>>(
            secure->item(TrustedDeviceStore::service(), TrustedDeviceStore::kAccount).value());
    }
    void expectAuthorizeError(Case kind, const DevicePublicIdentity& peer, P required = P::connect) {
        expectError(kind, [&] { store.authorize(peer, required); });
    }

    std::shared_ptr<InMemorySecureStore> secure = std::make_shared<InMemorySecureStore>();
    TrustedDeviceStore store{secure};
    DevicePublicIdentity alice = makeIdentity(1);
    DevicePublicIdentity bob = makeIdentity(2);
};

TEST_F(TrustedDeviceStoreTest, AuthorizeRefusesInItsOrder) {
    expectAuthorizeError(Case::untrustedDevice, alice);
    auto limited = makeRecord(alice, 100, P::connect);
    store.trust(limited);
    EXPECT_EQ(store.authorize(alice, P::connect), limited);
    expectAuthorizeError(Case::permissionDenied, alice, P::screenView);

    // Another key or fingerprint under the id is reported before anything else.
    auto otherKey = alice;
    otherKey.signingPublicKey[1] ^= 1;
    auto otherFingerprint = alice;
    otherFingerprint.fingerprint = bob.fingerprint;
    for (const auto& peer : {otherKey, otherFingerprint}) expectAuthorizeError(Case::identityChanged, peer);

    store.revoke(alice.id); // revoked goes before a missing permission
    expectAuthorizeError(Case::revokedDevice, alice, P::screenView);
    expectAuthorizeError(Case::identityChanged, otherKey);

    // No record under the id: the same discovery name with another key means a
    // reinstalled device; with the same fingerprint it is just unknown.
    auto reinstalled = bob;
    reinstalled.discoveryInstanceID = alice.discoveryInstanceID;
    expectAuthorizeError(Case::identityChanged, reinstalled);
    reinstalled.fingerprint = alice.fingerprint;
    expectAuthorizeError(Case::untrustedDevice, reinstalled);
}

TEST_F(TrustedDeviceStoreTest, TrustWritesOnceAndRefusesAnotherIdentity) {
    auto first = makeRecord(alice, 200);
    first.authorization = DeviceAuthorization::revoked;
    store.trust(first);
    auto repaired = makeRecord(alice, 300, P::connect);
    repaired.identity.displayName = "Renamed";
    store.trust(repaired);
    EXPECT_EQ(saves(), 2u); // a re-pairing is a single write
    EXPECT_EQ(store.device(alice.id), repaired);

    auto otherKey = makeRecord(alice);
    otherKey.identity.signingPublicKey[5] ^= 1;
    auto otherFingerprint = makeRecord(alice);
    otherFingerprint.identity.fingerprint = bob.fingerprint;
    for (const auto& record : {otherKey, otherFingerprint}) {
        expectError(Case::identityChanged, [&] { store.trust(record); });
    }
    EXPECT_EQ(saves(), 2u);
    EXPECT_EQ(storedRecords(), std::vector<TrustedDevice>{repaired});

    auto early = makeRecord(bob, 100); // stored and listed by pairedAt
    store.trust(early);
    EXPECT_EQ(storedRecords(), (std::vector<TrustedDevice>{early, repaired}));
    EXPECT_EQ(store.allDevices(), storedRecords());
}

TEST_F(TrustedDeviceStoreTest, ACorruptedItemIsReportedNeverReplacedAndDeleteAllRecovers) {
    Json valid = json::encode(std::vector<TrustedDevice>{makeRecord(alice)});
    Json mismatchedId = valid;
    mismatchedId[0]["id"] = bob.id.uuidString();
    Json shortFingerprint = valid;
    shortFingerprint[0]["identity"]["fingerprint"]["bytes"] = base64Encode(Bytes(31, 1));
    Json duplicated = valid;
    duplicated.push_back(valid[0]);
    for (const std::string& content : {std::string("not json"), std::string("{}"), std::string("[{\"id\":1}]"),
                                       mismatchedId.dump(), shortFingerprint.dump(), duplicated.dump()}) {
        SCOPED_TRACE(content);
        auto secureStore = std::make_shared<InMemorySecureStore>();
        secureStore->setItem(bytesOf(content), TrustedDeviceStore::service(), TrustedDeviceStore::kAccount);
        TrustedDeviceStore corrupted(secureStore);
        expectError(Case::corruptedStore, [&] { corrupted.authorize(alice, P::connect); });
        expectError(Case::corruptedStore, [&] { corrupted.trust(makeRecord(bob)); });
        expectError(Case::corruptedStore, [&] { corrupted.remove(alice.id); });
        EXPECT_EQ(secureStore->callCount(Operation::save), 0u);
        EXPECT_EQ(secureStore->item(TrustedDeviceStore::service(), TrustedDeviceStore::kAccount), bytesOf(content));

        corrupted.deleteAll(); // without reading
        EXPECT_EQ(secureStore->callCount(Operation::load), 3u);
        corrupted.trust(makeRecord(bob));
        EXPECT_EQ(corrupted.allDevices().size(), 1u);
    }
}

TEST_F(TrustedDeviceStoreTest, AFailedLoadIsRetried) {
    secure->setFailure(Operation::load);
    EXPECT_THROW(store.device(alice.id), SecureStoreError);
    secure->clearFailure(Operation::load);
    EXPECT_EQ(store.device(alice.id), std::nullopt);
    store.allDevices();
    EXPECT_EQ(secure->callCount(Operation::load), 2u); // read once after success
}

TEST_F(TrustedDeviceStoreTest, AFailedSaveLeavesMemoryAsStoredExceptWhereAccessShrinks) {
    auto carol = makeIdentity(3);
    auto dave = makeIdentity(4);
    for (const auto& identity : {alice, bob, carol, dave}) store.trust(makeRecord(identity));
    store.updatePermissions(dave.id, P::connect | P::screenView);
    const auto before = store.loadIfNeeded();
    secure->setFailure(Operation::save);

    EXPECT_THROW(store.trust(makeRecord(makeIdentity(5))), SecureStoreError);
    EXPECT_THROW(store.recordAuthenticatedConnection(alice, Date(500)), SecureStoreError);
    EXPECT_THROW(store.recordVerifiedWake(alice.id, Date(500), WakeRouteKind::directLocalNetwork), SecureStoreError);
    EXPECT_THROW(store.persist({}), SecureStoreError);
    EXPECT_EQ(store.loadIfNeeded(), before);

    // Taking access away bites at once even though it could not be stored.
    EXPECT_THROW(store.revoke(alice.id), SecureStoreError);
    expectAuthorizeError(Case::revokedDevice, alice);
    EXPECT_THROW(store.remove(bob.id), SecureStoreError);
    expectAuthorizeError(Case::untrustedDevice, bob);
    EXPECT_THROW(store.updatePermissions(carol.id, P::connect), SecureStoreError);
    expectAuthorizeError(Case::permissionDenied, carol, P::screenView);
    // Cleared bits go now; a newly granted bit waits for a successful save.
    EXPECT_THROW(store.updatePermissions(dave.id, P::connect | P::remoteControl), SecureStoreError);
    EXPECT_EQ(store.device(dave.id)->permissions, P::connect);

    secure->clearFailure(Operation::save);
    store.remove(bob.id); // the retry reaches storage, with the revocation
    TrustedDeviceStore reread(secure);
    EXPECT_EQ(reread.loadIfNeeded(), store.loadIfNeeded());
    expectError(Case::revokedDevice, [&] { reread.authorize(alice, P::connect); });
}

TEST_F(TrustedDeviceStoreTest, WakeBookkeepingWritesOnceAndOnlyForActiveDevices) {
    store.trust(makeRecord(alice));
    store.trust(makeRecord(bob));
    store.revoke(bob.id);
    const auto unknown = Uuid::random();
    const std::vector<std::function<void(const Uuid&)>> operations{
        [&](const Uuid& id) { store.recordVerifiedWake(id, Date(10)); },
        [&](const Uuid& id) { store.updatePowerState(id, PowerStateEvidence::displayAsleep, Date(30)); },
        [&](const Uuid& id) { store.recordWakeRelayActivity(id, Date(40)); },
        [&](const Uuid& id) { store.setWakeRelayConfiguration(id, std::nullopt, false); },
        [&](const Uuid& id) { store.updateWakeConfiguration(id, SavedWakeConfiguration::empty(Date(1))); },
    };
    const auto savesBefore = saves();
    for (const auto& operation : operations) {
        expectError(Case::untrustedDevice, [&] { operation(unknown); });
        expectError(Case::revokedDevice, [&] { operation(bob.id); });
    }
    EXPECT_EQ(saves(), savesBefore);

    store.recordVerifiedWake(alice.id, Date(60));
    store.recordWakeRelayActivity(alice.id, Date(90)); // no relay: nothing written
    EXPECT_EQ(saves(), savesBefore + 1);
    EXPECT_EQ(store.device(alice.id)->wakeConfiguration->lastVerifiedWakeAt, Date(60));
}

TEST_F(TrustedDeviceStoreTest, EndpointAndRelayMustBelongToTheDevice) {
    auto record = makeRecord(alice);
    RemoteEndpoint endpoint{Uuid::random(), "10.0.0.5", 51891, RemoteHostKind::ipv4Literal,
                            RemoteTransportKind::localDirect, std::nullopt, Date(1), std::nullopt, std::nullopt};
    record.remoteEndpoints = {endpoint};
    store.trust(record);
    expectError(Case::endpointNotFound, [&] { store.recordEndpointSuccess(alice.id, bob.id, true, Date(5)); });

    // The relay must wake this Mac and must not be the Mac itself.
    PairedWakeRelayConfiguration relay{bob, endpoint, alice.id, Date(7), std::nullopt, std::nullopt};
    auto wrongTarget = relay;
    wrongTarget.targetMacDeviceID = bob.id;
    auto selfRelay = relay;
    selfRelay.relayIdentity.fingerprint = alice.fingerprint;
    for (const auto& bad : {wrongTarget, selfRelay}) {
        expectError(Case::invalidRelayTargetBinding, [&] { store.setWakeRelayConfiguration(alice.id, bad, false); });
    }
    store.setWakeRelayConfiguration(alice.id, relay, false);
    EXPECT_EQ(store.device(alice.id)->wakeRelayConfiguration, relay);
}

TEST_F(TrustedDeviceStoreTest, StoredEndpointsTheValidatorRefusesAreDroppedAndTheDeviceKept) {
    auto endpointAt = [](std::string host, std::uint16_t port) {
        return RemoteEndpoint{Uuid::random(), std::move(host), port, RemoteHostKind::dnsHostname,
                              RemoteTransportKind::privateNetwork, std::nullopt, Date(1), std::nullopt, std::nullopt};
    };
    const auto kept = endpointAt("mac.example-vpn.net", 51891);
    const auto loopback = endpointAt("127.0.0.1", 51891); // the dialler decides on loopback
    auto record = makeRecord(alice);
    record.remoteEndpoints = {endpointAt("https://mac.example-vpn.net", 51891), kept, endpointAt("224.0.0.1", 51891),
                              endpointAt("mac.local", 51891), loopback, endpointAt("mac.example-vpn.net", 0)};
    record.wakeRelayConfiguration =
        PairedWakeRelayConfiguration{bob, endpointAt("224.0.0.1", 51892), alice.id, Date(1), std::nullopt, std::nullopt};
    secure->setItem(json::encodeToBytes(std::vector{record}), TrustedDeviceStore::service(),
                    TrustedDeviceStore::kAccount);

    const TrustedDevice loaded = store.authorize(alice, P::connect);
    EXPECT_EQ(loaded.remoteEndpoints, (std::vector{kept, loopback}));
    EXPECT_EQ(loaded.wakeRelayConfiguration, std::nullopt);
    store.recordEndpointSuccess(alice.id, kept.id, true, Date(5)); // and the next write leaves them out
    EXPECT_EQ(storedRecords()[0].remoteEndpoints.size(), 2u);
}

// ---- saves in progress --------------------------------------------------------

using testing::GatedSecureStore;

// Runs `call` on a thread of its own; get() joins it and rethrows its error.
std::future<void> onAnotherThread(std::function<void()> call) {
    return std::async(std::launch::async, std::move(call));
}

// For a change another thread makes without telling anyone; the bound only
// guards against a hang.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + GatedSecureStore::kGuard;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

bool refuses(TrustedDeviceStore& store, const DevicePublicIdentity& peer, P required, Case refusal) {
    try {
        store.authorize(peer, required);
        return false;
    } catch (const TrustedDeviceStoreError& error) {
        return error.kind == refusal;
    }
}

// A reader that waited for the held save would block this thread, which alone
// opens the gate: the guard would then let the save through and the reader
// would see the new record, so "at once" needs no clock.
class TrustedDeviceStoreHeldSave : public TrustedDeviceStoreTest {
protected:
    void TearDown() override {
        gate->open();
        EXPECT_FALSE(gate->overran());
    }

    std::shared_ptr<GatedSecureStore> gate = std::make_shared<GatedSecureStore>(secure);
    TrustedDeviceStore gated{gate};
};

TEST_F(TrustedDeviceStoreHeldSave, ReadersDoNotWaitForASaveAndWritersLandInOrder) {
    const TrustedDevice before = makeRecord(alice);
    gated.trust(before);
    const auto savesBefore = saves();
    gate->close();
    auto first =
        onAnotherThread([&] { gated.updatePowerState(alice.id, PowerStateEvidence::displayAsleep, Date(10)); });
    ASSERT_TRUE(gate->waitUntilHeld());
    // Queued behind the held save: it must start from the first change.
    const TrustedDevice early = makeRecord(bob, 50);
    auto second = onAnotherThread([&] { gated.trust(early); });

    EXPECT_EQ(gated.device(alice.id), before);
    EXPECT_EQ(gated.authorize(alice, P::connect), before);
    EXPECT_EQ(gated.allDevices(), std::vector<TrustedDevice>{before});
    EXPECT_EQ(gated.loadIfNeeded().size(), 1u);

    gate->release();
    first.get();
    const std::optional<TrustedDevice> asleep = gated.device(alice.id);
    ASSERT_TRUE(asleep && asleep->wakeConfiguration);
    EXPECT_EQ(asleep->wakeConfiguration->lastKnownPowerState, PowerStateEvidence::displayAsleep);
    ASSERT_TRUE(gate->waitUntilHeld()); // now the second's save
    EXPECT_EQ(gated.device(bob.id), std::nullopt);

    gate->open();
    second.get();
    EXPECT_EQ(gated.allDevices(), (std::vector<TrustedDevice>{early, *asleep}));
    EXPECT_EQ(storedRecords(), gated.allDevices());
    EXPECT_EQ(saves(), savesBefore + 2);
}

TEST_F(TrustedDeviceStoreHeldSave, TakingAccessAwayBitesAtOnceAndOutlivesTheEarlierCommit) {
    const TrustedDevice aliceRecord = makeRecord(alice);
    const TrustedDevice bobRecord = makeRecord(bob, 50); // saved while the access is taken away
    auto revoked = aliceRecord;
    revoked.authorization = DeviceAuthorization::revoked;
    auto narrowed = aliceRecord;
    narrowed.permissions = P::connect;
    struct Row {
        const char* name;
        std::function<void(TrustedDeviceStore&)> removal;
        P required;
        Case refusal;
        std::vector<TrustedDevice> expected; // in memory and in storage
    };
    const std::vector<Row> rows{
        {"revoke", [&](TrustedDeviceStore& s) { s.revoke(alice.id); }, P::connect, Case::revokedDevice,
         {bobRecord, revoked}},
        {"remove", [&](TrustedDeviceStore& s) { s.remove(alice.id); }, P::connect, Case::untrustedDevice, {bobRecord}},
        {"permission cleared", [&](TrustedDeviceStore& s) { s.updatePermissions(alice.id, P::connect); },
         P::screenView, Case::permissionDenied, {bobRecord, narrowed}},
        // The pairing being saved goes too: storage is deleted after it.
        {"deleteAll", [](TrustedDeviceStore& s) { s.deleteAll(); }, P::connect, Case::untrustedDevice, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        secure = std::make_shared<InMemorySecureStore>();
        gate = std::make_shared<GatedSecureStore>(secure);
        TrustedDeviceStore store(gate);
        store.trust(aliceRecord);
        gate->close();
        auto writer = onAnotherThread([&] { store.trust(bobRecord); });
        ASSERT_TRUE(gate->waitUntilHeld());
        auto remover = onAnotherThread([&] { row.removal(store); });
        EXPECT_TRUE(eventually([&] { return refuses(store, alice, row.required, row.refusal); }));
        EXPECT_EQ(gate->held(), 1u); // the earlier save is still held

        gate->open();
        writer.get();
        remover.get();
        EXPECT_FALSE(gate->overran());
        EXPECT_TRUE(refuses(store, alice, row.required, row.refusal));
        EXPECT_EQ(store.allDevices(), row.expected);
        if (row.expected.empty()) {
            EXPECT_EQ(secure->itemCount(), 0u);
        } else {
            EXPECT_EQ(storedRecords(), row.expected);
        }
    }
}

// A write of the very record whose access is taken away while it is saved
// (a re-pairing, a permission grant) lands over the removal without undoing it.
TEST_F(TrustedDeviceStoreHeldSave, AWriteSavedWhileItsRecordLosesAccessDoesNotRestoreIt) {
    const TrustedDevice aliceRecord = makeRecord(alice);
    auto repaired = makeRecord(alice, 70);
    struct Row {
        const char* name;
        std::function<void(TrustedDeviceStore&)> write;
        std::function<void(TrustedDeviceStore&)> removal;
        std::function<void(TrustedDevice&)> expect; // applied to the written record
        bool present = true;
    };
    const std::vector<Row> rows{
        {"re-pairing, revoked", [&](TrustedDeviceStore& s) { s.trust(repaired); },
         [&](TrustedDeviceStore& s) { s.revoke(alice.id); },
         [](TrustedDevice& r) { r.authorization = DeviceAuthorization::revoked; }},
        {"re-pairing, removed", [&](TrustedDeviceStore& s) { s.trust(repaired); },
         [&](TrustedDeviceStore& s) { s.remove(alice.id); }, [](TrustedDevice&) {}, false},
        {"re-pairing, permission cleared", [&](TrustedDeviceStore& s) { s.trust(repaired); },
         [&](TrustedDeviceStore& s) { s.updatePermissions(alice.id, P::connect); },
         [](TrustedDevice& r) { r.permissions = P::connect; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        secure = std::make_shared<InMemorySecureStore>();
        gate = std::make_shared<GatedSecureStore>(secure);
        TrustedDeviceStore store(gate);
        store.trust(aliceRecord);
        gate->close();
        auto writer = onAnotherThread([&] { row.write(store); });
        ASSERT_TRUE(gate->waitUntilHeld());
        auto remover = onAnotherThread([&] { row.removal(store); });
        ASSERT_TRUE(eventually([&] { return store.device(alice.id) != std::optional<TrustedDevice>(aliceRecord); }));
        gate->open();
        writer.get();
        remover.get();
        std::vector<TrustedDevice> expected;
        if (row.present) {
            TrustedDevice record = repaired;
            row.expect(record);
            expected.push_back(record);
        }
        EXPECT_EQ(store.allDevices(), expected);
        EXPECT_EQ(storedRecords(), expected);
    }
}

TEST_F(TrustedDeviceStoreTest, AnUnchangedPowerStateOrWakeConfigurationSavesNothing) {
    store.trust(makeRecord(alice));
    store.updatePowerState(alice.id, PowerStateEvidence::displayAsleep, Date(10));
    auto saved = saves();
    store.updatePowerState(alice.id, PowerStateEvidence::displayAsleep, Date(20));
    EXPECT_EQ(saves(), saved);
    EXPECT_EQ(store.device(alice.id)->wakeConfiguration->updatedAt, Date(10)); // not restamped

    store.recordVerifiedWake(alice.id, Date(40), WakeRouteKind::directLocalNetwork);
    SavedWakeConfiguration sent = SavedWakeConfiguration::empty(Date(30));
    sent.bonjourServicePort = 51891;
    store.updateWakeConfiguration(alice.id, sent);
    saved = saves();
    // The same again, or with an older verified wake and no attempt: the merge is what is stored.
    SavedWakeConfiguration older = sent;
    older.lastVerifiedWakeAt = Date(35);
    for (const auto& configuration : {sent, older}) store.updateWakeConfiguration(alice.id, configuration);
    EXPECT_EQ(saves(), saved);

    sent.sleepProxyEligible = true;
    store.updateWakeConfiguration(alice.id, sent);
    store.updatePowerState(alice.id, PowerStateEvidence::awake, Date(50));
    EXPECT_EQ(saves(), saved + 2);
    const auto stored = store.device(alice.id)->wakeConfiguration;
    EXPECT_EQ(stored->lastVerifiedWakeAt, Date(40));
    EXPECT_TRUE(stored->lastAttempt.has_value());
    EXPECT_EQ(stored->lastKnownPowerState, PowerStateEvidence::awake);
}

} // namespace
} // namespace velorinth
