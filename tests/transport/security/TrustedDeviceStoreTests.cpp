#include "transport/security/TrustedDeviceStore.hpp"

#include "platform/InMemorySecureStore.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velorinth {
namespace {

using Case = TrustedDeviceStoreError::Case;
using Operation = InMemorySecureStore::Operation;

DevicePublicIdentity makeIdentity(std::uint8_t seed) {
    Bytes key(65, seed);
    key[0] = 0x04;
    return DevicePublicIdentity{Uuid::random(), "Device " + std::to_string(seed), Uuid::random(), key,
                                DeviceFingerprint::fromPublicKey(key)};
}

TrustedDevice makeRecord(const DevicePublicIdentity& identity, double pairedAt = 100,
                         DevicePermissions permissions = DevicePermissions::all) {
    TrustedDevice record;
    record.id = identity.id;
    record.identity = identity;
    record.pairedAt = Date(pairedAt);
    record.permissions = permissions;
    return record;
}

// Runs `operation` and expects the trust store error `kind`.
void expectError(Case kind, const std::function<void()>& operation) {
    try {
        operation();
        ADD_FAILURE() << "expected " << TrustedDeviceStoreError::text(kind);
    } catch (const TrustedDeviceStoreError& e) {
        EXPECT_EQ(e.kind, kind) << e.what();
        EXPECT_EQ(e.what(), TrustedDeviceStoreError::text(kind));
    }
}

class TrustedDeviceStoreTest : public ::testing::Test {
protected:
    std::size_t saves() const { return secure->callCount(Operation::save); }
    std::optional<Bytes> storedItem() const {
        return secure->item(TrustedDeviceStore::service(), TrustedDeviceStore::kAccount);
    }
    std::vector<TrustedDevice> storedRecords() const {
        return json::decodeFromBytes<std::vector<TrustedDevice>>(storedItem().value());
    }

