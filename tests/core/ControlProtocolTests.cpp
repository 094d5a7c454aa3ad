#include "core/ControlProtocol.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

using namespace velorinth;

namespace {

const std::string kDeviceText = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

Uuid deviceID() { return *Uuid::fromString(kDeviceText); }

} // namespace

TEST(ControlMessageJson, EveryTypeMatchesItsGoldenForm) {
    const ClientHello hello{1, {1}, deviceID(), Bytes{0x00, 0x01, 0x02, 0x03},
                            {Capability::keyboard, Capability::h264, Capability::pointer}};
    const std::vector<std::pair<ControlMessage, std::string>> table = {
        {ControlMessage::clientHello(hello),
         R"({"type":"clientHello","payload":{"protocolVersion":1,"supportedVersions":[1],"deviceID":")" +
             kDeviceText + R"(","nonce":"AAECAw==","capabilities":["h264","pointer","keyboard"]}})"},
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
    for (const char* text :
         {R"({"type":"requestKeyFrame","payload":null})", R"({"type":"requestKeyFrame","payload":{}})"}) {
        EXPECT_EQ(json::decodeFromString<ControlMessage>(text), ControlMessage::requestKeyFrame()) << text;
    }
}

TEST(ControlMessageJson, MalformedMessagesAreRefused) {
    for (const char* bad : {
             R"({"type":"requestKeyFrame","payload":5})",
             R"({"type":"bogus","payload":{}})",
             R"({"type":"RequestKeyFrame"})",
             R"({"payload":{"reason":"x"}})",
             R"({"type":"ping"})",
             R"({"type":"ping","payload":{"sequence":18446744073709551616,"sentAtNanoseconds":0}})",
             R"({"type":"input","payload":{"sequence":1,"event":{}}})",
             R"({"type":"disconnect","payload":"bye"})",
             R"(["input"])",
         }) {
        EXPECT_THROW(json::decodeFromString<ControlMessage>(bad), JSONDecodingError) << bad;
    }
}

TEST(CapabilityJson, SetsAreWrittenInDeclarationOrderAndReadStrictly) {
    auto set = json::decodeFromString<CapabilitySet>(R"(["wakeRelay","h264","pointer","h264"])");
    EXPECT_EQ(set, (CapabilitySet{Capability::h264, Capability::pointer, Capability::wakeRelay}));
    EXPECT_EQ(json::encode(set), json::parse(R"(["h264","pointer","wakeRelay"])"));
    for (const char* bad : {R"(["h264","av1"])", R"(["H264"])", R"("h264")", R"([1])"}) {
        EXPECT_THROW(json::decodeFromString<CapabilitySet>(bad), JSONDecodingError) << bad;
    }
}

TEST(HelloJson, ServerHelloGolden) {
    ServerHello hello{deviceID(), 1, {Capability::keyboard, Capability::h264}, DevicePermissions::all};
    const std::string golden = R"({"sessionID":")" + kDeviceText +
                               R"(","negotiatedProtocolVersion":1,"acceptedCapabilities":["h264","keyboard"],)"
                               R"("grantedPermissions":7})";
    EXPECT_EQ(json::encode(hello), json::parse(golden));
    EXPECT_EQ(json::decodeFromString<ServerHello>(golden), hello);
}
