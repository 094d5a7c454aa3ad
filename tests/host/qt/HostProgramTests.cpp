// velorinth-host as a user starts it: its command line, a display that does
// not open, and a signal while the pairing sheet waits for the user.

#include "support/ChildProcess.hpp"
#include "support/PairingTablet.hpp"
#include "support/PrivateUserFolders.hpp"
#include "support/TestDisplay.hpp"
#include "support/TestFolders.hpp"

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;
using namespace std::chrono_literals;

namespace {

std::string hostProgram() { return (buildFolder() / "apps" / "velorinth-host").string(); }

// Polls the program until it has exited; false when it still runs after `limit` (a guard against hangs).
bool ends(ChildProcess& program, std::chrono::steady_clock::duration limit = 30s) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!program.poll()) {
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A display number no server answers: no socket of that number in the X folder.
std::string displayThatDoesNotOpen() {
    for (int number = 900;; ++number) {
        if (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) return ":" + std::to_string(number);
    }
}

// Whether a mapped window whose title begins with `prefix` lies on the display.
bool showsWindowTitled(const std::string& display, const std::string& prefix) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool found = false;
    if (xcb_connection_has_error(connection) == 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        const auto atom = [&](const char* name) {
            xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
                connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
            const xcb_atom_t value = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
            std::free(reply);
            return value;
        };
        const xcb_atom_t title = atom("_NET_WM_NAME"), utf8 = atom("UTF8_STRING");
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
        const int count = tree ? xcb_query_tree_children_length(tree) : 0;
        for (int i = 0; i < count && !found; ++i) {
            const xcb_window_t window = xcb_query_tree_children(tree)[i];
            xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
                connection, xcb_get_window_attributes(connection, window), nullptr);
            const bool mapped = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
            std::free(attributes);
            if (!mapped) continue;
            xcb_get_property_reply_t* property = xcb_get_property_reply(
                connection, xcb_get_property(connection, 0, window, title, utf8, 0, 256), nullptr);
            if (property) {
                const std::string text(static_cast<const char*>(xcb_get_property_value(property)),
                                       static_cast<std::size_t>(xcb_get_property_value_length(property)));
                found = text.starts_with(prefix);
            }
            std::free(property);
        }
        std::free(tree);
    }
    xcb_disconnect(connection);
    return found;
}

} // namespace

TEST(HostProgram, HelpGoesToStandardOutputAndWhatItDoesNotTakeIsNamed) {
    for (const char* help : {"--help", "-h"}) {
        SCOPED_TRACE(help);
        // No display is needed to read the help.
        ChildProcess program(hostProgram(), {help}, {"DISPLAY="});
        ASSERT_TRUE(ends(program));
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_TRUE(program.out().starts_with("usage: velorinth-host [--console-approval]\n")) << program.out();
        EXPECT_NE(program.out().find("  --console-approval  "), std::string::npos) << program.out();
        EXPECT_NE(program.out().find("  --help  "), std::string::npos) << program.out();
        EXPECT_EQ(program.err(), "");
    }
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"--bogus"}, "Unknown option --bogus.\n"},
        {{"--console-approval=yes"}, "--console-approval takes no value.\n"},
        {{"--console-approval", "now"}, "Unknown option now.\n"},
    };
    for (const auto& [arguments, text] : refusals) {
        SCOPED_TRACE(arguments.back());
        ChildProcess program(hostProgram(), arguments, {"DISPLAY="});
        ASSERT_TRUE(ends(program));
        EXPECT_EQ(program.exitCode(), 2);
        EXPECT_TRUE(program.err().starts_with(text + "usage: velorinth-host")) << program.err();
        EXPECT_EQ(program.out(), "");
    }
}

TEST(HostProgram, WithoutADisplayToOpenItSaysWhichAndHowToGetOneWithoutAborting) {
    const std::string missing = displayThatDoesNotOpen();
    const std::string remedy =
        " Run the host on a desktop, or through scripts/run, which starts a virtual display of its own.\n";
    const std::pair<std::string, std::string> rows[] = {
        {"", "No X display to show the host on: DISPLAY is not set." + remedy},
        {missing, "The X display \u201c" + missing + "\u201d does not open." + remedy},
    };
    for (const auto& [display, text] : rows) {
        SCOPED_TRACE("DISPLAY=" + display);
        ChildProcess program(hostProgram(), {"--console-approval"}, {"DISPLAY=" + display, "QT_QPA_PLATFORM="});
        ASSERT_TRUE(ends(program));
        EXPECT_EQ(program.exitCode(), 1);
        EXPECT_EQ(program.err(), text);
        EXPECT_EQ(program.out(), "");
    }
}

// SIGTERM while the sheet waits for the user's decision ends the host as a
// stop with nothing open does: at once, with status 0, and the tablet's
// request ends with it.
TEST(X11HostProgram, TermWhileThePairingSheetWaitsEndsTheHostInOrder) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    PrivateUserFolders folders;
    ChildProcess host(hostProgram(), {}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
    const std::regex listening("Listening on TLS 1\\.3 port ([0-9]+);");
    std::smatch found;
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (!std::regex_search(host.out(), found, listening) && std::chrono::steady_clock::now() < giveUp) {
        if (host.poll()) break;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(found.empty()) << host.out() << host.err();
    const auto port = static_cast<std::uint16_t>(std::stoi(found[1].str()));

    PairingTablet pairing(port);
    pairing.untilTheRequestShows([&] { return showsWindowTitled(display, "Pair with"); });

    host.signal(SIGTERM);
    ASSERT_TRUE(ends(host)) << "the host still runs with its sheet open: " << host.out() << host.err();
    EXPECT_EQ(host.exitCode(), 0) << host.err();
    EXPECT_FALSE(showsWindowTitled(display, "Pair with"));
    pairing.expectTheRequestEnded();
}
