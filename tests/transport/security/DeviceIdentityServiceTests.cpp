#include "transport/security/DeviceIdentityService.hpp"

#include "core/Json.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "platform/tls/DeviceCertificate.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velorinth {
namespace {

using Operation = InMemorySecureStore::Operation;

void expectCorrupted(const std::function<void()>& operation) {
    const auto error = testing::thrown<DeviceIdentityServiceError>(operation);
    EXPECT_EQ(error.kind, DeviceIdentityServiceError::Case::corruptedIdentity);
    EXPECT_STREQ(error.what(), "The local device identity in Keychain is corrupted. Reset the identity to generate a "
                               "new key pair.");
}

class DeviceIdentityServiceTest : public ::testing::Test {
protected:
    std::shared_ptr<DeviceIdentityService> makeService() {
        return std::make_shared<DeviceIdentityService>(store, [this] { return providedName; });
    }
    std::optional<Bytes> storedItem() const {
        return store->item(DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    }
    std::size_t calls(Operation operation) const { return store->callCount(operation); }

    std::shared_ptr<InMemorySecureStore> store = std::make_shared<InMemorySecureStore>();
    std::string providedName = "Studio Desktop";
};

TEST_F(DeviceIdentityServiceTest, CreatesOnceReloadsAndSignsWithTheStoredKey) {
    auto service = makeService();
    const DeviceIdentity created = service->loadOrCreateRecord();
    EXPECT_EQ(created.displayName, "Studio Desktop");
    EXPECT_EQ(service->loadOrCreateRecord(), created); // cached: no further store traffic
    EXPECT_EQ(calls(Operation::load), 1u);
    EXPECT_EQ(calls(Operation::save), 1u);

    providedName = "Another Name";
    auto reopened = makeService();
    EXPECT_EQ(reopened->loadOrCreateRecord(), created);
    EXPECT_EQ(calls(Operation::save), 1u);

    const DevicePublicIdentity identity = reopened->publicIdentity(created);
    const Bytes publicKey = P256SigningKey::fromX963(created.signingPrivateKey.view()).publicKeyX963();
    EXPECT_EQ(identity.signingPublicKey, publicKey);
    EXPECT_EQ(identity.fingerprint, DeviceFingerprint::fromPublicKey(publicKey));
    const Bytes message = bytesOf("label and transcript hash");
    EXPECT_TRUE(P256PublicKey::fromX963(publicKey).isValidSignature(service->sign(message), message));

    DeviceIdentity broken = created;
    Bytes key97 = created.signingPrivateKey.bytes();
    key97[96] ^= 0x01; // d no longer matches the public point
    broken.signingPrivateKey = SecretBytes(key97);
    expectCorrupted([&] { service->publicIdentity(broken); });
}

TEST_F(DeviceIdentityServiceTest, CorruptedRecordFailsAndIsNeverReplaced) {
    const DeviceIdentity valid = makeService()->loadOrCreateRecord();
    const Json good = json::encode(valid);
    auto withKey = [&](Bytes key) {
        Json j = good;
        j["signingPrivateKey"] = base64Encode(key);
        return j.dump();
    };
    Bytes mismatched = valid.signingPrivateKey.bytes();
    mismatched[96] ^= 0x01;
    Json missingId = good;
    missingId.erase("id");
    for (const std::string& corruption :
         {std::string("not json"), missingId.dump(), withKey(Bytes(mismatched.begin(), mismatched.end() - 1)),
          withKey(mismatched), withKey(Bytes(97, 0))}) {
        SCOPED_TRACE(corruption.substr(0, 60));
        store->setItem(bytesOf(corruption), DeviceIdentityService::service(), DeviceIdentityService::kAccount);
        store->resetCallCounts();
        auto service = makeService();
        expectCorrupted([&] { service->loadOrCreateRecord(); });
        expectCorrupted([&] { service->sign(bytesOf("x")); });
        expectCorrupted([&] { service->tlsIdentity(); });
        expectCorrupted([&] { service->renameDevice(); });
        EXPECT_EQ(calls(Operation::save) + calls(Operation::deleteItem), 0u);
        EXPECT_EQ(stringOf(storedItem().value()), corruption);
    }
    // Reset is the way out.
    const DevicePublicIdentity fresh = makeService()->resetIdentity();
    EXPECT_EQ(makeService()->loadOrCreateRecord().id, fresh.id);
}

TEST_F(DeviceIdentityServiceTest, StoreFailuresCreateAndCacheNothing) {
    store->setFailure(Operation::load, EACCES);
    auto service = makeService();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto e = testing::thrown<SecureStoreError>([&] { service->loadOrCreateRecord(); });
        EXPECT_EQ(e.kind, SecureStoreError::Case::loadFailed);
        EXPECT_EQ(e.errorNumber, EACCES);
    }
    EXPECT_THROW(service->sign(bytesOf("x")), SecureStoreError);
    EXPECT_EQ(calls(Operation::save), 0u);
    store->clearFailure(Operation::load);

