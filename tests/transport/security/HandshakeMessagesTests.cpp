#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/NetworkConnectionError.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace velorinth {
namespace {

using K = HandshakeMessageKind;
using C = HandshakeEnvelopeError::Case;

Uuid uuid(const char* text) { return *Uuid::fromString(text); }

PairingRequest sampleRequest() {
    DevicePublicIdentity identity{uuid("00000000-0000-0000-0000-000000000001"), "Tablet",
                                  uuid("00000000-0000-0000-0000-000000000002"), Bytes{0x04, 0x01, 0x02},
                                  DeviceFingerprint(Bytes(32, 0))};
    return PairingRequest{uuid("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), 1, {1}, identity, Bytes{0xFF},
                          Bytes{0x00, 0x01}, 1'700'000'000, HandshakePurpose::reconnect};
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

// The envelope error `call` throws, or nullopt.
C envelopeFailure(const std::function<void()>& call) { return testing::thrown<HandshakeEnvelopeError>(call).kind; }

TEST(HandshakeMessages, MatchGoldenJson) {
    HandshakeEnvelope envelope{K::pairingRequest, bytesOf("{}")};
    EXPECT_EQ(Json::parse(R"({"kind":"pairingRequest","payload":"e30="})"), json::encode(envelope));
    EXPECT_EQ(json::decodeFromString<HandshakeEnvelope>(R"({"kind":"pairingRequest","payload":"e30="})"), envelope);
    EXPECT_EQ(Json::parse(kRequestGolden), json::encode(sampleRequest()));
    EXPECT_EQ(json::decodeFromString<PairingRequest>(kRequestGolden), sampleRequest());

    PairingDecision decision{false, HandshakeRejectionCode::approvalTimedOut,
                             std::string(handshakeRejectionText(HandshakeRejectionCode::approvalTimedOut)),
                             std::nullopt};
    EXPECT_EQ(Json::parse(R"({"approved":false,"rejectionCode":"approvalTimedOut",
                              "reason":"Pairing approval timed out on the Mac."})"),
              json::encode(decision));

    auto sealed = HandshakeEnvelope::makeEncrypted(K::encryptedDecision, 7, Bytes{1, 2, 3});
    EXPECT_EQ(json::parse(stringOf(sealed.payload)), Json::parse(R"({"sequence":7,"ciphertext":"AQID"})"));
    auto error = HandshakeEnvelope::makeError(K::error, HandshakeRejectionCode::rateLimited, "Wait.");
    EXPECT_EQ(json::parse(stringOf(error.payload)), Json::parse(R"({"code":"rateLimited","message":"Wait."})"));
}

TEST(HandshakeMessages, MalformedInputFailsToDecode) {
    const Json golden = Json::parse(kRequestGolden);
    const std::vector<std::function<void(Json&)>> changes{
        [](Json& j) { j.erase("nonce"); },
        [](Json& j) { j["purpose"] = "steal"; },
        [](Json& j) { j["protocolVersion"] = 70000; },
        [](Json& j) { j["supportedProtocolVersions"] = Json::array({-1}); },
        [](Json& j) { j["nonce"] = "AA E="; },
        [](Json& j) { j["createdAtEpochSeconds"] = "1700000000"; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        Json changed = golden;
        changes[i](changed);
        EXPECT_THROW(json::decode<PairingRequest>(changed), JSONDecodingError) << "change " << i;
    }
    EXPECT_THROW(json::decodeFromString<EncryptedSessionMessage>(R"({"sequence":-1,"ciphertext":""})"),
                 JSONDecodingError);
    EXPECT_EQ(json::decodeFromString<EncryptedSessionMessage>(R"({"sequence":18446744073709551615,"ciphertext":""})")
                  .sequence,
              UINT64_MAX);

    // A frame that is no envelope is a malformed frame; unknown keys are ignored.
    for (const char* frame : {"not json", R"({"kind":"hello","payload":"e30="})", R"({"kind":"error"})",
                              R"(["error","e30="])", R"({"kind":"error","payload":"e30"})"}) {
        EXPECT_EQ(testing::thrown<NetworkConnectionError>([&] { decodeHandshakeEnvelopeFrame(bytesOf(frame)); }).kind,
                  NetworkConnectionError::Case::malformedFrame)
            << frame;
    }
    EXPECT_EQ(decodeHandshakeEnvelopeFrame(bytesOf(R"({"kind":"error","payload":"e30=","extra":true})")),
              (HandshakeEnvelope{K::error, bytesOf("{}")}));
}

TEST(HandshakeEnvelope, DecodeMapsKindsAndPayloadsToTheirErrors) {
    const auto busy = HandshakeEnvelope::makeError(K::error, HandshakeRejectionCode::pairingBusy, "Busy here");
    const auto good = HandshakeEnvelope::makeEncrypted(K::encryptedDecision, 0, Bytes(16, 9));
    const std::vector<std::pair<HandshakeEnvelope, C>> cases{
        {busy, C::remoteHandshakeError},
        {{K::error, bytesOf(R"({"code":"nope","message":"x"})")}, C::unexpectedMessage},
        {{K::error, bytesOf("oops")}, C::unexpectedMessage},
        {{K::encryptedServerReady, good.payload}, C::unexpectedMessage},
        {{K::encryptedDecision, bytesOf(R"({"sequence":0})")}, C::malformedPayload},
        {{K::encryptedDecision, bytesOf("{")}, C::malformedPayload},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [received, failure] = cases[i];
        EXPECT_EQ(envelopeFailure([&] { HandshakeEnvelope::decodeEncryptedMessage(K::encryptedDecision, received); }),
                  failure)
            << "case " << i;
    }
    EXPECT_EQ(HandshakeEnvelope::decodeEncryptedMessage(K::encryptedDecision, good),
              (EncryptedSessionMessage{0, Bytes(16, 9)}));

    // A payload failing its own checks (a short fingerprint) is malformed too.
    auto request = Json::parse(kRequestGolden);
    request["initiatorIdentity"]["fingerprint"]["bytes"] = "AAAA";
    const HandshakeEnvelope shortFingerprint{K::pairingRequest, bytesOf(request.dump())};
    EXPECT_EQ(envelopeFailure([&] {
                  HandshakeEnvelope::decodePayload<PairingRequest>(K::pairingRequest, shortFingerprint);
              }),
              C::malformedPayload);
}

TEST(HandshakeEnvelope, RemoteErrorCarriesThePeersPayloadAndText) {
    const std::string text = "The Mac is already displaying another pairing request.";
    const auto busy = HandshakeEnvelope::makeError(K::error, HandshakeRejectionCode::pairingBusy, text);
    const auto error = testing::thrown<HandshakeEnvelopeError>(
        [&] { HandshakeEnvelope::decodePayload<PairingResponse>(K::pairingResponse, busy); });
    EXPECT_EQ(error, HandshakeEnvelopeError::remoteHandshakeError({HandshakeRejectionCode::pairingBusy, text}));
    EXPECT_EQ(error.what(), text);
    // Expecting an error envelope reads it as the payload itself.
    EXPECT_EQ(HandshakeEnvelope::decodePayload<HandshakeErrorPayload>(K::error, busy).code,
              HandshakeRejectionCode::pairingBusy);
}

} // namespace
} // namespace velorinth
