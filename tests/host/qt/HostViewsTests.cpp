// The Qt views over a model of fakes, off screen: what each section shows,
// the sheets' keys, the alert, the Settings window and the window's life.

#include "QtTestApplication.hpp"
#include "QtViewTestSupport.hpp"

#include "host/presenters/Symbols.hpp"
#include "host/qt/HostDashboard.hpp"
#include "host/qt/HostSettingsView.hpp"
#include "host/qt/IconProvider.hpp"
#include "host/qt/QtStyle.hpp"
#include "host/qt/SessionsListView.hpp"
#include "host/qt/StreamDiagnosticsView.hpp"
#include "support/HostModelRig.hpp"
#include "support/HostViewFixtures.hpp"

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

struct DashboardRig : HostModelRig {
    QApplication& application = qtApplication();
    std::unique_ptr<HostDashboard> dashboard;

    HostDashboard& open() {
        if (!model) make();
        dashboard = std::make_unique<HostDashboard>(model, DisplayFormats::cLocaleUtc());
        dashboard->show();
        settle();
        return *dashboard;
    }
    // Runs the model's tasks and Qt's events, then renders what changed.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            drain();
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        if (dashboard) dashboard->flushRendering();
        // The layouts follow what was rendered before anything is measured or pictured.
        QCoreApplication::processEvents();
    }
    void select(HostModel::Section section) {
        named<QListWidget>(dashboard.get(), "sidebar")->setCurrentRow(static_cast<int>(section));
        settle();
    }
    std::vector<std::string> shownBoxes() {
        std::vector<std::pair<int, std::string>> boxes;
        for (QGroupBox* box : dashboard->findChildren<QGroupBox*>()) {
            if (box->objectName().startsWith("box") && !box->isHidden()) {
                boxes.emplace_back(box->mapTo(dashboard.get(), QPoint(0, 0)).y(), box->title().toStdString());
            }
        }
        std::sort(boxes.begin(), boxes.end());
        std::vector<std::string> titles;
        for (auto& box : boxes) titles.push_back(box.second);
        return titles;
    }
    ~DashboardRig() { dashboard.reset(); }
};

// The colour of a symbol's most opaque pixel.
QRgb inkOf(const QLabel& label) {
    const QImage image = label.pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    QRgb ink = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > qAlpha(ink)) ink = image.pixel(x, y);
        }
    }
    return qRgb(qRed(ink), qGreen(ink), qBlue(ink));
}

// The colour a label's text is drawn in, as its parent shows it: of the
// pixels over the label, the one furthest from the background at its corner.
QRgb drawnInkOf(QWidget& parent, const QLabel& label) {
    const QImage image = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect area(label.mapTo(&parent, QPoint(0, 0)), label.size());
    const QRgb background = image.pixel(area.topLeft());
    const auto distance = [&](QRgb pixel) {
        return std::abs(qRed(pixel) - qRed(background)) + std::abs(qGreen(pixel) - qGreen(background)) +
               std::abs(qBlue(pixel) - qBlue(background));
    };
    QRgb ink = background;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (distance(image.pixel(x, y)) > distance(ink)) ink = image.pixel(x, y);
        }
    }
    return qRgb(qRed(ink), qGreen(ink), qBlue(ink));
}

std::vector<std::string> texts(const std::vector<QLabel*>& labels) {
    std::vector<std::string> found;
    for (QLabel* label : labels) found.push_back(label->text().toStdString());
    return found;
}

} // namespace