    store->setFailure(Operation::save, ENOSPC);
    EXPECT_THROW(service->loadOrCreateRecord(), SecureStoreError);
    EXPECT_EQ(store->itemCount(), 0u);
    store->clearFailure(Operation::save);
    const DeviceIdentity created = service->loadOrCreateRecord();
    EXPECT_EQ(makeService()->loadOrCreateRecord(), created);
}

TEST_F(DeviceIdentityServiceTest, RenameTrimsKeepsTheKeyAndCertificateAndSavesOnlyAChange) {
    providedName = "  Studio Desktop\n";
    auto service = makeService();
    const DeviceIdentity before = service->loadOrCreateRecord();
    EXPECT_EQ(before.displayName, "Studio Desktop");
    const TLSDeviceIdentity tls = service->tlsIdentity();
    const unsigned char* cursor = tls.certificateDER.data();
    X509Ptr leaf(d2i_X509(nullptr, &cursor, static_cast<long>(tls.certificateDER.size())));
    EXPECT_TRUE(TLSTransportSecurity::verifyPeer(leaf.get(), tls.publicIdentity.fingerprint, nullptr));

    providedName = "\xC2\xA0Office\t\xE3\x80\x80";
    const DevicePublicIdentity renamed = service->renameDevice();
    EXPECT_EQ(renamed.displayName, "Office");
    EXPECT_EQ(renamed.signingPublicKey, service->publicIdentity(before).signingPublicKey);
    EXPECT_EQ(makeService()->loadOrCreateRecord().displayName, "Office");
    EXPECT_EQ(service->tlsIdentity().certificateDER, tls.certificateDER);
    EXPECT_EQ(service->tlsIdentity().publicIdentity.displayName, "Office");
    service->renameDevice(); // same name: nothing to write
    EXPECT_EQ(calls(Operation::save), 2u);

    providedName = "\xE2\x80\xA8 \r\n\xC2\x85";
    EXPECT_EQ(service->renameDevice().displayName, "Velorinth Device");
}

TEST_F(DeviceIdentityServiceTest, ResetGivesANewIdentityOnlyOnceTheOldIsDeleted) {
    auto service = makeService();
    const DevicePublicIdentity old = service->publicIdentity(service->loadOrCreateRecord());
    const Bytes oldCertificate = service->tlsIdentity().certificateDER;
    store->setFailure(Operation::deleteItem);
    EXPECT_THROW(service->resetIdentity(), SecureStoreError);
    EXPECT_EQ(service->publicIdentity(service->loadOrCreateRecord()), old);
    store->clearFailure(Operation::deleteItem);

    const DevicePublicIdentity fresh = service->resetIdentity();
    EXPECT_NE(fresh.id, old.id);
    EXPECT_NE(fresh.signingPublicKey, old.signingPublicKey);
    EXPECT_EQ(makeService()->loadOrCreateRecord().id, fresh.id);
    EXPECT_NE(service->tlsIdentity().certificateDER, oldCertificate);
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
