// velorinth-host as a user starts it: its command line, a display that does
// not open, and a signal while the pairing sheet waits for the user.

#include "support/ChildProcess.hpp"
#include "support/PairingTablet.hpp"
#include "support/PrivateUserFolders.hpp"
#include "support/PrivateXvfb.hpp"
#include "support/ReadOnlyBind.hpp"
#include "support/TestDisplay.hpp"
#include "support/TestFolders.hpp"

#include <sys/stat.h>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <thread>
#include <vector>

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

// Whether, by the server's audit of its connections, every client had left
// and then another connected: a server that resets when its last client
// leaves would have been resetting as that one came. The first such
// connection's line when there is one.
std::optional<std::string> connectionAfterTheLastLeft(const std::filesystem::path& audit) {
    std::ifstream file(audit);
    const std::regex connected("client ([0-9]+) connected"), disconnected("client ([0-9]+) disconnected");
    std::set<std::string> open;
    bool anyConnected = false;
    std::smatch found;
    for (std::string line; std::getline(file, line);) {
        if (std::regex_search(line, found, connected)) {
            if (anyConnected && open.empty()) return line;
            anyConnected = true;
            open.insert(found[1].str());
        } else if (std::regex_search(line, found, disconnected)) {
            open.erase(found[1].str());
        }
    }
    return std::nullopt;
}

// The port of the host's "Listening on" line, once printed; none when it
// ended first or never said it.
std::optional<std::uint16_t> listeningPort(ChildProcess& host) {
    const std::regex listening("Listening on TLS 1\\.3 port ([0-9]+);");
    std::smatch found;
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    while (!std::regex_search(host.out(), found, listening) && std::chrono::steady_clock::now() < giveUp) {
        if (host.poll()) break;
        std::this_thread::sleep_for(10ms);
    }
    if (found.empty()) return std::nullopt;
    return static_cast<std::uint16_t>(std::stoi(found[1].str()));
}

// The host fingerprint its "Listening on" line gives, once printed.
std::string listeningFingerprint(ChildProcess& host) {
    if (!listeningPort(host)) return "";
    std::smatch found;
    const std::string out = host.out();
    return std::regex_search(out, found, std::regex("host fingerprint: ([0-9A-F ]+)")) ? found[1].str() : "";
}

