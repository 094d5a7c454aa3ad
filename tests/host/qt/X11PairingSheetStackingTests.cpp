// The pairing sheet on a real X server without a window manager (the test
// display): after each prompt, and after a click on the dashboard while the
// sheet is open, the sheet lies above the dashboard in the server's stacking
// order. Nothing but the host keeps it there.

#include "QtTestApplication.hpp"

#include "VelorinthHostApp.hpp"
#include "support/HostViewFixtures.hpp"
#include "support/LoopbackListener.hpp"
#include "support/PrivateUserFolders.hpp"
#include "support/TestDisplay.hpp"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

using namespace velorinth;
using namespace velorinth::testing;
using namespace std::chrono_literals;

namespace {

// The test's own client of the display: reads the stacking order, and does
// what a window manager or a user would.
class StackingReader {
public:
    explicit StackingReader(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(connection_) == 0)
            root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~StackingReader() { xcb_disconnect(connection_); }
    StackingReader(const StackingReader&) = delete;
    StackingReader& operator=(const StackingReader&) = delete;

    bool opened() const { return root_ != 0; }

    // The root's children, bottom to top.
    std::vector<xcb_window_t> stack() {
        std::vector<xcb_window_t> windows;
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr);
        if (tree == nullptr) return windows;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        windows.assign(children, children + xcb_query_tree_children_length(tree));
        std::free(tree);
        return windows;
    }
    // Where `window` lies among the root's children from the bottom; -1 when it is not one.
    int level(xcb_window_t window) {
        const std::vector<xcb_window_t> windows = stack();
        const auto found = std::find(windows.begin(), windows.end(), window);
        return found == windows.end() ? -1 : static_cast<int>(found - windows.begin());
    }
    // What a window manager does when a window is clicked.
    void raise(xcb_window_t window) {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        roundTrip();
    }
    // A click of the first button at a point of the screen, as a user's.
    void click(int x, int y) {
        xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<std::int16_t>(x),
                            static_cast<std::int16_t>(y), XCB_NONE);
        xcb_test_fake_input(connection_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
        xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
        roundTrip();
    }

private:
    void roundTrip() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
};

// Runs Qt's events, then waits until the X server has done every request Qt made so far.
void settleQt() {
    for (int round = 0; round < 5; ++round) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11->connection();
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    QCoreApplication::processEvents();
}

void pumpUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration limit = 10s) {
    const auto giveUp = std::chrono::steady_clock::now() + limit; // a guard against hangs only
    while (!done() && std::chrono::steady_clock::now() < giveUp) settleQt();
}

} // namespace

TEST(X11PairingSheet, LiesAboveTheDashboardAfterEveryPromptAndEveryClick) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    StackingReader reader(display);
    if (!reader.opened()) GTEST_SKIP() << "the test display " << display << " does not open";
    QApplication* application = qtApplicationOn(display);
    if (application == nullptr) GTEST_SKIP() << "this process already draws off screen: run the test on its own";
    PrivateUserFolders folders;

    VelorinthHostAppOptions options;
    options.displayName = display;
    options.watchesSystemSleep = false;
    options.serverOptions.listenerFactory = loopbackListener;
    options.print = [](const std::string&) {};
    auto app = std::make_unique<VelorinthHostApp>(options);
    app->show();
    HostDashboard& dashboard = app->dashboard();
    HostModel& model = *app->model();
    pumpUntil([&] { return model.listenerStatus.get().kind() == ListenerStatus::Case::advertising; });
    const auto dashboardWindow = static_cast<xcb_window_t>(dashboard.winId());

    for (int prompt = 0; prompt < 10; ++prompt) {
        SCOPED_TRACE("prompt " + std::to_string(prompt + 1));
        model.handlePromptChanged(
            IncomingPairingPrompt{Uuid::random(), peerNamed("iPad " + std::to_string(prompt)), "123456", Date(8e8)});
        pumpUntil([&] { return dashboard.pairingSheet() != nullptr && dashboard.pairingSheet()->isVisible(); });
        ASSERT_NE(dashboard.pairingSheet(), nullptr);
        PairingApprovalView& sheet = *dashboard.pairingSheet();
        const auto sheetWindow = static_cast<xcb_window_t>(sheet.winId());
        settleQt();
        ASSERT_GE(reader.level(dashboardWindow), 0);
        EXPECT_GT(reader.level(sheetWindow), reader.level(dashboardWindow)) << "after the prompt";

        // A click on the dashboard beside the sheet, after something raised the dashboard over it.
        const QPoint beside = dashboard.mapToGlobal(QPoint(12, dashboard.height() / 2));
        ASSERT_FALSE(sheet.frameGeometry().contains(beside));
        reader.raise(dashboardWindow);
        ASSERT_LT(reader.level(sheetWindow), reader.level(dashboardWindow));
        reader.click(beside.x(), beside.y());
        pumpUntil([&] { return reader.level(sheetWindow) > reader.level(dashboardWindow); });
        EXPECT_GT(reader.level(sheetWindow), reader.level(dashboardWindow)) << "after a click on the dashboard";

        model.handlePromptChanged(std::nullopt);
        pumpUntil([&] { return dashboard.pairingSheet() == nullptr; });
    }
    app.reset();
}
