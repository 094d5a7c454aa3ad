#include "core/ControlProtocol.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

using namespace velorinth;

namespace {

const char* const kDeviceText = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

Uuid deviceID() { return *Uuid::fromString(kDeviceText); }

ClientHello sampleHello() {
    return ClientHello{1, {1}, deviceID(), Bytes{0x00, 0x01, 0x02, 0x03},
                       {Capability::keyboard, Capability::h264, Capability::pointer}};
}

} // namespace

TEST(ControlMessageJson, EveryTypeMatchesItsGoldenForm) {
    const std::vector<std::pair<ControlMessage, std::string>> table = {
        {ControlMessage::clientHello(sampleHello()),
         R"({"type":"clientHello","payload":{"protocolVersion":1,"supportedVersions":[1],"deviceID":")" +
             std::string(kDeviceText) + R"(","nonce":"AAECAw==","capabilities":["h264","pointer","keyboard"]}})"},
        {ControlMessage::input(std::numeric_limits<std::uint64_t>::max(),
                               InputEvent::key(0, true, KeyModifiers::command)),
         R"({"type":"input","payload":{"sequence":18446744073709551615,)"
         R"("event":{"key":{"code":0,"isDown":true,"modifiers":8}}}})"},
        {ControlMessage::displayChanged(DisplayDescriptor{4294967295u, 2560, 1600, 2.0}),
         R"({"type":"displayChanged","payload":{"identifier":4294967295,"pixelWidth":2560,"pixelHeight":1600,)"
         R"("scaleFactor":2.0}})"},
        {ControlMessage::ping(7, 123456789012345),
         R"({"type":"ping","payload":{"sequence":7,"sentAtNanoseconds":123456789012345}})"},
        {ControlMessage::disconnect("bye"), R"({"type":"disconnect","payload":{"reason":"bye"}})"},
        {ControlMessage::requestKeyFrame(), R"({"type":"requestKeyFrame"})"},
    };
    ASSERT_EQ(table.size(), ControlMessage::caseNames.size());
    for (const auto& [message, golden] : table) {
        EXPECT_EQ(json::encode(message), json::parse(golden)) << golden;
        EXPECT_EQ(json::decodeFromString<ControlMessage>(golden), message) << golden;
    }
    // The largest sequence survives as an exact integer, not a double.
    EXPECT_NE(json::encodeToString(table[1].first).find("18446744073709551615"), std::string::npos);
}

TEST(ControlMessageJson, RequestKeyFramePayloadForms) {
    for (const char* text : {R"({"type":"requestKeyFrame"})", R"({"type":"requestKeyFrame","payload":null})",
                             R"({"type":"requestKeyFrame","payload":{}})"}) {
        EXPECT_EQ(json::decodeFromString<ControlMessage>(text), ControlMessage::requestKeyFrame()) << text;
    }
    EXPECT_FALSE(json::encode(ControlMessage::requestKeyFrame()).contains("payload"));
    EXPECT_THROW(json::decodeFromString<ControlMessage>(R"({"type":"requestKeyFrame","payload":5})"),
                 JSONDecodingError);
}

TEST(ControlMessageJson, MalformedMessagesAreRefused) {
    for (const char* bad : {
             R"({"type":"bogus","payload":{}})",
             R"({"type":"RequestKeyFrame"})",
             R"({"payload":{"reason":"x"}})",
             R"({"type":5,"payload":{}})",
             R"({"type":"ping"})",
             R"({"type":"ping","payload":null})",
             R"({"type":"ping","payload":{"sequence":-1,"sentAtNanoseconds":0}})",
             R"({"type":"ping","payload":{"sequence":18446744073709551616,"sentAtNanoseconds":0}})",
             R"({"type":"input","payload":{"sequence":1,"event":{}}})",
             R"({"type":"disconnect","payload":"bye"})",
             R"({"type":"displayChanged",)"
             R"("payload":{"identifier":4294967296,"pixelWidth":1,"pixelHeight":1,"scaleFactor":1}})",
             R"(["input"])",
         }) {
        EXPECT_THROW(json::decodeFromString<ControlMessage>(bad), JSONDecodingError) << bad;
    }
}

TEST(CapabilityJson, SetsAreWrittenInDeclarationOrderAndReadStrictly) {
    auto set = json::decodeFromString<CapabilitySet>(R"(["wakeRelay","h264","pointer","h264"])");
    EXPECT_EQ(set, (CapabilitySet{Capability::h264, Capability::pointer, Capability::wakeRelay}));
    EXPECT_EQ(json::encode(set), json::parse(R"(["h264","pointer","wakeRelay"])"));
    EXPECT_EQ(json::encode(CapabilitySet{Capability::wakeRelay, Capability::localWake, Capability::keyboard,
                                         Capability::pointer, Capability::hevc, Capability::h264}),
              json::parse(R"(["h264","hevc","pointer","keyboard","localWake","wakeRelay"])"));
    for (const char* bad : {R"(["h264","av1"])", R"(["H264"])", R"("h264")", R"([1])"}) {
        EXPECT_THROW(json::decodeFromString<CapabilitySet>(bad), JSONDecodingError) << bad;
    }
}

TEST(HelloJson, ClientHelloNonceAndIdentifiers) {
    // The identifier is read in lower case too; the nonce is strict Base64.
    auto hello = json::decodeFromString<ClientHello>(
        R"({"protocolVersion":1,"supportedVersions":[1,2],"deviceID":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f",)"
        R"("nonce":"AAECAw==","capabilities":[]})");
    EXPECT_EQ(hello.deviceID, deviceID());
    EXPECT_EQ(hello.nonce, (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(hello.supportedVersions, (std::vector<std::uint16_t>{1, 2}));
    for (const char* nonce : {"AAECAw", "AAECAw=\n", " AAECAw==", "AAE=CAw="}) {
        Json j = json::encode(sampleHello());
        j["nonce"] = nonce;
        EXPECT_THROW(json::decode<ClientHello>(j), JSONDecodingError) << nonce;
    }
    Json j = json::encode(sampleHello());
    j["protocolVersion"] = 65536;
    EXPECT_THROW(json::decode<ClientHello>(j), JSONDecodingError);
    j = json::encode(sampleHello());
    j.erase("capabilities");
    EXPECT_THROW(json::decode<ClientHello>(j), JSONDecodingError);
}

TEST(HelloJson, ServerHelloGoldenAndPermissionByte) {
    ServerHello hello{deviceID(), 1, {Capability::keyboard, Capability::h264}, DevicePermissions::all};
    const std::string golden = R"({"sessionID":")" + std::string(kDeviceText) +
                               R"(","negotiatedProtocolVersion":1,"acceptedCapabilities":["h264","keyboard"],)"
                               R"("grantedPermissions":7})";
    EXPECT_EQ(json::encode(hello), json::parse(golden));
    EXPECT_EQ(json::decodeFromString<ServerHello>(golden), hello);

    Json j = json::parse(golden);
    j["grantedPermissions"] = 0x85;
    EXPECT_EQ(json::decode<ServerHello>(j).grantedPermissions.rawValue, 0x85);
    j["grantedPermissions"] = 256;
    EXPECT_THROW(json::decode<ServerHello>(j), JSONDecodingError);
}
