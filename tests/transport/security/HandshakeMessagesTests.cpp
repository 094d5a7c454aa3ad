#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/NetworkConnectionError.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

Uuid uuid(const char* text) { return *Uuid::fromString(text); }

PairingRequest sampleRequest() {
    DevicePublicIdentity identity{uuid("00000000-0000-0000-0000-000000000001"), "Tablet",
                                  uuid("00000000-0000-0000-0000-000000000002"), Bytes{0x04, 0x01, 0x02},
                                  DeviceFingerprint(Bytes(32, 0))};
    return PairingRequest{uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
                          1,
                          {1},
                          identity,
                          Bytes{0xFF},
                          Bytes{0x00, 0x01},
                          1'700'000'000,
                          HandshakePurpose::reconnect};
}

constexpr const char* kRequestGolden = R"({
  "pairingID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
  "protocolVersion": 1,
  "supportedProtocolVersions": [1],
  "initiatorIdentity": {
    "id": "00000000-0000-0000-0000-000000000001",
    "displayName": "Tablet",
    "discoveryInstanceID": "00000000-0000-0000-0000-000000000002",
    "signingPublicKey": "BAEC",
    "fingerprint": {"bytes": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="}
  },
  "ephemeralPublicKey": "/w==",
  "nonce": "AAE=",
  "createdAtEpochSeconds": 1700000000,
  "purpose": "reconnect"
})";

TEST(HandshakeMessages, EnvelopeAndRequestMatchGoldenJson) {
    HandshakeEnvelope envelope{HandshakeMessageKind::pairingRequest, bytesOf("{}")};
    EXPECT_EQ(Json::parse(R"({"kind":"pairingRequest","payload":"e30="})"), json::encode(envelope));
    EXPECT_EQ(json::decodeFromString<HandshakeEnvelope>(R"({"kind":"pairingRequest","payload":"e30="})"), envelope);

    EXPECT_EQ(Json::parse(kRequestGolden), json::encode(sampleRequest()));
    EXPECT_EQ(json::decodeFromString<PairingRequest>(kRequestGolden), sampleRequest());
}

TEST(HandshakeMessages, DecisionOmitsAbsentFields) {
    PairingDecision decision{false, HandshakeRejectionCode::approvalTimedOut,
                             std::string(handshakeRejectionText(HandshakeRejectionCode::approvalTimedOut)),
                             std::nullopt};
    EXPECT_EQ(Json::parse(R"({"approved":false,"rejectionCode":"approvalTimedOut",
                              "reason":"Pairing approval timed out on the Mac."})"),
              json::encode(decision));
    EXPECT_EQ(json::decodeFromString<PairingDecision>(R"({"approved":true,"reason":null})"),
              (PairingDecision{true, std::nullopt, std::nullopt, std::nullopt}));
}

