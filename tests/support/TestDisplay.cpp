#include "support/TestDisplay.hpp"

#include <xcb/xcb.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace velorinth::testing {

namespace {

// The local socket of a display named ":N", ":N.S" or "unix:N"; none for any
// other form.
std::optional<std::string> localSocket(const std::string& name) {
    const std::size_t colon = name.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string host = name.substr(0, colon);
    if (!host.empty() && host != "unix") return std::nullopt;
    const std::string number = name.substr(colon + 1, name.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return "/tmp/.X11-unix/X" + number;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

} // namespace

struct HeldTestDisplay::Connection {
    explicit Connection(xcb_connection_t* connection) : connection(connection) {}
    ~Connection() { xcb_disconnect(connection); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    xcb_connection_t* connection;
};

std::optional<std::string> testDisplayName() {
    const char* name = std::getenv("VELORINTH_TEST_DISPLAY");
    if (name == nullptr || *name == '\0') return std::nullopt;
    return std::string(name);
}

std::optional<HeldTestDisplay> HeldTestDisplay::open(std::string& whyNot) {
    const std::optional<std::string> name = testDisplayName();
    if (!name) {
        whyNot = kNoTestDisplayText;
        return std::nullopt;
    }
    const std::optional<std::string> socket = localSocket(*name);
    // A server that is resetting refuses connections for a few milliseconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        xcb_connection_t* connection = xcb_connect(name->c_str(), nullptr);
        if (xcb_connection_has_error(connection) == 0) {
            return HeldTestDisplay(*name, std::make_shared<Connection>(connection));
        }
        xcb_disconnect(connection);
        if (!socket || !exists(*socket) || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    whyNot = "the test display " + *name + " did not open";
    return std::nullopt;
}

} // namespace velorinth::testing