TEST(HostViews, EverySectionShowsThePopulatedModel) {
    DashboardRig h;
    h.started();
    HostDashboard& dashboard = h.open(); // its show refreshes the addresses: populate after it
    PopulatedHost host;
    host.apply(*h.model);
    h.model->listenerStatus.set(ListenerStatus::advertising(50001)); // not the preferred port
    h.settle();

    EXPECT_EQ(dashboard.windowTitle(), "Status");
    EXPECT_EQ(h.shownBoxes(), (std::vector<std::string>{"Active Authenticated Sessions",
                                                        "Live Stream Diagnostics (Host)", "Host Cryptographic Identity",
                                                        "Trusted iPads", "Required Permissions", "Wake Readiness"}));
    EXPECT_EQ(textOf(&dashboard, "statusTitle"), "Live Desktop Streaming Active");
    EXPECT_EQ(textOf(&dashboard, "sharingBadge"), "Sharing Mac Desktop");
    EXPECT_TRUE(named(&dashboard, "stopSharing")->isVisibleTo(&dashboard));
    EXPECT_EQ(textOf(&dashboard, "sessionsBadge"), "3");
    EXPECT_EQ(textOf(&dashboard, "errorText"), "A replayed handshake request was detected and blocked.");

    // Sessions: every row's badges, and no divider under the last row.
    EXPECT_EQ(texts(allNamed(&dashboard, "sessionTitle")),
              (std::vector<std::string>{"Office iPad", "Kitchen iPad", "Old iPad"}));
    const auto sessionDividers = allNamed<QFrame>(&dashboard, "sessionDivider");
    ASSERT_EQ(sessionDividers.size(), 3u);
    EXPECT_FALSE(sessionDividers[0]->isHidden());
    EXPECT_TRUE(sessionDividers[2]->isHidden());
    const auto badges = texts(allNamed(&dashboard, "sessionBadge"));
    EXPECT_EQ(std::count(badges.begin(), badges.end(), "TLS 1.3 + AEAD Verified"), 3);
    EXPECT_EQ(std::count(badges.begin(), badges.end(), "Streaming H.264"), 1);

    EXPECT_EQ(textOf(&dashboard, "metricResolution"), "1920\u00D71080");
    EXPECT_EQ(textOf(&dashboard, "metricBitrate"), "12.35 Mbps");

    // Identity: the advertised port, and the tunnel row while there is an address.
    EXPECT_NE(textOf(&dashboard, "identityIdentifier").find("TLS 1.3 Port: 50001"), std::string::npos);
    EXPECT_EQ(named<QPushButton>(&dashboard, "tunnelEndpoint")->text(), "100.101.102.103:50001");
    named<QPushButton>(&dashboard, "tunnelEndpoint")->click();
    EXPECT_EQ(h.pasteboard->log.back(), "100.101.102.103:50001");

    // Devices: "Connected" before "Revoked"; a device never connected has only its pairing date.
    const auto devices = allNamed<QWidget>(&dashboard, "deviceRow");
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(textOf(devices[2], "deviceBadge"), "Connected");
    EXPECT_TRUE(devices[2]->findChildren<QCheckBox*>().empty());
    EXPECT_NO_THROW(named<QPushButton>(devices[2], "deviceRemove"));
    EXPECT_EQ(textOf(devices[1], "deviceDates"), "Paired Jan 13, 2026, 12:26");
    EXPECT_TRUE(named<QFrame>(devices[2], "deviceDivider")->isHidden());
    EXPECT_EQ(textOf(&dashboard, "screenRecordingTitle"), "Screen Recording");
    EXPECT_EQ(textOf(&dashboard, "wakeCategory"), "Possible: configured but unverified");
    EXPECT_EQ(allNamed(&dashboard, "wakeFactValue").back()->text(), "1,234,567");
    keepPicture(&dashboard, "dashboard-status");

    const std::vector<std::pair<HostModel::Section, const char*>> sections{
        {HostModel::Section::activeSessions, "dashboard-active-sessions"},
        {HostModel::Section::pairedDevices, "dashboard-paired-devices"},
        {HostModel::Section::wakeReadiness, "dashboard-wake-readiness"},
        {HostModel::Section::security, "dashboard-security"}};
    for (const auto& [section, picture] : sections) {
        h.select(section);
        EXPECT_EQ(dashboard.windowTitle().toStdString(), HostModel::rawValue(section));
        keepPicture(&dashboard, picture);
    }
    EXPECT_EQ(h.shownBoxes(),
              (std::vector<std::string>{"Host Cryptographic Identity", "Required Permissions", "Trusted iPads"}));

    // Without tunnel addresses the row is gone, not empty.
    h.model->detectedPrivateTunnelAddresses.set({});
    h.settle();
    EXPECT_TRUE(named(&dashboard, "tunnelRow")->isHidden());
    // The list is updated in place while only its counters change.
    const auto* list = dynamic_cast<SessionsListView*>(named(&dashboard, "sessionsList"));
    ASSERT_NE(list, nullptr);
    const std::uint64_t rebuilds = list->rebuilds();
    std::vector<ActiveSessionDescriptor> sessions = h.model->activeSessionList.get();
    sessions[0].sentVideoFrames += 60;
    h.model->activeSessionList.set(sessions);
    h.select(HostModel::Section::activeSessions);
    EXPECT_EQ(list->rebuilds(), rebuilds);
    EXPECT_NE(textOf(&dashboard, "sessionDetails").find("Video frames 123516"), std::string::npos);
}

