// The presenters' rules that are easy to get wrong, checked through what
// they render for a model over fakes.

#include "host/presenters/ControlBarPresenter.hpp"
#include "host/presenters/DashboardPresenter.hpp"
#include "host/presenters/PairedDevicesPresenter.hpp"
#include "host/presenters/PairingApprovalPresenter.hpp"
#include "host/presenters/SessionsPresenter.hpp"
#include "host/presenters/SettingsPresenter.hpp"
#include "host/presenters/StatusHeaderPresenter.hpp"
#include "host/presenters/StreamDiagnosticsPresenter.hpp"
#include "host/presenters/WakePreflightPresenter.hpp"
#include "host/presenters/WakeReadinessPresenter.hpp"
#include "support/HostModelRig.hpp"
#include "support/HostViewFixtures.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <string_view>
#include <tuple>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

const DisplayFormats kFormats = DisplayFormats::cLocaleUtc();

std::string fact(const WakeReadinessPresentation& p, const std::string& label, Tint* tint = nullptr) {
    for (const WakeFactRow& row : p.facts) {
        if (row.label != label) continue;
        if (tint) *tint = row.valueTint;
        return row.value;
    }
    return "(absent)";
}

} // namespace

TEST(SettingsPresenter, ThePortFieldAppliesOnlyPortsAbove1023) {
    HostModelRig h;
    HostModel& model = h.make();
    EXPECT_EQ(SettingsPresenter::applyPort(model, " 6000 "), " 6000 "); // the blanks stay in the field
    EXPECT_EQ(model.preferredListenerPort.get(), 6000);
    for (const char* refused :
         {"80", "1023", "65536", "abc", "12a", "-1", "", "99999999999999999999", "1 000", "0x500"}) {
        EXPECT_EQ(SettingsPresenter::applyPort(model, refused), "6000") << refused;
        EXPECT_EQ(model.preferredListenerPort.get(), 6000) << refused;
    }
    EXPECT_EQ(SettingsPresenter::applyPort(model, "+2000"), "+2000");
    EXPECT_EQ(model.preferredListenerPort.get(), 2000);
    EXPECT_EQ(SettingsPresenter::applyPort(model, "\t1024\n"), "\t1024\n");
    EXPECT_EQ(model.preferredListenerPort.get(), 1024);
    EXPECT_EQ(SettingsPresenter::parsePort("-0"), std::uint16_t{0});
    EXPECT_EQ(SettingsPresenter::applyDefaultPort(model), "51891");
    EXPECT_EQ(model.preferredListenerPort.get(), 51891);
    EXPECT_EQ(h.preferences->values[HostModel::preferredPortKey()], 51891);
    EXPECT_EQ(SettingsPresenter::defaultTitle(), "Default (51891)");
}

TEST(StreamDiagnosticsPresenter, NumbersIgnoreTheLocale) {
    VideoStreamDiagnostics d;
    d.videoWidth = 1920;
    d.videoHeight = 1080;
    const auto render = [&] { return StreamDiagnosticsPresenter::present(d, 12'345'678 / 1'000'000.0); };
    std::vector<DiagnosticsMetric> metrics = render();
    ASSERT_EQ(metrics.size(), 6u);
    EXPECT_EQ(metrics[0].value, "1920\u00D71080");
    EXPECT_EQ(metrics[3].value, "12.35 Mbps");
    EXPECT_EQ(metrics[4].value, "\u2014"); // before the first encoded frame
    EXPECT_EQ(metrics[5].value, "0 / 0");
    d.lastEncodeDurationMilliseconds = 4.25;
    EXPECT_EQ(render()[4].value, "4.2 ms");

    // A comma locale, as Qt sets it from the environment: one whose decimal
    // point really is a comma, not merely one that exists.
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    bool commaLocale = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) != nullptr && std::string_view(std::localeconv()->decimal_point) == ",") {
            commaLocale = true;
            break;
        }
    }
    if (commaLocale) {
        EXPECT_EQ(render()[3].value, "12.35 Mbps");
        EXPECT_EQ(render()[4].value, "4.2 ms");
    }
    std::setlocale(LC_ALL, saved.c_str());
    if (!commaLocale) GTEST_SKIP() << "no locale whose decimal point is a comma is installed (locale -a)";
}