// Every file under `root` with its bytes.
std::map<std::filesystem::path, std::string> filesUnder(const std::filesystem::path& root) {
    std::map<std::filesystem::path, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        files[entry.path()] = std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return files;
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
// request ends with it. A second host of the same user meanwhile says that
// one runs and ends, having changed nothing.
TEST(X11HostProgram, TermWhileThePairingSheetWaitsEndsTheHostInOrder) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    PrivateUserFolders folders;
    ChildProcess host(hostProgram(), {}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
    const std::optional<std::uint16_t> port = listeningPort(host);
    ASSERT_TRUE(port.has_value()) << host.out() << host.err();

    const std::map<std::filesystem::path, std::string> stored = filesUnder(folders.root());
    ChildProcess second(hostProgram(), {}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(ends(second)) << "a second host runs beside the first: " << second.out();
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(second.err(), "Another velorinth-host is already running for this user.\n");
    EXPECT_EQ(filesUnder(folders.root()), stored);

    PairingTablet pairing(*port);
    pairing.untilTheRequestShows([&] { return showsWindowTitled(display, "Pair with"); });

    host.signal(SIGTERM);
    ASSERT_TRUE(ends(host)) << "the host still runs with its sheet open: " << host.out() << host.err();
    EXPECT_EQ(host.exitCode(), 0) << host.err();
    EXPECT_FALSE(showsWindowTitled(display, "Pair with"));
    pairing.expectTheRequestEnded();
}

// An X server started without -noreset resets once its last client leaves,
// and a connection that lands in the reset fails; Qt aborts on that. The host
// keeps its display check's connection until Qt's own is up, so the server
// never sees its last client leave while the host starts. Whether a start
// lands in the reset is chance (about one start in sixty aborted when the
// check's connection closed first), but whether the last client left before
// another came is in the server's audit of its connections every time.
TEST(X11HostProgram, StartsEveryTimeOnADisplayThatResetsWhenItsLastClientLeaves) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    int starts = 3;
    if (const char* asked = std::getenv("VELORINTH_HOST_STARTS")) starts = std::max(1, std::atoi(asked));
    PrivateUserFolders folders;
    int listened = 0;
    std::vector<std::string> failures;
    for (int start = 0; start < starts; ++start) {
        PrivateXvfb::Options options;
        options.screen = "1920x1080x24"; // as scripts/run's
        options.startLimit = 30s;
        options.auditLog = folders.root() / ("audit-" + std::to_string(start));
        std::optional<PrivateXvfb> server(std::in_place, options);
        ChildProcess host(hostProgram(), {}, {"DISPLAY=" + server->displayName(), "QT_QPA_PLATFORM=xcb"});
        if (listeningPort(host)) {
            ++listened;
            host.signal(SIGTERM);
            if (!ends(host) || host.exitCode() != 0) failures.push_back("an unorderly end: " + host.err());
        } else {
            host.signal(SIGKILL);
            ends(host);
            failures.push_back("status " + std::to_string(host.exitCode()) + ": " + host.err());
        }
        server.reset(); // its audit is complete once it has ended
        if (const std::optional<std::string> line = connectionAfterTheLastLeft(*options.auditLog)) {
            failures.push_back("the host's last connection to the display closed before another opened: " + *line);
        }
    }
    EXPECT_EQ(listened, starts);
    for (const std::string& failure : failures) ADD_FAILURE() << failure;
}

// A state folder that other users can write is refused in one line before
// anything in it is read, and nothing is made or tightened.
TEST(X11HostProgram, RefusesAStateFolderOthersCanWriteHavingChangedNothing) {
    VELORINTH_REQUIRE_TEST_DISPLAY(display);
    PrivateUserFolders folders;
    const std::filesystem::path state = folders.root() / "data" / "velorinth";
    std::filesystem::create_directories(state / "secure-store");
    ASSERT_EQ(::chmod(state.c_str(), 0777), 0);
    ChildProcess host(hostProgram(), {}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(ends(host)) << "the host runs on a state folder others can write: " << host.out();
    EXPECT_EQ(host.exitCode(), 1);
    EXPECT_EQ(host.err(), "Refusing " + state.string() +
                              ": it is writable by other users (mode 0777). Run chmod go-w " + state.string() +
                              ", or give a folder of your own.\n");
    EXPECT_EQ(host.out(), "");
    struct stat info {};
    ASSERT_EQ(::stat(state.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0777u);
    EXPECT_FALSE(std::filesystem::exists(state / "lock"));
    EXPECT_TRUE(std::filesystem::is_empty(state / "secure-store"));
}

// State on a read-only mount serves: the host starts with the identity it
// holds, its lock taken through a read-only descriptor, and ends in order.
TEST(NetnsHostProgram, ServesFromStateBoundReadOnly) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    if (const std::optional<std::string> why = ReadOnlyBind::unavailable()) GTEST_SKIP() << *why;
    PrivateUserFolders folders;
    PrivateXvfb server; // a display of its own: the test needs no other's
    const std::vector<std::string> environment{"DISPLAY=" + server.displayName(), "QT_QPA_PLATFORM=xcb"};
    std::string fingerprint;
    {
        ChildProcess first(hostProgram(), {}, environment);
        fingerprint = listeningFingerprint(first);
        ASSERT_FALSE(fingerprint.empty()) << first.out() << first.err();
        first.signal(SIGTERM);
        ASSERT_TRUE(ends(first));
        ASSERT_EQ(first.exitCode(), 0) << first.err();
    }
    const std::filesystem::path state = folders.root() / "data" / "velorinth";
    const std::map<std::filesystem::path, std::string> stored = filesUnder(state);

    const ReadOnlyBind readOnly(state);
    ChildProcess host(readOnly.program(), readOnly.arguments(hostProgram(), {}), environment);
    EXPECT_EQ(listeningFingerprint(host), fingerprint) << host.out() << host.err();
    host.signal(SIGTERM);
    ASSERT_TRUE(ends(host));
    EXPECT_EQ(host.exitCode(), 0) << host.err();
    EXPECT_EQ(filesUnder(state), stored);
}