// The header follows the service's publication as it changes, whatever the
// listener's status does meanwhile.
TEST(HostViews, TheHeaderSaysWhetherTheServiceIsPublishedAsItChanges) {
    DashboardRig h;
    h.started();
    HostDashboard& dashboard = h.open();
    h.model->listenerStatus.set(ListenerStatus::advertising(51891));
    h.settle();
    const std::string published = "Discoverable via Bonjour (_velorinth._tcp) \u00B7 TLS 1.3 port 51891";
    EXPECT_EQ(textOf(&dashboard, "discoveryText"), published);
    h.model->servicePublished.set(false);
    h.settle();
    EXPECT_EQ(textOf(&dashboard, "discoveryText"), "Not discoverable via Bonjour \u00B7 TLS 1.3 port 51891 by address");
    h.model->servicePublished.set(true);
    h.settle();
    EXPECT_EQ(textOf(&dashboard, "discoveryText"), published);
}

TEST(HostViews, ThePairingSheetTakesNoReturnAndNoClose) {
    DashboardRig h;
    h.started();
    HostDashboard& dashboard = h.open();
    const IncomingPairingPrompt first{Uuid::random(), peerNamed("Office iPad"), "482913", Date(800'000'000)};
    h.model->handlePromptChanged(first);
    h.settle();
    PairingApprovalView* sheet = dashboard.pairingSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(textOf(sheet, "pairingCode"), "482913");
    EXPECT_EQ(textOf(sheet, "pairingTitle"), "Pair with \u201COffice iPad\u201D?");
    keepPicture(sheet, "sheet-pairing");

    QTest::keyClick(sheet, Qt::Key_Return);
    named<QPushButton>(sheet, "pairingApprove")->setFocus();
    QTest::keyClick(named<QPushButton>(sheet, "pairingApprove"), Qt::Key_Return);
    EXPECT_FALSE(sheet->close()); // the close is refused
    h.settle();
    EXPECT_TRUE(h.server->resolutions.empty());
    EXPECT_EQ(dashboard.pairingSheet(), sheet);

    // A replaced prompt reopens the sheet with the new code; a cleared one closes it.
    const IncomingPairingPrompt second{Uuid::random(), peerNamed("Den iPad"), "100200", Date(800'000'000)};
    h.model->handlePromptChanged(second);
    h.settle();
    ASSERT_NE(dashboard.pairingSheet(), nullptr);
    EXPECT_NE(dashboard.pairingSheet(), sheet);
    EXPECT_EQ(textOf(dashboard.pairingSheet(), "pairingCode"), "100200");
    h.model->handlePromptChanged(std::nullopt);
    h.settle();
    EXPECT_EQ(dashboard.pairingSheet(), nullptr);
    EXPECT_TRUE(h.server->resolutions.empty());

    h.model->handlePromptChanged(first);
    h.settle();
    QTest::keyClick(dashboard.pairingSheet(), Qt::Key_Escape);
    h.settle();
    ASSERT_EQ(h.server->resolutions.size(), 1u);
    EXPECT_EQ(h.server->resolutions[0], std::make_pair(false, first.id));
    EXPECT_FALSE(h.model->pendingPairing.get());
}

