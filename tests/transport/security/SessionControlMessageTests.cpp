#include "transport/security/SessionControlMessage.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

TEST(SessionControlMessage, MatchesGoldenJson) {
    SessionControlMessage pong;
    pong.command = SessionControlCommand::pong;
    pong.sequence = 42;
    pong.timestamp = Date(1.5);
    pong.permissions = DevicePermissions::all;
    pong.sentMonotonicNs = UINT64_MAX;
    const char* golden = R"({"command":"pong","sequence":42,"timestamp":1.5,"permissions":7,
                            "sentMonotonicNs":18446744073709551615})";
    EXPECT_EQ(Json::parse(golden), json::encode(pong));
    EXPECT_EQ(json::decodeFromString<SessionControlMessage>(golden), pong);

    SessionControlMessage status;
    status.command = SessionControlCommand::videoStreamStatus;
    status.timestamp = Date(-2.25);
    status.streamActive = false;
    status.streamStopReason = VideoStreamStopReason::unsupportedConfiguration;
    status.streamGeneration = 3;
    status.hostDisplay = DisplayDescriptor{69, 2560, 1600, 2.0};
    status.controlMessage = ControlMessage::requestKeyFrame();
    EXPECT_EQ(Json::parse(R"({"command":"videoStreamStatus","sequence":0,"timestamp":-2.25,"streamActive":false,
                              "streamStopReason":"unsupportedConfiguration","streamGeneration":3,
                              "hostDisplay":{"identifier":69,"pixelWidth":2560,"pixelHeight":1600,"scaleFactor":2.0},
                              "controlMessage":{"type":"requestKeyFrame"}})"),
              json::encode(status));
}

TEST(SessionControlMessage, RejectsMissingOrUnknownRequiredFields) {
    for (const char* text : {
             R"({"sequence":1,"timestamp":0})",
             R"({"command":"shout","sequence":1,"timestamp":0})",
             R"({"command":"ping","sequence":-1,"timestamp":0})",
             R"({"command":"ping","sequence":1,"timestamp":0,"permissions":256})",
             R"(["ping"])",
         }) {
        EXPECT_THROW(json::decodeFromString<SessionControlMessage>(text), JSONDecodingError) << text;
    }
}

} // namespace
} // namespace velorinth