TEST(HandshakeMessages, MalformedInputFailsToDecode) {
    auto golden = Json::parse(kRequestGolden);
    auto variants = std::vector<std::pair<const char*, Json>>{};
    auto with = [&](const char* name, auto change) {
        Json copy = golden;
        change(copy);
        variants.emplace_back(name, copy);
    };
    with("missing nonce", [](Json& j) { j.erase("nonce"); });
    with("unknown purpose", [](Json& j) { j["purpose"] = "steal"; });
    with("version out of range", [](Json& j) { j["protocolVersion"] = 70000; });
    with("negative version in list", [](Json& j) { j["supportedProtocolVersions"] = Json::array({-1}); });
    with("nonce not Base64", [](Json& j) { j["nonce"] = "AA E="; });
    with("date as text", [](Json& j) { j["createdAtEpochSeconds"] = "1700000000"; });
    with("bad pairing id", [](Json& j) { j["pairingID"] = "not-a-uuid"; });
    for (const auto& [name, value] : variants) {
        EXPECT_THROW(json::decode<PairingRequest>(value), JSONDecodingError) << name;
    }
    EXPECT_THROW(json::decodeFromString<HandshakeEnvelope>(R"({"kind":"hello","payload":""})"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<HandshakeEnvelope>(R"({"kind":"error"})"), JSONDecodingError);
    EXPECT_THROW(json::decodeFromString<EncryptedSessionMessage>(R"({"sequence":-1,"ciphertext":""})"),
                 JSONDecodingError);
    EXPECT_EQ(json::decodeFromString<EncryptedSessionMessage>(R"({"sequence":18446744073709551615,"ciphertext":""})")
                  .sequence,
              UINT64_MAX);
}

TEST(HandshakeEnvelope, MakeEncryptedAndMakeErrorCarryTheirPayloadJson) {
    auto sealed = HandshakeEnvelope::makeEncrypted(HandshakeMessageKind::encryptedDecision, 7, Bytes{1, 2, 3});
    EXPECT_EQ(sealed.kind, HandshakeMessageKind::encryptedDecision);
    EXPECT_EQ(json::parse(stringOf(sealed.payload)), Json::parse(R"({"sequence":7,"ciphertext":"AQID"})"));
    EXPECT_EQ(HandshakeEnvelope::makeEncrypted(HandshakeMessageKind::encryptedDecision,
                                               EncryptedSessionMessage{7, Bytes{1, 2, 3}}),
              sealed);

    auto error = HandshakeEnvelope::makeError(HandshakeMessageKind::error, HandshakeRejectionCode::rateLimited,
                                              "Too many pairing attempts. Wait a minute and try again.");
    EXPECT_EQ(json::parse(stringOf(error.payload)),
              Json::parse(R"({"code":"rateLimited",
                              "message":"Too many pairing attempts. Wait a minute and try again."})"));
}

struct DecodeCase {
    const char* name;
    HandshakeMessageKind expected;
    HandshakeEnvelope received;
    std::optional<HandshakeEnvelopeError::Case> failure; // nullopt: decodes
};

TEST(HandshakeEnvelope, DecodeMapsKindsAndPayloadsToTheirErrors) {
    using K = HandshakeMessageKind;
    using C = HandshakeEnvelopeError::Case;
    const auto busy = HandshakeEnvelope::makeError(K::error, HandshakeRejectionCode::pairingBusy, "Busy here");
    const auto good = HandshakeEnvelope::makeEncrypted(K::encryptedDecision, 0, Bytes(16, 9));
    const std::vector<DecodeCase> cases{
        {"remote error", K::encryptedDecision, busy, C::remoteHandshakeError},
        {"unreadable error", K::encryptedDecision, {K::error, bytesOf(R"({"code":"nope","message":"x"})")},
         C::unexpectedMessage},
        {"error that is not JSON", K::encryptedDecision, {K::error, bytesOf("oops")}, C::unexpectedMessage},
        {"other kind", K::encryptedDecision, {K::encryptedServerReady, good.payload}, C::unexpectedMessage},
        {"missing ciphertext", K::encryptedDecision, {K::encryptedDecision, bytesOf(R"({"sequence":0})")},
         C::malformedPayload},
        {"payload not JSON", K::encryptedDecision, {K::encryptedDecision, bytesOf("{")}, C::malformedPayload},
        {"right kind", K::encryptedDecision, good, std::nullopt},
    };
    for (const auto& c : cases) {
        if (!c.failure) {
            EXPECT_EQ(HandshakeEnvelope::decodeEncryptedMessage(c.expected, c.received),
                      (EncryptedSessionMessage{0, Bytes(16, 9)}))
                << c.name;
            continue;
        }
        try {
            HandshakeEnvelope::decodeEncryptedMessage(c.expected, c.received);
            ADD_FAILURE() << c.name << ": decoded";
        } catch (const HandshakeEnvelopeError& error) {
            EXPECT_EQ(error.kind, *c.failure) << c.name;
        }
    }
}

TEST(HandshakeEnvelope, RemoteErrorCarriesThePeersPayloadAndText) {
    const auto busy = HandshakeEnvelope::makeError(HandshakeMessageKind::error, HandshakeRejectionCode::pairingBusy,
                                                   "The Mac is already displaying another pairing request.");
    try {
        HandshakeEnvelope::decodePayload<PairingResponse>(HandshakeMessageKind::pairingResponse, busy);
        FAIL() << "decoded";
    } catch (const HandshakeEnvelopeError& error) {
        HandshakeErrorPayload expected{HandshakeRejectionCode::pairingBusy,
                                       "The Mac is already displaying another pairing request."};
        EXPECT_EQ(error, HandshakeEnvelopeError::remoteHandshakeError(expected));
        EXPECT_NE(error, HandshakeEnvelopeError::remoteHandshakeError({HandshakeRejectionCode::pairingBusy, "x"}));
        EXPECT_STREQ(error.what(), "The Mac is already displaying another pairing request.");
    }
    // Expecting an error envelope reads it as the payload itself.
    EXPECT_EQ(HandshakeEnvelope::decodePayload<HandshakeErrorPayload>(HandshakeMessageKind::error, busy).code,
              HandshakeRejectionCode::pairingBusy);
    EXPECT_STREQ(HandshakeEnvelopeError(HandshakeEnvelopeError::Case::unexpectedMessage).what(),
                 "Received an unexpected protocol handshake message.");
    EXPECT_STREQ(HandshakeEnvelopeError(HandshakeEnvelopeError::Case::malformedPayload).what(),
                 "Received a malformed handshake payload.");
}

TEST(HandshakeEnvelope, PayloadFailingItsOwnChecksIsMalformed) {
    // A fingerprint of the wrong length fails outside the JSON decoder's own errors.
    auto request = Json::parse(kRequestGolden);
    request["initiatorIdentity"]["fingerprint"]["bytes"] = "AAAA";
    HandshakeEnvelope envelope{HandshakeMessageKind::pairingRequest, bytesOf(request.dump())};
    try {
        HandshakeEnvelope::decodePayload<PairingRequest>(HandshakeMessageKind::pairingRequest, envelope);
        FAIL() << "decoded";
    } catch (const HandshakeEnvelopeError& error) {
        EXPECT_EQ(error.kind, HandshakeEnvelopeError::Case::malformedPayload);
    }
}

TEST(HandshakeEnvelope, FrameThatIsNoEnvelopeIsMalformed) {
    for (const char* frame : {"not json", R"({"kind":"hello","payload":"e30="})", R"({"kind":"error"})",
                              R"(["error","e30="])", R"({"kind":"error","payload":"e30"})"}) {
        try {
            decodeHandshakeEnvelopeFrame(bytesOf(frame));
            ADD_FAILURE() << frame << ": decoded";
        } catch (const NetworkConnectionError& error) {
            EXPECT_EQ(error.kind, NetworkConnectionError::Case::malformedFrame) << frame;
        }
    }
    EXPECT_EQ(decodeHandshakeEnvelopeFrame(bytesOf(R"({"kind":"error","payload":"e30=","extra":true})")),
              (HandshakeEnvelope{HandshakeMessageKind::error, bytesOf("{}")}));
}

} // namespace
} // namespace velorinth
