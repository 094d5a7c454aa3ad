#pragma once

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/Error.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velorinth {

class IdentityModelError : public Error {
public:
    enum class Case { invalidFingerprint, invalidPublicKey };

    explicit IdentityModelError(Case kind);
    static std::string_view text(Case kind);

    Case kind;
};

// The SHA-256 of a device's 65-byte X9.63 signing public key: what users
// compare and what TLS pins. Always exactly 32 bytes.
class DeviceFingerprint {
public:
    static constexpr std::size_t kByteCount = 32;

    // All zero bytes; a placeholder that matches no real key.
    DeviceFingerprint() : bytes_(kByteCount, 0) {}
    // Throws IdentityModelError::invalidFingerprint unless `bytes` is 32 bytes long.
    explicit DeviceFingerprint(ByteView bytes);
    // The fingerprint of an X9.63 public key; never fails.
    static DeviceFingerprint fromPublicKey(ByteView publicKey);

    const Bytes& bytes() const noexcept { return bytes_; }
    // 64 upper-case hex digits in groups of four separated by single spaces.
    std::string groupedHexString() const;
    // The first four groups (19 characters).
    std::string shortDisplayText() const;

    bool operator==(const DeviceFingerprint&) const = default;

private:
    Bytes bytes_;
};

// What a device shows of itself to peers.
struct DevicePublicIdentity {
    Uuid id;
    std::string displayName;
    Uuid discoveryInstanceID;
    Bytes signingPublicKey; // 65-byte uncompressed X9.63 P-256 point
    DeviceFingerprint fingerprint;

    // Checks that the key is an uncompressed P-256 point (else
    // IdentityModelError::invalidPublicKey) and derives its fingerprint.
    static DevicePublicIdentity fromPublicKey(Uuid id, std::string displayName, Uuid discoveryInstanceID,
                                              Bytes signingPublicKey);

    bool operator==(const DevicePublicIdentity&) const = default;
};

// This device's own identity record, private key included.
struct DeviceIdentity {
    Uuid id;
    Uuid discoveryInstanceID;
    std::string displayName;
    SecretBytes signingPrivateKey; // 97-byte X9.63 private form 04 || X || Y || d
    Date createdAt;

    // Readable summary with the key shown as "[REDACTED]".
    std::string description() const;

    bool operator==(const DeviceIdentity&) const = default;
};

// The rights of a paired device.
struct DevicePermissions : json::ByteOptionSet<DevicePermissions> {
    using ByteOptionSet::ByteOptionSet;

    static const DevicePermissions connect;
    static const DevicePermissions screenView;
    static const DevicePermissions remoteControl;
    static const DevicePermissions all;

    constexpr bool allowsScreenView() const { return (rawValue & 0x02) != 0; }
    constexpr bool allowsRemoteControl() const { return (rawValue & 0x04) != 0; }

    // True when `required` holds a bit that `granted` lacks.
    static constexpr bool isMissingRequired(DevicePermissions required, DevicePermissions granted) {
        return (required.rawValue & ~granted.rawValue) != 0;
    }
};

inline constexpr DevicePermissions DevicePermissions::connect{0x01};
inline constexpr DevicePermissions DevicePermissions::screenView{0x02};
inline constexpr DevicePermissions DevicePermissions::remoteControl{0x04};
inline constexpr DevicePermissions DevicePermissions::all{0x07};

enum class DeviceAuthorization { authorized, revoked };

namespace json {

template <>
struct Codec<DeviceFingerprint> {
    static Json encode(const DeviceFingerprint& value);
    // A wrong length throws IdentityModelError::invalidFingerprint.
    static DeviceFingerprint decode(const Json& j);
};

// Decoding checks neither the key nor that the fingerprint matches it: the
// pairing and trust checks compare those and report the mismatch themselves.
template <>
struct JsonFields<DevicePublicIdentity> {
    static constexpr auto fields = std::make_tuple(
        member("id", &DevicePublicIdentity::id),
        member("displayName", &DevicePublicIdentity::displayName),
        member("discoveryInstanceID", &DevicePublicIdentity::discoveryInstanceID),
        member("signingPublicKey", &DevicePublicIdentity::signingPublicKey),
        member("fingerprint", &DevicePublicIdentity::fingerprint));
};

template <>
struct Codec<DeviceIdentity> {
    static Json encode(const DeviceIdentity& value);
    static DeviceIdentity decode(const Json& j);
};

template <>
struct EnumNames<DeviceAuthorization> {
    static constexpr std::array<std::string_view, 2> names{"authorized", "revoked"};
};

} // namespace json
} // namespace velorinth
