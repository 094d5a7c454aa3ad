#include "transport/security/DeviceIdentityService.hpp"

#include "core/Json.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "platform/tls/DeviceCertificate.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using Operation = InMemorySecureStore::Operation;
using Case = DeviceIdentityServiceError::Case;

void expectCorrupted(const std::function<void()>& operation) {
    try {
        operation();
        ADD_FAILURE() << "expected corruptedIdentity";
    } catch (const DeviceIdentityServiceError& e) {
        EXPECT_EQ(e.kind, Case::corruptedIdentity);
        EXPECT_STREQ(e.what(), "The local device identity in Keychain is corrupted. Reset the identity to generate a "
                               "new key pair.");
    }
}

class DeviceIdentityServiceTest : public ::testing::Test {
protected:
    std::shared_ptr<DeviceIdentityService> makeService() {
        return std::make_shared<DeviceIdentityService>(store, [this] { return providedName; });
    }
    std::optional<Bytes> storedItem() const {
        return store->item(DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    }
    void storeItem(std::string_view text) {
        store->setItem(bytesOf(text), DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    }
    std::size_t calls(Operation operation) const { return store->callCount(operation); }

    std::shared_ptr<InMemorySecureStore> store = std::make_shared<InMemorySecureStore>();
    std::string providedName = "Studio Desktop";
};

TEST_F(DeviceIdentityServiceTest, CreatesOnceAndReloadsTheSameIdentity) {
    auto service = makeService();
    const DeviceIdentity created = service->loadOrCreateRecord();
    EXPECT_EQ(DeviceIdentityService::service(), "org.velorinth.identity");
    EXPECT_EQ(created.displayName, "Studio Desktop");
    EXPECT_NE(created.id, created.discoveryInstanceID);
    EXPECT_EQ(calls(Operation::save), 1u);

    // Cached: no further store traffic.
    EXPECT_EQ(service->loadOrCreateRecord(), created);
    EXPECT_EQ(calls(Operation::load), 1u);
    EXPECT_EQ(calls(Operation::save), 1u);

    const Json stored = json::parse(stringOf(storedItem().value()));
    for (const char* key : {"id", "displayName", "discoveryInstanceID", "signingPrivateKey", "createdAt"}) {
        EXPECT_TRUE(stored.contains(key)) << key;
    }
    const Bytes privateForm = base64Decode(stored["signingPrivateKey"].get<std::string>()).value();
    ASSERT_EQ(privateForm.size(), 97u);
    EXPECT_EQ(privateForm[0], 0x04);

    auto reopened = makeService();
    providedName = "Another Name";
    EXPECT_EQ(reopened->loadOrCreateRecord(), created);
    EXPECT_EQ(reopened->publicIdentity(created), service->publicIdentity(created));
    EXPECT_EQ(calls(Operation::save), 1u);
}

TEST_F(DeviceIdentityServiceTest, PublicIdentityAndSignatureUseTheStoredKey) {
    auto service = makeService();
    const DeviceIdentity record = service->loadOrCreateRecord();
    const DevicePublicIdentity identity = service->publicIdentity(record);
    const P256SigningKey key = P256SigningKey::fromX963(record.signingPrivateKey.view());
    EXPECT_EQ(identity.id, record.id);
    EXPECT_EQ(identity.discoveryInstanceID, record.discoveryInstanceID);
    EXPECT_EQ(identity.signingPublicKey, key.publicKeyX963());
    EXPECT_EQ(identity.fingerprint, DeviceFingerprint::fromPublicKey(key.publicKeyX963()));

    const Bytes message = bytesOf("label and transcript hash");
    const Bytes signature = service->sign(message);
    const P256PublicKey publicKey = P256PublicKey::fromX963(identity.signingPublicKey);
    EXPECT_TRUE(publicKey.isValidSignature(signature, message));
    EXPECT_FALSE(publicKey.isValidSignature(signature, bytesOf("another message")));

    DeviceIdentity broken = record;
    Bytes key97 = record.signingPrivateKey.bytes();
    key97[96] ^= 0x01; // d no longer matches the public point
    broken.signingPrivateKey = SecretBytes(key97);
    expectCorrupted([&] { service->publicIdentity(broken); });
}

TEST_F(DeviceIdentityServiceTest, CorruptedRecordFailsAndIsNeverReplaced) {
    auto seedService = makeService();
    const DeviceIdentity valid = seedService->loadOrCreateRecord();
    Json good = json::encode(valid);

    auto withKey = [&](Bytes key) {
        Json j = good;
        j["signingPrivateKey"] = base64Encode(key);
        return j.dump();
    };
    Bytes mismatched = valid.signingPrivateKey.bytes();
    mismatched[96] ^= 0x01;
    Bytes offCurve = valid.signingPrivateKey.bytes();
    offCurve[64] ^= 0x01;
    Json missingKey = good;
    missingKey.erase("id");

    const std::vector<std::string> corruptions{
        "not json",
        "[]",
        missingKey.dump(),
        withKey(Bytes(valid.signingPrivateKey.bytes().begin(), valid.signingPrivateKey.bytes().end() - 1)),
        withKey(mismatched),
        withKey(offCurve),
        withKey(Bytes(97, 0)),
    };
    for (const std::string& corruption : corruptions) {
        SCOPED_TRACE(corruption.substr(0, 60));
        storeItem(corruption);
        store->resetCallCounts();
        auto service = makeService();
        expectCorrupted([&] { service->loadOrCreateRecord(); });
        expectCorrupted([&] { service->sign(bytesOf("x")); });
        expectCorrupted([&] { service->tlsIdentity(); });
        expectCorrupted([&] { service->renameDevice(); });
        EXPECT_EQ(calls(Operation::save), 0u);
        EXPECT_EQ(calls(Operation::deleteItem), 0u);
        EXPECT_EQ(stringOf(storedItem().value()), corruption);
    }

    // Reset is the way out.
    auto service = makeService();
    const DevicePublicIdentity fresh = service->resetIdentity();
    EXPECT_EQ(service->publicIdentity(service->loadOrCreateRecord()), fresh);
    EXPECT_EQ(makeService()->loadOrCreateRecord().id, fresh.id);
}

TEST_F(DeviceIdentityServiceTest, ReadErrorIsThrownAndCreatesNothing) {
    store->setFailure(Operation::load, EACCES);
    auto service = makeService();
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            service->loadOrCreateRecord();
            ADD_FAILURE() << "expected the store's error";
        } catch (const SecureStoreError& e) {
            EXPECT_EQ(e.kind, SecureStoreError::Case::loadFailed);
            EXPECT_EQ(e.errorNumber, EACCES);
        }
    }
    EXPECT_THROW(service->sign(bytesOf("x")), SecureStoreError);
    EXPECT_EQ(calls(Operation::save), 0u);
    EXPECT_EQ(store->itemCount(), 0u);