TEST(StatusHeaderPresenter, TheHeaderFollowsAccessListenerAndSharing) {
    HostModelRig h;
    HostModel& model = h.make();
    model.remoteAccessEnabled.set(false);
    model.listenerStatus.set(ListenerStatus::failed("boom"));
    StatusHeaderPresentation p = StatusHeaderPresenter::present(model);
    EXPECT_EQ(p.status, (SymbolImage{"pause.circle.fill", Tint::secondary}));
    EXPECT_EQ(p.title, "Remote Access Disabled");
    EXPECT_EQ(p.discoveryText, "Discovery unavailable \u2014 retrying");
    EXPECT_EQ(p.hostName, "Studio Mac"); // no identity yet: the computer's name

    PopulatedHost host;
    host.apply(model);
    model.remoteAccessEnabled.set(true);
    model.listenerStatus.set(ListenerStatus::advertising(51891));
    model.activeSessionList.set({sessionOf(host.viewingPeer, false), sessionOf(host.streamingPeer, false)});
    p = StatusHeaderPresenter::present(model);
    EXPECT_EQ(p.status, (SymbolImage{"checkmark.circle.fill", Tint::green}));
    EXPECT_EQ(p.title, "Authenticated Session Active");
    EXPECT_EQ(p.discoveryText, "Discoverable via Bonjour (_velorinth._tcp) \u00B7 TLS 1.3 port 51891");
    EXPECT_EQ(p.sessionText, "2 authenticated session(s)");
    EXPECT_EQ(p.sessionTint, Tint::green);
    EXPECT_FALSE(p.sharingBadge);
    EXPECT_FALSE(p.showsStopSharing);

    model.activeSessionList.set(host.sessions); // one streams, capture runs
    p = StatusHeaderPresenter::present(model);
    EXPECT_EQ(p.title, "Live Desktop Streaming Active");
    ASSERT_TRUE(p.sharingBadge);
    EXPECT_EQ(p.sharingBadge->text, "Sharing Mac Desktop");
    EXPECT_TRUE(p.showsStopSharing);
    model.listenerStatus.set(ListenerStatus::permissionDenied());
    p = StatusHeaderPresenter::present(model);
    EXPECT_EQ(p.status, (SymbolImage{"exclamationmark.triangle.fill", Tint::orange}));
    EXPECT_EQ(p.discoverySymbol, (SymbolImage{"wifi.exclamationmark", Tint::orange}));
}

// The header claims Bonjour while advertising unless the service is known to be
// unpublished; other states keep their own texts.
TEST(StatusHeaderPresenter, AnUnpublishedServiceIsNamedByItsPortAndTurnsGreenOncePublished) {
    HostModelRig h;
    HostModel& model = h.make();
    const std::string discoverable = "Discoverable via Bonjour (_velorinth._tcp) \u00B7 TLS 1.3 port 51891";
    const SymbolImage green{"dot.radiowaves.left.and.right", Tint::green};
    const SymbolImage orange{"wifi.exclamationmark", Tint::orange};
    model.listenerStatus.set(ListenerStatus::advertising(51891));
    for (const auto& [published, text, symbol] :
         {std::tuple{std::optional<bool>(), discoverable, green}, // publication under way
          {false, "Not discoverable via Bonjour \u00B7 TLS 1.3 port 51891 by address", orange},
          {true, discoverable, green}}) {
        model.servicePublished.set(published);
        const StatusHeaderPresentation p = StatusHeaderPresenter::present(model);
        EXPECT_EQ(p.discoveryText, text);
        EXPECT_EQ(p.discoverySymbol.name, symbol.name) << text;
        EXPECT_EQ(p.discoveryTint, symbol.tint) << text;
    }
    model.servicePublished.set(false);
    model.listenerStatus.set(ListenerStatus::stopped());
    EXPECT_EQ(StatusHeaderPresenter::present(model).discoveryText, "Not discoverable (Remote Access off)");
}