TEST(HostViews, TheResetAlertAndThePreflightSheet) {
    DashboardRig h;
    h.started();
    HostDashboard& dashboard = h.open();
    const DevicePublicIdentity before = *h.model->hostIdentity.get();
    named<QPushButton>(&dashboard, "resetIdentity")->click();
    ASSERT_NE(dashboard.resetAlert(), nullptr);
    EXPECT_EQ(dashboard.resetAlert()->text(), "Reset Velorinth Identity?");
    keepPicture(dashboard.resetAlert(), "alert-reset-identity");
    named<QPushButton>(dashboard.resetAlert(), "resetCancel")->click();
    h.settle();
    EXPECT_EQ(*h.model->hostIdentity.get(), before);
    EXPECT_EQ(h.server->count("stop"), 0u);

    named<QPushButton>(&dashboard, "resetIdentity")->click();
    named<QPushButton>(dashboard.resetAlert(), "resetConfirm")->click();
    h.settle();
    EXPECT_NE(h.model->hostIdentity.get()->id, before.id);

    h.model->wakeSnapshot.set(
        wakeSnapshotWith(Evidence<bool>::unknown(), false, PowerSourceCondition::batteryPower, {ethernetTarget()}));
    h.select(HostModel::Section::wakeReadiness);
    named<QPushButton>(&dashboard, "wakeTest")->click();
    h.settle();
    ASSERT_NE(dashboard.preflightSheet(), nullptr);
    EXPECT_TRUE(dashboard.controller().showsWakePreflightSheet());
    // The test ran on the real wake service: its steps are numbered from 1.
    const std::vector<std::string> numbers = texts(allNamed(dashboard.preflightSheet(), "preflightStepNumber"));
    ASSERT_EQ(numbers.size(), h.model->wakeSnapshot.get()->preflightGuidanceSteps.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], std::to_string(i + 1) + ".");
    keepPicture(dashboard.preflightSheet(), "sheet-wake-preflight");
    QTest::keyClick(dashboard.preflightSheet(), Qt::Key_Return); // "Done" is the default
    h.settle();
    EXPECT_FALSE(dashboard.controller().showsWakePreflightSheet());
}

TEST(HostViews, SettingsAppliesTypedPortsAndReloadsWhenShown) {
    DashboardRig h;
    h.started();
    HostDashboard& dashboard = h.open();
    HostSettingsView* settings = dashboard.openSettings();
    auto* port = named<QLineEdit>(settings, "settingsPort");
    EXPECT_EQ(port->text(), "51891");
    port->clear();
    QTest::keyClicks(port, "6001");
    QTest::keyClick(port, Qt::Key_Return); // does nothing
    h.settle();
    EXPECT_EQ(h.model->preferredListenerPort.get(), 51891);
    named<QPushButton>(settings, "settingsApplyPort")->click();
    h.settle();
    EXPECT_EQ(h.model->preferredListenerPort.get(), 6001);
    keepPicture(settings, "settings");

    QTest::keyClicks(port, "99"); // typed, not applied: showing again reloads
    settings->hide();
    dashboard.openSettings();
    EXPECT_EQ(port->text(), "6001");
    named<QPushButton>(settings, "settingsDefaultPort")->click();
    h.settle();
    EXPECT_EQ(port->text(), "51891");
    EXPECT_EQ(h.model->preferredListenerPort.get(), 51891);
    named<QCheckBox>(settings, "settingsUnattended")->click();
    EXPECT_TRUE(h.model->unattendedAccessEnabled.get());
}