    store->clearFailure(Operation::load);
    service->loadOrCreateRecord();
    EXPECT_EQ(calls(Operation::save), 1u);
}

TEST_F(DeviceIdentityServiceTest, FailedSaveCachesNothing) {
    store->setFailure(Operation::save, ENOSPC);
    auto service = makeService();
    EXPECT_THROW(service->loadOrCreateRecord(), SecureStoreError);
    EXPECT_EQ(store->itemCount(), 0u);

    store->clearFailure(Operation::save);
    const DeviceIdentity created = service->loadOrCreateRecord();
    EXPECT_EQ(makeService()->loadOrCreateRecord(), created);
}

TEST_F(DeviceIdentityServiceTest, RenameKeepsTheKeyAndSavesOnlyAChange) {
    providedName = "  Studio Desktop\n";
    auto service = makeService();
    const DeviceIdentity before = service->loadOrCreateRecord();
    EXPECT_EQ(before.displayName, "Studio Desktop");

    providedName = "\xC2\xA0Office\t\xE3\x80\x80";
    const DevicePublicIdentity renamed = service->renameDevice();
    EXPECT_EQ(renamed.displayName, "Office");
    EXPECT_EQ(renamed.id, before.id);
    EXPECT_EQ(renamed.signingPublicKey, service->publicIdentity(before).signingPublicKey);
    EXPECT_EQ(makeService()->loadOrCreateRecord().displayName, "Office");
    EXPECT_EQ(calls(Operation::save), 2u);

    service->renameDevice(); // same name: nothing to write
    EXPECT_EQ(calls(Operation::save), 2u);

    providedName = "\xE2\x80\xA8 \r\n\xC2\x85";
    EXPECT_EQ(service->renameDevice().displayName, "Velorinth Device");
}

TEST_F(DeviceIdentityServiceTest, ResetGivesANewIdentity) {
    auto service = makeService();
    const DevicePublicIdentity old = service->publicIdentity(service->loadOrCreateRecord());
    const Bytes oldCertificate = service->tlsIdentity().certificateDER;

    store->setFailure(Operation::deleteItem);
    EXPECT_THROW(service->resetIdentity(), SecureStoreError);
    EXPECT_EQ(service->publicIdentity(service->loadOrCreateRecord()), old);
    store->clearFailure(Operation::deleteItem);

    const DevicePublicIdentity fresh = service->resetIdentity();
    EXPECT_NE(fresh.id, old.id);
    EXPECT_NE(fresh.discoveryInstanceID, old.discoveryInstanceID);
    EXPECT_NE(fresh.signingPublicKey, old.signingPublicKey);
    EXPECT_EQ(makeService()->loadOrCreateRecord().id, fresh.id);
    EXPECT_NE(service->tlsIdentity().certificateDER, oldCertificate);
}

TEST_F(DeviceIdentityServiceTest, CertificateIsBoundToTheKeyAndCachedAcrossRenames) {
    auto service = makeService();
    const TLSDeviceIdentity first = service->tlsIdentity();
    const DevicePublicIdentity identity = service->publicIdentity(service->loadOrCreateRecord());
    EXPECT_EQ(first.publicIdentity, identity);

    const unsigned char* cursor = first.certificateDER.data();
    X509Ptr leaf(d2i_X509(nullptr, &cursor, static_cast<long>(first.certificateDER.size())));
    ASSERT_TRUE(leaf);
    EXPECT_TRUE(TLSTransportSecurity::verifyPeer(leaf.get(), identity.fingerprint, nullptr));

    EXPECT_EQ(service->tlsIdentity().certificateDER, first.certificateDER);
    providedName = "Renamed";
    service->renameDevice();
    const TLSDeviceIdentity renamed = service->tlsIdentity();
    EXPECT_EQ(renamed.certificateDER, first.certificateDER);
    EXPECT_EQ(renamed.publicIdentity.displayName, "Renamed");
}

TEST_F(DeviceIdentityServiceTest, ConcurrentFirstUseCreatesOneIdentity) {
    auto service = makeService();
    std::vector<Uuid> ids(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        threads.emplace_back([&, i] { ids[i] = service->loadOrCreateRecord().id; });
    }
    for (auto& thread : threads) thread.join();
    for (const Uuid& id : ids) EXPECT_EQ(id, ids.front());
    EXPECT_EQ(calls(Operation::save), 1u);
}

} // namespace
} // namespace velorinth