TEST(StatusHeaderPresenter, StopSharingEndsThePipelineThenTellsTheTablets) {
    HostModelRig h;
    HostModel& model = h.started();
    StatusHeaderPresenter::stopSharing(model);
    h.drain();
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::stopped());
    ASSERT_EQ(h.server->streamsStopped.size(), 1u);
    EXPECT_EQ(h.server->streamsStopped[0],
              std::make_pair(VideoStreamStopReason::hostStopped, std::string("The Mac user stopped screen sharing.")));
}

TEST(WakePresenters, WakeTextsFollowTheEvidenceAndTheDevices) {
    HostModelRig h;
    HostModel& model = h.make();
    model.wakeSnapshot.set(wakeSnapshotWith(Evidence<bool>::lastKnown(true, Date(1)), true,
                                            PowerSourceCondition::batteryPower, {ethernetTarget(std::nullopt)}));
    Tint tint{};
    WakeReadinessPresentation wake = WakeReadinessPresenter::present(model, kFormats);
    EXPECT_EQ(fact(wake, "Network wake setting", &tint), "Enabled (Only on Power Adapter)");
    EXPECT_EQ(tint, Tint::green);
    EXPECT_EQ(fact(wake, "Power source", &tint), "Battery Power");
    EXPECT_EQ(tint, Tint::orange);
    EXPECT_EQ(fact(wake, "Network interfaces"),
              "Ethernet (eth0, 02:11:\u2022\u2022:\u2022\u2022:\u2022\u2022:55, no IPv4)");
    EXPECT_EQ(fact(wake, "Captured frames"), "0");
    EXPECT_EQ(wake.facts.size(), 7u);

    PopulatedHost host;
    const DevicePublicIdentity peer = peerNamed("Old iPad");
    TrustedDevice revoked = trustedRecord(peer);
    revoked.authorization = DeviceAuthorization::revoked;
    model.trustedDevices.set({revoked});
    model.activeSessionList.set({sessionOf(peer, false)});
    EXPECT_EQ(WakeReadinessPresenter::syncText(model), "No paired iPads yet");
    model.trustedDevices.set({revoked, trustedRecord(host.viewingPeer)});
    model.activeSessionList.set({sessionOf(peer, false), sessionOf(host.viewingPeer, false)});
    EXPECT_EQ(WakeReadinessPresenter::syncText(model), "Synced live over 2 active encrypted session(s)");

    // The sheet counts a remembered setting as satisfied: only a verified "off" fails.
    WakePreflightPresentation sheet = WakePreflightPresenter::present(model);
    ASSERT_EQ(sheet.results.size(), 4u);
    EXPECT_TRUE(sheet.results[1].satisfied);
    EXPECT_EQ(sheet.results[1].symbol, (SymbolImage{"checkmark.circle.fill", Tint::green}));
    EXPECT_EQ(sheet.results[1].text, "Verify \u201CWake for network access\u201D manually in System Settings");
    EXPECT_EQ(sheet.results[2].text, "Currently on Battery Power \u2014 connect AC power before testing sleep wake");
    EXPECT_FALSE(sheet.results[2].satisfied);
    EXPECT_EQ(sheet.steps.back(), std::make_pair(std::string("3."), std::string("Wake it from the tablet.")));
    model.activeSessionList.set({});
    model.trustedDevices.set({revoked});
    EXPECT_FALSE(WakePreflightPresenter::present(model).results[3].satisfied);

    IncomingPairingPrompt prompt{Uuid::random(), peerNamed("Office iPad"), "123456", Date(800'000'000)};
    const PairingApprovalPresentation pairing = PairingApprovalPresenter::present(prompt, kFormats);
    EXPECT_EQ(pairing.title, "Pair with \u201COffice iPad\u201D?");
    EXPECT_EQ(pairing.expiry, "Expires at 06:13:20");
    EXPECT_EQ(pairing.fingerprint.size(), 79u);
}

