// The model's stateless helpers and its observation rule.

#include "support/FakeWakeEnvironmentPlatform.hpp"
#include "support/HostModelRig.hpp"

#include <net/if.h>

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

TEST(HostModelHelpers, ThePreferredPortIsAStoredPortOrTheDefault) {
    const std::vector<std::pair<std::optional<std::int64_t>, std::uint16_t>> cases{
        {1023, 51891}, {1024, 1024}, {65535, 65535}, {65536, 51891}, {0, 51891}, {-1, 51891}, {std::nullopt, 51891},
        {std::numeric_limits<std::int64_t>::min(), 51891}};
    for (const auto& [stored, port] : cases) EXPECT_EQ(HostModel::preferredPortFromStoredValue(stored), port);

    HostModelRig h;
    h.preferences->values[HostModel::preferredPortKey()] = 4242;
    EXPECT_EQ(HostModel::preferredPortKey(), "org.velorinth.host.preferredPort");
    EXPECT_EQ(h.make().preferredListenerPort.get(), 4242);
}

TEST(HostModelHelpers, TunnelAddressesArePrivateAddressesOfUpTunnels) {
    using W = FakeWakeEnvironmentPlatform;
    const unsigned up = IFF_UP | IFF_RUNNING;
    const std::vector<InterfaceAddress> entries{
        W::inet("utun3", "100.100.1.2", std::nullopt, up), W::inet("tailscale0", "100.100.1.2", std::nullopt, up),
        W::inet("utun4", "8.8.8.8", std::nullopt, up),     W::inet("eth0", "192.168.1.5", std::nullopt, up),
        W::inet("en0", "192.168.1.5", std::nullopt, up),   W::inet("wg0", "10.7.0.2", std::nullopt, 0),
        W::inet("ppp0", "172.20.0.9", std::nullopt, up),   W::inet("zt1", "100.128.0.1", std::nullopt, up),
        W::link("tun0", Bytes{1, 2, 3, 4, 5, 6}),
    };
    EXPECT_EQ(HostModel::detectPrivateTunnelAddresses(entries),
              (std::vector<std::string>{"100.100.1.2", "172.20.0.9"}));
    EXPECT_TRUE(HostModel::detectPrivateTunnelAddresses(std::nullopt).empty());
}

TEST(HostModelHelpers, TheHostNameFallsBackFromBlankNames) {
    FakeComputerName name;
    EXPECT_EQ(HostModel::hostDisplayName(name), "Studio Mac");
    name.pretty = "  \n";
    EXPECT_EQ(HostModel::hostDisplayName(name), "studio");
    name.host = " ";
    EXPECT_EQ(HostModel::hostDisplayName(name), "Mac");
    name.pretty = " Kitchen ";
    EXPECT_EQ(HostModel::hostDisplayName(name), " Kitchen "); // as read
}

TEST(HostModelHelpers, CopiesNameTheAddressWithTheListenersPort) {
    HostModelRig h;
    HostModel& model = h.make();
    model.copyAddressToPasteboard("192.168.1.5");
    model.listenerStatus.set(ListenerStatus::advertising(50000));
    model.copyAddressToPasteboard("fd7a:115c::1");
    model.copyFingerprintToPasteboard(); // no identity yet: nothing
    EXPECT_EQ(h.pasteboard->log,
              (std::vector<std::string>{"clear", "192.168.1.5:51891", "clear", "[fd7a:115c::1]:50000"}));
    h.started();
    h.pasteboard->log.clear();
    model.copyIdentifierToPasteboard();
    model.copyFingerprintToPasteboard();
    EXPECT_EQ(h.pasteboard->log,
              (std::vector<std::string>{"clear", model.hostIdentity.get()->id.lowercaseString(), "clear",
                                        model.hostIdentity.get()->fingerprint.groupedHexString()}));
}

TEST(HostModelHelpers, OnlyARealChangeNotifies) {
    HostModelRig h;
    HostModel& model = h.make();
    model.networkError.set("a");
    model.networkError.set("a");
    model.listenerStatus.set(ListenerStatus::failed("x"));
    model.listenerStatus.set(ListenerStatus::failed("x"));
    model.listenerStatus.set(ListenerStatus::failed("y"));
    model.selectedSection.set(HostModel::Section::overview);
    EXPECT_EQ(h.changes, (std::vector<HostModelField>{HostModelField::networkError, HostModelField::listenerStatus,
                                                      HostModelField::listenerStatus}));
    EXPECT_EQ(HostModel::sectionFromRawValue("Wake Readiness"), HostModel::Section::wakeReadiness);
    EXPECT_EQ(HostModel::sectionFromRawValue("Wake"), std::nullopt);
}

TEST(HostModelHelpers, TheScreenRecordingStatusText) {
    HostModelRig h;
    HostModel& model = h.make();
    EXPECT_EQ(model.screenRecordingStatusText(), "Granted \u2014 ready for authorized live desktop sessions");
    model.captureState.set(HostModel::CaptureState::capturing());
    ActiveSessionDescriptor viewer;
    viewer.isVideoStreaming = true;
    model.activeSessionList.set({viewer, ActiveSessionDescriptor{}});
    VideoStreamDiagnostics diagnostics;
    diagnostics.videoWidth = 1920;
    diagnostics.videoHeight = 1080;
    model.streamDiagnostics.set(diagnostics);
    EXPECT_EQ(model.screenRecordingStatusText(), "Granted \u2014 streaming Mac display (1920\u00D71080)");
    EXPECT_EQ(model.streamingSessionCount(), 1);
    model.activeSessionList.set({});
    model.screenRecordingGranted.set(false);
    model.captureState.set(HostModel::CaptureState::requestingPermission());
    EXPECT_EQ(model.screenRecordingStatusText(), "Checking Screen Recording permission\u2026");
    model.captureState.set(HostModel::CaptureState::idle());
    EXPECT_EQ(model.screenRecordingStatusText(), "Screen Recording permission required to share Mac display");

    h.grants->contentListed = false;
    h.run(model.requestScreenRecordingPermission());
    EXPECT_EQ(model.captureState.get(), HostModel::CaptureState::idle()); // listing failed, the grant holds
    h.grants->screenRecording = false;
    h.run(model.requestScreenRecordingPermission());
    EXPECT_EQ(model.captureState.get(), HostModel::CaptureState::failed("Screen Recording permission required"));
}