    std::shared_ptr<InMemorySecureStore> secure = std::make_shared<InMemorySecureStore>();
    TrustedDeviceStore store{secure};
    DevicePublicIdentity alice = makeIdentity(1);
    DevicePublicIdentity bob = makeIdentity(2);
};

TEST_F(TrustedDeviceStoreTest, AuthorizeRefusesInItsOrder) {
    EXPECT_EQ(TrustedDeviceStore::service(), "org.velorinth.trusted-devices");
    expectError(Case::untrustedDevice, [&] { store.authorize(alice, DevicePermissions::connect); });

    auto limited = makeRecord(alice, 100, DevicePermissions::connect);
    store.trust(limited);
    EXPECT_EQ(store.authorize(alice, DevicePermissions::connect), limited);
    expectError(Case::permissionDenied, [&] { store.authorize(alice, DevicePermissions::screenView); });

    // Another key or fingerprint under the id is reported before anything else.
    auto otherKey = alice;
    otherKey.signingPublicKey[1] ^= 1;
    auto otherFingerprint = alice;
    otherFingerprint.fingerprint = bob.fingerprint;
    for (const auto& peer : {otherKey, otherFingerprint}) {
        expectError(Case::identityChanged, [&] { store.authorize(peer, DevicePermissions::connect); });
    }

    store.revoke(alice.id); // revoked goes before a missing permission
    expectError(Case::revokedDevice, [&] { store.authorize(alice, DevicePermissions::screenView); });
    expectError(Case::identityChanged, [&] { store.authorize(otherKey, DevicePermissions::connect); });

    // No record under the id: the same discovery name with another key means a
    // reinstalled device; with the same fingerprint it is just unknown.
    auto reinstalled = bob;
    reinstalled.discoveryInstanceID = alice.discoveryInstanceID;
    expectError(Case::identityChanged, [&] { store.authorize(reinstalled, DevicePermissions::connect); });
    reinstalled.fingerprint = alice.fingerprint;
    expectError(Case::untrustedDevice, [&] { store.authorize(reinstalled, DevicePermissions::connect); });
}

TEST_F(TrustedDeviceStoreTest, TrustWritesOnceAndRefusesAnotherIdentity) {
    auto first = makeRecord(alice, 200);
    first.authorization = DeviceAuthorization::revoked;
    store.trust(first);
    auto repaired = makeRecord(alice, 300, DevicePermissions::connect);
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

    // Stored and listed by pairedAt, then id.
    auto early = makeRecord(bob, 100);
    auto third = makeIdentity(3);
    auto tie = makeRecord(third, 300);
    store.trust(early);
    store.trust(tie);
    std::vector<TrustedDevice> expected{early, repaired, tie};
    if (tie.id < repaired.id) std::swap(expected[1], expected[2]);
    EXPECT_EQ(storedRecords(), expected);
    EXPECT_EQ(store.allDevices(), expected);
}

TEST_F(TrustedDeviceStoreTest, ACorruptedItemIsReportedNeverReplacedAndDeleteAllRecovers) {
    Json valid = json::encode(std::vector<TrustedDevice>{makeRecord(alice)});
    Json mismatchedId = valid;
    mismatchedId[0]["id"] = bob.id.uuidString();
    Json shortFingerprint = valid;
    shortFingerprint[0]["identity"]["fingerprint"]["bytes"] = base64Encode(Bytes(31, 1));
    Json duplicated = valid;
    duplicated.push_back(valid[0]);
    for (const std::string& content : {std::string("not json"), std::string(""), std::string("{}"),
                                       std::string("[{\"id\":1}]"), mismatchedId.dump(), shortFingerprint.dump(),
                                       duplicated.dump()}) {
        SCOPED_TRACE(content);
        auto secureStore = std::make_shared<InMemorySecureStore>();
        secureStore->setItem(bytesOf(content), TrustedDeviceStore::service(), TrustedDeviceStore::kAccount);
        TrustedDeviceStore corrupted(secureStore);
        expectError(Case::corruptedStore, [&] { corrupted.loadIfNeeded(); });
        expectError(Case::corruptedStore, [&] { corrupted.authorize(alice, DevicePermissions::connect); });
        expectError(Case::corruptedStore, [&] { corrupted.trust(makeRecord(bob)); });
        expectError(Case::corruptedStore, [&] { corrupted.remove(alice.id); });
        EXPECT_EQ(secureStore->callCount(Operation::save), 0u);
        EXPECT_EQ(secureStore->item(TrustedDeviceStore::service(), TrustedDeviceStore::kAccount), bytesOf(content));

        corrupted.deleteAll();
        EXPECT_TRUE(corrupted.allDevices().empty());
        corrupted.trust(makeRecord(bob));
        EXPECT_EQ(corrupted.allDevices().size(), 1u);
    }
}

TEST_F(TrustedDeviceStoreTest, AFailedLoadIsRetriedAndDeleteAllDoesNotRead) {
    secure->setFailure(Operation::load);
    EXPECT_THROW(store.device(alice.id), SecureStoreError);
    EXPECT_THROW(store.allDevices(), SecureStoreError);
    secure->clearFailure(Operation::load);
    EXPECT_EQ(store.device(alice.id), std::nullopt);
    store.allDevices();
    EXPECT_EQ(secure->callCount(Operation::load), 3u); // read once after success

    TrustedDeviceStore fresh(secure);
    fresh.deleteAll();
    EXPECT_EQ(secure->callCount(Operation::load), 3u);
}

TEST_F(TrustedDeviceStoreTest, AFailedSaveLeavesMemoryAsStoredExceptWhereAccessShrinks) {
    auto carol = makeIdentity(3);
    auto dave = makeIdentity(4);
    for (const auto& identity : {alice, bob, carol, dave}) store.trust(makeRecord(identity));
    store.updatePermissions(dave.id, DevicePermissions::connect | DevicePermissions::screenView);
    const auto before = store.loadIfNeeded();
    secure->setFailure(Operation::save);

    EXPECT_THROW(store.trust(makeRecord(makeIdentity(5))), SecureStoreError);
    EXPECT_THROW(store.recordAuthenticatedConnection(alice, Date(500)), SecureStoreError);
    EXPECT_THROW(store.recordVerifiedWake(alice.id, Date(500), WakeRouteKind::directLocalNetwork), SecureStoreError);
    EXPECT_THROW(store.persist({}), SecureStoreError);
    EXPECT_EQ(store.loadIfNeeded(), before);

    // Taking access away bites at once even though it could not be stored.
    EXPECT_THROW(store.revoke(alice.id), SecureStoreError);
    expectError(Case::revokedDevice, [&] { store.authorize(alice, DevicePermissions::connect); });
    EXPECT_THROW(store.remove(bob.id), SecureStoreError);
    expectError(Case::untrustedDevice, [&] { store.authorize(bob, DevicePermissions::connect); });
    EXPECT_THROW(store.updatePermissions(carol.id, DevicePermissions::connect), SecureStoreError);
    expectError(Case::permissionDenied, [&] { store.authorize(carol, DevicePermissions::screenView); });
    // Cleared bits go now; a newly granted bit waits for a successful save.
    EXPECT_THROW(store.updatePermissions(dave.id, DevicePermissions::connect | DevicePermissions::remoteControl),
                 SecureStoreError);
    EXPECT_EQ(store.device(dave.id)->permissions, DevicePermissions::connect);

    secure->clearFailure(Operation::save);
    store.remove(bob.id); // the retry reaches storage, with the revocation
    TrustedDeviceStore reread(secure);
    EXPECT_EQ(reread.loadIfNeeded(), store.loadIfNeeded());
    expectError(Case::revokedDevice, [&] { reread.authorize(alice, DevicePermissions::connect); });
}

TEST_F(TrustedDeviceStoreTest, WakeBookkeepingWritesOnceAndOnlyForActiveDevices) {
    store.trust(makeRecord(alice));
    store.trust(makeRecord(bob));
    store.revoke(bob.id);
    auto unknown = makeIdentity(9).id;
    const std::vector<std::function<void(const Uuid&)>> operations{
        [&](const Uuid& id) { store.recordVerifiedWake(id, Date(10)); },
        [&](const Uuid& id) { store.recordWakeAttempt(id, {Date(20), WakeRouteKind::unknown,
                                                          WakeAttemptResultKind::wakeTimedOut}); },
        [&](const Uuid& id) { store.updatePowerState(id, PowerStateEvidence::displayAsleep, Date(30)); },
        [&](const Uuid& id) { store.recordWakeRelayActivity(id, Date(40)); },
        [&](const Uuid& id) { store.recordReachability(id, {{}, ConnectionRouteKind::bonjourLocal, Date(1)}); },
        [&](const Uuid& id) { store.setWakeRelayConfiguration(id, std::nullopt, false); },
        [&](const Uuid& id) { store.updateWakeConfiguration(id, SavedWakeConfiguration::empty(Date(1))); },
    };
    const auto savesBefore = saves();
    for (const auto& operation : operations) {
        expectError(Case::untrustedDevice, [&] { operation(unknown); });
        expectError(Case::revokedDevice, [&] { operation(bob.id); });
    }
    EXPECT_EQ(saves(), savesBefore);

    store.recordVerifiedWake(alice.id, Date(50)); // creates an empty configuration first
    auto expected = SavedWakeConfiguration::empty(Date(50));
    expected.lastVerifiedWakeAt = Date(50);
    EXPECT_EQ(store.device(alice.id)->wakeConfiguration, expected);
    store.recordVerifiedWake(alice.id, Date(60), WakeRouteKind::bonjourSleepProxy);
    expected.lastVerifiedWakeAt = Date(60);
    expected.lastAttempt = {Date(60), WakeRouteKind::bonjourSleepProxy,
                            WakeAttemptResultKind::wakeConfirmedByAuthenticatedSession};
    store.updatePowerState(alice.id, PowerStateEvidence::awake, Date(70));
    expected.lastKnownPowerState = PowerStateEvidence::awake;
    expected.updatedAt = Date(70);
    WakeAttemptOutcomeSummary attempt{Date(80), WakeRouteKind::directLocalNetwork, WakeAttemptResultKind::wakeTimedOut};
    store.recordWakeAttempt(alice.id, attempt); // updatedAt unchanged
    expected.lastAttempt = attempt;
    EXPECT_EQ(store.device(alice.id)->wakeConfiguration, expected);
    EXPECT_EQ(saves(), savesBefore + 4);

    store.recordWakeRelayActivity(alice.id, Date(90)); // no relay: nothing written
    EXPECT_EQ(saves(), savesBefore + 4);

    // The host's configuration replaces ours, but the later verified wake and
    // our last attempt survive when the host has older or none.
    auto sent = SavedWakeConfiguration::empty(Date(100));
    sent.lastVerifiedWakeAt = Date(55);
    auto merged = store.updateWakeConfiguration(alice.id, sent).wakeConfiguration.value();
    EXPECT_EQ(merged.lastVerifiedWakeAt, Date(60));
    EXPECT_EQ(merged.lastAttempt, attempt);
    EXPECT_EQ(merged.updatedAt, Date(100));
    sent.lastVerifiedWakeAt = Date(65);
    EXPECT_EQ(store.updateWakeConfiguration(alice.id, sent).wakeConfiguration->lastVerifiedWakeAt, Date(65));
}

TEST_F(TrustedDeviceStoreTest, EndpointAndRelayBookkeeping) {
    auto record = makeRecord(alice);
    RemoteEndpoint endpoint{Uuid::random(), "10.0.0.5", 51891, RemoteHostKind::ipv4Literal,
                            RemoteTransportKind::localDirect, std::nullopt, Date(1), std::nullopt, std::nullopt};
    record.remoteEndpoints = {endpoint};
    store.trust(record);

    expectError(Case::endpointNotFound, [&] { store.recordEndpointSuccess(alice.id, bob.id, true, Date(5)); });
    EXPECT_EQ(store.recordEndpointSuccess(alice.id, endpoint.id, false, Date(5)).lastSuccessfulConnection,
              std::nullopt);
    auto connected = store.recordEndpointSuccess(alice.id, endpoint.id, true, Date(6));
    endpoint.lastVerifiedAt = endpoint.lastConnectedAt = Date(6);
    EXPECT_EQ(connected.remoteEndpoints, std::vector<RemoteEndpoint>{endpoint});
    EXPECT_EQ(connected.lastSuccessfulEndpointID, endpoint.id);
    EXPECT_EQ(connected.lastSuccessfulConnection, Date(6));
    EXPECT_EQ(connected.lastReachability,
              (RemoteReachabilityObservation{endpoint.id, ConnectionRouteKind::localDirect, Date(6)}));
    EXPECT_EQ(store.device(alice.id), connected);

    // The relay must wake this Mac and must not be the Mac itself.
    PairedWakeRelayConfiguration relay{bob, endpoint, alice.id, Date(7), std::nullopt, std::nullopt};
    auto wrongTarget = relay;
    wrongTarget.targetMacDeviceID = bob.id;
    auto selfRelay = relay;
    selfRelay.relayIdentity.fingerprint = alice.fingerprint;
    for (const auto& bad : {wrongTarget, selfRelay}) {
        expectError(Case::invalidRelayTargetBinding, [&] { store.setWakeRelayConfiguration(alice.id, bad, false); });
    }
    auto loopback = relay;
    loopback.endpoint.host = "127.0.0.1";
    EXPECT_THROW(store.setWakeRelayConfiguration(alice.id, loopback, false), RemoteEndpointValidationError);
    store.setWakeRelayConfiguration(alice.id, relay, false);
    store.recordWakeRelayActivity(alice.id, Date(8));
    relay.lastVerifiedAt = relay.lastWakeDispatchedAt = Date(8);
    EXPECT_EQ(store.device(alice.id)->wakeRelayConfiguration, relay);
}

} // namespace
} // namespace velorinth