TEST(DashboardPresenter, SectionsShowTheirBoxesInOrder) {
    using B = DashboardBox;
    HostModelRig h;
    HostModel& model = h.make();
    model.selectedSection.set(HostModel::Section::security);
    DashboardPresentation p = DashboardPresenter::present(model);
    EXPECT_EQ(p.boxes, (std::vector<B>{B::hostIdentity, B::permissions, B::trustedDevices}));
    EXPECT_EQ(p.title, "Security");
    EXPECT_FALSE(p.sidebar[1].badge);

    PopulatedHost host;
    host.apply(model); // three sessions, one streaming, capture running
    model.selectedSection.set(HostModel::Section::overview);
    p = DashboardPresenter::present(model);
    EXPECT_EQ(p.boxes.size(), 6u);
    EXPECT_EQ(p.boxes[1], B::streamDiagnostics);
    ASSERT_TRUE(p.sidebar[1].badge);
    EXPECT_EQ(p.sidebar[1].badge->text, "3");
    EXPECT_DOUBLE_EQ(p.sidebar[1].badge->fillOpacity, 0.2);
    // Neither half of "sharing" alone shows the diagnostics.
    model.captureState.set(HostModel::CaptureState::idle());
    EXPECT_EQ(DashboardPresenter::present(model).boxes.size(), 5u);
    model.captureState.set(HostModel::CaptureState::capturing());
    model.activeSessionList.set({sessionOf(host.viewingPeer, false)});
    EXPECT_EQ(DashboardPresenter::present(model).boxes.size(), 5u);
    model.selectedSection.set(HostModel::Section::activeSessions);
    EXPECT_EQ(DashboardPresenter::present(model).boxes, (std::vector<B>{B::activeSessions}));
}

TEST(ListPresenters, RowsKeepTheirPrecedences) {
    HostModelRig h;
    HostModel& model = h.make();
    PopulatedHost host;
    host.apply(model);
    const SessionsPresentation sessions = SessionsPresenter::present(model, kFormats);
    ASSERT_EQ(sessions.rows.size(), 3u);
    EXPECT_EQ(sessions.rows[0].details, "Connected 06:13:20 \u00B7 Protocol v1 \u00B7 Video frames 123456 (drops 7) "
                                        "\u00B7 Input events 42");
    EXPECT_EQ(sessions.rows[0].badges[1].text, "Streaming H.264");
    EXPECT_EQ(sessions.rows[1].badges.back().text, "View Only");
    EXPECT_TRUE(sessions.rows[1].hasDivider);
    EXPECT_FALSE(sessions.rows[2].hasDivider);

    const PairedDevicesPresentation devices = PairedDevicesPresenter::present(model, kFormats);
    ASSERT_EQ(devices.rows.size(), 3u);
    EXPECT_EQ(devices.rows[0].dates, "Paired Jan 13, 2026, 12:26 \u00B7 Last connected May 9, 2026, 06:13");
    EXPECT_EQ(devices.rows[1].dates, "Paired Jan 13, 2026, 12:26");
    ASSERT_TRUE(devices.rows[2].badge);
    EXPECT_EQ(devices.rows[2].badge->text, "Connected"); // connected wins over revoked
    EXPECT_FALSE(devices.rows[2].authorized);
    EXPECT_FALSE(devices.rows[2].hasDivider);
    model.activeSessionList.set({});
    EXPECT_EQ(PairedDevicesPresenter::present(model, kFormats).rows[2].badge->text, "Revoked");
    EXPECT_FALSE(ControlBarPresenter::present(model).disconnectAllEnabled);
}
