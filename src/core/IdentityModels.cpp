#include "core/IdentityModels.hpp"

#include "core/Digest.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>

namespace velorinth {

namespace {

constexpr std::size_t kUncompressedP256KeySize = 65;

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// True when `key` is 04 || X || Y naming a point of P-256 (not the point at
// infinity). Compressed and hybrid encodings are refused on purpose: the key
// is stored, hashed and sent in exactly this one form.
bool isUncompressedP256Point(ByteView key) {
    if (key.size() != kUncompressedP256KeySize || key[0] != 0x04) return false;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) return false;
    char group[] = "P-256";
    Bytes copy(key.begin(), key.end());
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) return false;
    std::unique_ptr<EVP_PKEY, PkeyDeleter> pkey(raw);
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> checkCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    return checkCtx && EVP_PKEY_public_check(checkCtx.get()) == 1;
}

} // namespace

// ---- IdentityModelError -----------------------------------------------------

IdentityModelError::IdentityModelError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view IdentityModelError::text(Case kind) {
    switch (kind) {
    case Case::invalidFingerprint: return "The device fingerprint is invalid.";
    case Case::invalidPublicKey: return "The device public key is invalid.";
    }
    return {};
}

// ---- DeviceFingerprint --------------------------------------------------------

DeviceFingerprint::DeviceFingerprint(ByteView bytes) {
    if (bytes.size() != kByteCount) throw IdentityModelError(IdentityModelError::Case::invalidFingerprint);
    bytes_.assign(bytes.begin(), bytes.end());
}

DeviceFingerprint DeviceFingerprint::fromPublicKey(ByteView publicKey) { return DeviceFingerprint(sha256(publicKey)); }

std::string DeviceFingerprint::groupedHexString() const {
    const std::string hex = hexEncodedString(bytes_);
    std::string out;
    out.reserve(hex.size() + hex.size() / 4);
    for (std::size_t i = 0; i < hex.size(); i += 4) {
        if (i != 0) out.push_back(' ');
        out.append(hex, i, 4);
    }
    return out;
}

std::string DeviceFingerprint::shortDisplayText() const { return groupedHexString().substr(0, 19); }

// ---- DevicePublicIdentity -----------------------------------------------------

DevicePublicIdentity DevicePublicIdentity::fromPublicKey(Uuid id, std::string displayName, Uuid discoveryInstanceID,
                                                         Bytes signingPublicKey) {
    if (!isUncompressedP256Point(signingPublicKey)) throw IdentityModelError(IdentityModelError::Case::invalidPublicKey);
    auto fingerprint = DeviceFingerprint::fromPublicKey(signingPublicKey);
    return DevicePublicIdentity{id, std::move(displayName), discoveryInstanceID, std::move(signingPublicKey),
                                std::move(fingerprint)};
}

// ---- DeviceIdentity -------------------------------------------------------------

std::string DeviceIdentity::description() const {
    return "DeviceIdentity(id: " + id.uuidString() + ", discoveryInstanceID: " + discoveryInstanceID.uuidString() +
           ", displayName: \"" + displayName + "\", signingPrivateKey: [REDACTED], createdAt: " +
           std::to_string(createdAt.timeIntervalSinceReferenceDate()) + ")";
}

// ---- JSON -------------------------------------------------------------------------

namespace json {

Json Codec<DeviceFingerprint>::encode(const DeviceFingerprint& value) {
    Json out = Json::object();
    put(out, "bytes", value.bytes());
    return out;
}

DeviceFingerprint Codec<DeviceFingerprint>::decode(const Json& j) {
    expectObject(j, "DeviceFingerprint");
    return DeviceFingerprint(field<Bytes>(j, "bytes"));
}

Json Codec<DeviceIdentity>::encode(const DeviceIdentity& value) {
    Json out = Json::object();
    put(out, "id", value.id);
    put(out, "displayName", value.displayName);
    put(out, "discoveryInstanceID", value.discoveryInstanceID);
    out["signingPrivateKey"] = base64Encode(value.signingPrivateKey.view());
    put(out, "createdAt", value.createdAt);
    return out;
}

DeviceIdentity Codec<DeviceIdentity>::decode(const Json& j) {
    expectObject(j, "DeviceIdentity");
    DeviceIdentity identity;
    identity.id = field<Uuid>(j, "id");
    identity.displayName = field<std::string>(j, "displayName");
    identity.discoveryInstanceID = field<Uuid>(j, "discoveryInstanceID");
    identity.signingPrivateKey = SecretBytes(field<Bytes>(j, "signingPrivateKey"));
    identity.createdAt = field<Date>(j, "createdAt");
    return identity;
}

} // namespace json
} // namespace velorinth
