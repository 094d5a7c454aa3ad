#pragma once

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"
#include "platform/SecureStore.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "transport/security/DeviceIdentityServiceError.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

// Keeps this device's P-256 signing identity as one record in the secure
// store: created on first use, cached afterwards, never replaced behind the
// user's back. A record that cannot be read back fails with corruptedIdentity
// until the user resets the identity; a store that cannot be read fails with
// its own error and nothing is created.
//
// Synchronous; one mutex guards everything, so it may be called from any
// thread. The display-name provider is called with that mutex held and must
// not call back into the service.
class DeviceIdentityService {
public:
    static constexpr std::string_view kServiceSuffix = ".identity";
    static constexpr std::string_view kAccount = "p256-signing-identity-v1";
    static constexpr std::string_view kDefaultDisplayName = "Velorinth Device";
    // kApplicationIdentifierPrefix + kServiceSuffix.
    static std::string service();

    DeviceIdentityService(std::shared_ptr<SecureStore> secureStore, std::function<std::string()> displayNameProvider);

    DeviceIdentityService(const DeviceIdentityService&) = delete;
    DeviceIdentityService& operator=(const DeviceIdentityService&) = delete;

    // The cached record, else the stored one, else a new one (new identifiers,
    // new key, the provider's name) that is saved before it is cached.
    // Throws corruptedIdentity for a stored record that does not decode or
    // whose key is not a valid P-256 key pair, and the store's errors.
    DeviceIdentity loadOrCreateRecord();

    // The record's identity as peers see it. Throws corruptedIdentity when the
    // record's private key is not a valid P-256 key pair.
    DevicePublicIdentity publicIdentity(const DeviceIdentity& record) const;

    // DER ECDSA P-256 signature over SHA-256(message) with this device's key;
    // the record is loaded or created first.
    Bytes sign(ByteView message);

    // This device as a TLS peer. The certificate is issued once per key and
    // reused; it names only the device identifier, so a rename keeps it.
    // Throws the identity errors or TLSSecurityError(identityCreationFailed).
    TLSDeviceIdentity tlsIdentity();

    // Takes the provider's current name (trimmed; empty becomes
    // kDefaultDisplayName), saves it when it differs from the stored one and
    // returns the public identity. The key is kept.
    DevicePublicIdentity renameDevice();

    // Deletes the stored record and every cache, then creates, stores and
    // returns a new identity (new identifiers and a new key). This is the one
    // way out of corruptedIdentity.
    DevicePublicIdentity resetIdentity();

    // Whitespace and newlines trimmed at both ends; empty becomes kDefaultDisplayName.
    static std::string normalizedDisplayName(std::string_view name);

private:
    struct LoadedIdentity {
        DeviceIdentity record;
        P256SigningKey signingKey;
    };

    const LoadedIdentity& loadOrCreateLocked();
    LoadedIdentity createLocked();
    void saveLocked(const DeviceIdentity& record);
    static P256SigningKey signingKeyOf(const DeviceIdentity& record);
    static DevicePublicIdentity publicIdentityOf(const LoadedIdentity& loaded);

    const std::shared_ptr<SecureStore> secureStore_;
    const std::function<std::string()> displayNameProvider_;

    std::mutex mutex_;
    std::optional<LoadedIdentity> cached_;
    // The TLS identity of the cached key; its publicIdentity is refreshed on
    // every call, its certificate is not.
    std::optional<TLSDeviceIdentity> tlsIdentity_;
};

} // namespace velorinth
