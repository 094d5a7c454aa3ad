#include "transport/security/DeviceIdentityService.hpp"

#include "core/Text.hpp"

#include "core/Constants.hpp"
#include "core/Json.hpp"
#include "platform/crypto/CryptoError.hpp"

#include <array>
#include <utility>

namespace velorinth {

namespace {

[[noreturn]] void failCorrupted() {
    throw DeviceIdentityServiceError(DeviceIdentityServiceError::Case::corruptedIdentity);
}

} // namespace

std::string DeviceIdentityService::service() {
    return applicationIdentifier(kServiceSuffix);
}

std::string DeviceIdentityService::normalizedDisplayName(std::string_view name) {
    name = trimmedWhitespace(name);
    return name.empty() ? std::string(kDefaultDisplayName) : std::string(name);
}

DeviceIdentityService::DeviceIdentityService(std::shared_ptr<SecureStore> secureStore,
                                             std::function<std::string()> displayNameProvider)
    : secureStore_(std::move(secureStore)), displayNameProvider_(std::move(displayNameProvider)) {}

DeviceIdentity DeviceIdentityService::loadOrCreateRecord() {
    std::lock_guard lock(mutex_);
    return loadOrCreateLocked().record;
}

DevicePublicIdentity DeviceIdentityService::publicIdentity(const DeviceIdentity& record) const {
    return publicIdentityOf(LoadedIdentity{record, signingKeyOf(record)});
}

Bytes DeviceIdentityService::sign(ByteView message) {
    std::lock_guard lock(mutex_);
    return loadOrCreateLocked().signingKey.signature(message);
}

TLSDeviceIdentity DeviceIdentityService::tlsIdentity() {
    std::lock_guard lock(mutex_);
    const LoadedIdentity& loaded = loadOrCreateLocked();
    DevicePublicIdentity current = publicIdentityOf(loaded);
    const bool reusable = tlsIdentity_ && tlsIdentity_->publicIdentity.id == current.id &&
                          tlsIdentity_->publicIdentity.signingPublicKey == current.signingPublicKey;
    if (!reusable) {
        tlsIdentity_ = TLSDeviceIdentity::create(current, loaded.signingKey);
    }
    tlsIdentity_->publicIdentity = std::move(current);
    return *tlsIdentity_;
}

DevicePublicIdentity DeviceIdentityService::renameDevice() {
    const std::string name = normalizedDisplayName(displayNameProvider_ ? displayNameProvider_() : std::string());
    std::lock_guard lock(mutex_);
    const LoadedIdentity& loaded = loadOrCreateLocked();
    if (loaded.record.displayName != name) {
        DeviceIdentity renamed = loaded.record;
        renamed.displayName = name;
        saveLocked(renamed);
        cached_->record.displayName = name;
    }
    return publicIdentityOf(*cached_);
}

DevicePublicIdentity DeviceIdentityService::resetIdentity() {
    std::lock_guard lock(mutex_);
    // A failed delete leaves everything as it was; after it, nothing of the
    // old identity may be used again, even if creating the new one fails.
    secureStore_->deleteItem(service(), kAccount);
    cached_.reset();
    tlsIdentity_.reset();
    cached_.emplace(createLocked());
    return publicIdentityOf(*cached_);
}

const DeviceIdentityService::LoadedIdentity& DeviceIdentityService::loadOrCreateLocked() {
    if (cached_) return *cached_;
    // A read error leaves here as it is: creating an identity now could
    // overwrite a perfectly good one the store merely failed to return.
    std::optional<Bytes> stored = secureStore_->load(service(), kAccount);
    if (!stored) {
        cached_.emplace(createLocked());
        return *cached_;
    }
    const SecretBytes storedBytes(std::move(*stored)); // holds the private key in Base64
    std::optional<DeviceIdentity> record = json::tryDecodeFromBytes<DeviceIdentity>(storedBytes.view());
    if (!record) failCorrupted();
    P256SigningKey key = signingKeyOf(*record);
    cached_.emplace(LoadedIdentity{std::move(*record), std::move(key)});
    return *cached_;
}

DeviceIdentityService::LoadedIdentity DeviceIdentityService::createLocked() {
    DeviceIdentity record;
    record.id = Uuid::random();
    record.discoveryInstanceID = Uuid::random();
    record.displayName = normalizedDisplayName(displayNameProvider_ ? displayNameProvider_() : std::string());
    P256SigningKey key = P256SigningKey::generate();
    record.signingPrivateKey = key.x963Representation();
    record.createdAt = Date::now();
    saveLocked(record);
    return LoadedIdentity{std::move(record), std::move(key)};
}

void DeviceIdentityService::saveLocked(const DeviceIdentity& record) {
    const SecretBytes data(json::encodeToBytes(record));
    secureStore_->save(data.view(), service(), kAccount);
}

P256SigningKey DeviceIdentityService::signingKeyOf(const DeviceIdentity& record) {
    try {
        return P256SigningKey::fromX963(record.signingPrivateKey.view());
    } catch (const CryptoError&) {
        failCorrupted();
    }
}

DevicePublicIdentity DeviceIdentityService::publicIdentityOf(const LoadedIdentity& loaded) {
    const Bytes& key = loaded.signingKey.publicKeyX963();
    return DevicePublicIdentity{loaded.record.id, loaded.record.displayName, loaded.record.discoveryInstanceID, key,
                                DeviceFingerprint::fromPublicKey(key)};
}

} // namespace velorinth