TEST(HostViews, TheWindowStartsTheModelAndClosingItEndsTheProgram) {
    DashboardRig h;
    h.make();
    HostDashboard& dashboard = h.open();
    EXPECT_TRUE(h.model->started.get()); // the first show started it
    EXPECT_FALSE(named<QPushButton>(&dashboard, "disconnectAll")->isEnabled());
    const std::size_t reloads = h.server->count("setCallbacks");

    // Closing and reopening keeps the model: the second show takes the later start.
    h.dashboard.reset();
    h.open();
    EXPECT_EQ(h.server->count("setCallbacks"), reloads);
    EXPECT_EQ(h.display->starts, 1);

    h.dashboard->openSettings();
    QTimer::singleShot(0, h.dashboard.get(), [&] { h.dashboard->close(); });
    QTimer::singleShot(5000, &h.application, [] { QCoreApplication::exit(3); }); // a guard, not a check of time
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST(HostViews, EverySymbolHasADrawing) {
    for (const std::string_view name : symbols::all) EXPECT_TRUE(IconProvider::hasDrawing(name)) << name;
    EXPECT_FALSE(IconProvider::hasDrawing("no.such.symbol"));
}

// The detail column as wide as its room up to its maximum, whatever its
// content; the selected sidebar row's symbol and title in the selected text's colour;
// the sessions symbol not an empty ring.
TEST(HostViews, TheDetailColumnFillsItsRoomAndTheSelectedRowStaysLegible) {
    DashboardRig h;
    h.started();
    HostDashboard& dashboard = h.open();
    dashboard.resize(1280, 800);
    h.settle();
    QWidget* column = named(&dashboard, "detailColumn");
    const QWidget* room = column->parentWidget();
    ASSERT_GT(room->width(), 820);
    EXPECT_EQ(column->width(), 820);
    EXPECT_EQ(column->x(), 0);
    PopulatedHost host; // device rows with their fingerprints appear
    host.apply(*h.model);
    h.settle();
    EXPECT_EQ(column->width(), 820);
    dashboard.resize(DashboardPresenter::kMinimumWidth, 800);
    h.settle();
    ASSERT_LT(room->width(), 820);
    EXPECT_EQ(column->width(), room->width());
    keepPicture(&dashboard, "dashboard-narrow");

    h.select(HostModel::Section::security);
    QListWidget* sidebar = named<QListWidget>(&dashboard, "sidebar");
    const QColor selected = sidebar->palette().color(QPalette::HighlightedText);
    const std::vector<QLabel*> symbols = allNamed(&dashboard, "sidebarSymbol");
    const std::vector<QLabel*> titles = allNamed(&dashboard, "sidebarText");
    ASSERT_EQ(symbols.size(), HostModel::allSections.size());
    for (std::size_t row = 0; row < symbols.size(); ++row) {
        const bool isSelected = row == static_cast<std::size_t>(HostModel::Section::security);
        const QColor expected = isSelected ? selected : tintColor(Tint::blue);
        EXPECT_EQ(inkOf(*symbols[row]), expected.rgb()) << row;
        EXPECT_EQ(titles[row]->palette().color(QPalette::WindowText) == selected, isSelected) << row;
        // The title's pixels too, not only its palette: a label's colour role follows its parent's background.
        const QColor title = isSelected ? selected : tintColor(Tint::primary, sidebar);
        EXPECT_EQ(drawnInkOf(*sidebar->viewport(), *titles[row]), title.rgb()) << row;
    }
    h.select(HostModel::Section::overview);
    EXPECT_EQ(inkOf(*symbols[static_cast<std::size_t>(HostModel::Section::security)]), tintColor(Tint::blue).rgb());

    // Inside its ring, "bolt.horizontal.circle" carries its bolt.
    const QImage sessions = IconProvider::pixmap(symbols::boltHorizontalCircle, Qt::black, 48).toImage();
    int inside = 0;
    for (int y = 14; y < 34; ++y) {
        for (int x = 14; x < 34; ++x) inside += qAlpha(sessions.pixel(x, y)) > 128 ? 1 : 0;
    }
    EXPECT_GT(inside, 40);
}
