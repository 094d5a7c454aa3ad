#include "core/IdentityModels.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

using namespace velorinth;

namespace {

// The P-256 base point G, a public key known to lie on the curve, and its SHA-256 (from `openssl dgst`).
const char* const kGeneratorHex =
    "046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
    "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5";
const char* const kGeneratorFingerprintHex = "698BEA63DC44A344663FF1429AEA10842DF27B6B991EF25866B2C6C02CDCC5BE";

Bytes hex(const char* text) { return *hexDecode(text); }
Uuid uuid(const char* text) { return *Uuid::fromString(text); }

template <class F>
void expectIdentityError(F&& body, IdentityModelError::Case expected) {
    EXPECT_EQ(velorinth::testing::thrown<IdentityModelError>(body).kind, expected);
}

} // namespace

TEST(DeviceFingerprint, FromPublicKeyDisplayAndJson) {
    auto fingerprint = DeviceFingerprint::fromPublicKey(hex(kGeneratorHex));
    EXPECT_EQ(hexEncodedString(fingerprint.bytes()), kGeneratorFingerprintHex);
    EXPECT_EQ(fingerprint.groupedHexString(),
              "698B EA63 DC44 A344 663F F142 9AEA 1084 2DF2 7B6B 991E F258 66B2 C6C0 2CDC C5BE");
    EXPECT_EQ(fingerprint.shortDisplayText(), "698B EA63 DC44 A344");

    const auto golden = R"({"bytes":"aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="})";
    EXPECT_EQ(Json::parse(golden), json::encode(fingerprint));
    EXPECT_EQ(json::decodeFromString<DeviceFingerprint>(golden), fingerprint);
}

TEST(DeviceFingerprint, OnlyThirtyTwoBytes) {
    for (std::size_t n : {0u, 31u, 33u}) {
        expectIdentityError([&] { (void)DeviceFingerprint(Bytes(n, 0xAB)); },
                            IdentityModelError::Case::invalidFingerprint);
    }
    // 31 bytes from the wire: a truncated fingerprint must never pin anything.
    const char* const short31 = R"({"bytes":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="})";
    expectIdentityError([&] { json::decodeFromString<DeviceFingerprint>(short31); },
                        IdentityModelError::Case::invalidFingerprint);
    EXPECT_THROW(json::decodeFromString<DeviceFingerprint>("{}"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<DeviceFingerprint>(R"({"bytes":42})"), JSONDecodingError);
}

TEST(DevicePublicIdentity, FromPublicKeyValidatesThePoint) {
    const Uuid id = uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    Bytes offCurve = hex(kGeneratorHex);
    offCurve.back() ^= 0x01;
    Bytes compressed = hex(kGeneratorHex);
    compressed.resize(33);
    compressed[0] = 0x02;
    for (const Bytes& bad : {offCurve, compressed, Bytes{}}) {
        expectIdentityError([&] { DevicePublicIdentity::fromPublicKey(id, "x", id, bad); },
                            IdentityModelError::Case::invalidPublicKey);
    }
}

TEST(DevicePublicIdentity, JsonGoldenAndUncheckedFingerprint) {
    const auto golden = R"({"id": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "displayName": "Studio Mac",
        "discoveryInstanceID": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
        "signingPublicKey": "BGsX0fLhLEJH+Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT+NC4v4af5uO5+tKfA+eFivOM1drMV7Oy7ZAaDe/UfU=",
        "fingerprint": {"bytes": "aYvqY9xEo0RmP/FCmuoQhC3ye2uZHvJYZrLGwCzcxb4="}})";
    auto identity = DevicePublicIdentity::fromPublicKey(uuid("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), "Studio Mac",
                                                        uuid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"),
                                                        hex(kGeneratorHex));
    EXPECT_EQ(Json::parse(golden), json::encode(identity));
    EXPECT_EQ(json::decodeFromString<DevicePublicIdentity>(golden), identity);

    // Decoding leaves key checks to the handshake: a fingerprint of another key still decodes.
    Json mismatched = Json::parse(golden);
    mismatched["fingerprint"]["bytes"] = base64Encode(Bytes(32, 7));
    EXPECT_NE(json::decode<DevicePublicIdentity>(mismatched), identity);
}

TEST(DeviceIdentity, JsonGoldenRoundTripAndRedactedDescription) {
    // 97 bytes of 0x01: "AQEB" per three bytes, then one byte padded.
    std::string keyBase64;
    for (int i = 0; i < 32; ++i) keyBase64 += "AQEB";
    keyBase64 += "AQ==";
    const Json golden = {
        {"id", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},
        {"displayName", "Studio Mac"},
        {"discoveryInstanceID", "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"},
        {"signingPrivateKey", keyBase64},
        {"createdAt", 700000000.5},
    };
    DeviceIdentity identity{uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), uuid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"),
                            "Studio Mac", SecretBytes(Bytes(97, 0x01)), Date(700000000.5)};
    EXPECT_EQ(golden, json::encode(identity));
    EXPECT_EQ(json::decode<DeviceIdentity>(golden), identity);

    const std::string description = identity.description();
    EXPECT_NE(description.find("[REDACTED]"), std::string::npos);
    EXPECT_EQ(description.find(keyBase64.substr(0, 12)), std::string::npos);
    EXPECT_EQ(description.find("01010101"), std::string::npos);
}

TEST(DevicePermissions, BitsKeepUnknownAndMissingCheck) {
    DevicePermissions granted(0x80 | 0x07);
    granted.remove(DevicePermissions::screenView);
    EXPECT_EQ(granted.rawValue, 0x85);
    EXPECT_FALSE(granted.allowsScreenView());
    EXPECT_TRUE(granted.allowsRemoteControl());

    const auto required = DevicePermissions::connect | DevicePermissions::screenView;
    EXPECT_FALSE(DevicePermissions::isMissingRequired(required, DevicePermissions::all));
    EXPECT_TRUE(DevicePermissions::isMissingRequired(required, DevicePermissions::connect));
    EXPECT_EQ(json::decodeFromString<DevicePermissions>("133").rawValue, 0x85);
    EXPECT_THROW(json::decodeFromString<DevicePermissions>("256"), JSONDecodingError);
}
