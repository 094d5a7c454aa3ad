#pragma once

// A client of a test display: a full-screen window that takes the keyboard
// focus itself (no window manager runs there) and collects the pointer and
// key events it receives, with the queries tests check against.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velorinth::testing {

class X11TestWindow {
public:
    struct Event {
        std::uint8_t type = 0;   // XCB_KEY_PRESS, XCB_BUTTON_PRESS, XCB_MOTION_NOTIFY …
        std::uint8_t detail = 0; // keycode or button
        std::uint16_t state = 0; // modifier and button mask before the event
        std::int16_t rootX = 0;
        std::int16_t rootY = 0;
        bool operator==(const Event&) const = default;
    };
    struct Pointer {
        std::int16_t x = 0;
        std::int16_t y = 0;
        std::uint16_t mask = 0;
    };

    // Throws std::runtime_error when the display does not open.
    explicit X11TestWindow(const std::string& displayName);
    ~X11TestWindow();
    X11TestWindow(const X11TestWindow&) = delete;
    X11TestWindow& operator=(const X11TestWindow&) = delete;

    // Waits for a reply: every event the server made before is then received.
    void roundTrip();
    // The pointer and key events received so far (after a round trip), in order.
    std::vector<Event> takeEvents();
    // The next pointer or key event, waiting at most `limit`.
    std::optional<Event> waitForEvent(std::chrono::steady_clock::duration limit);

    Pointer queryPointer();
    std::set<std::uint8_t> pressedKeycodes();
    // The keysym of the keycode's first level in the current keymap.
    std::uint32_t keysym(std::uint8_t keycode);
    // Whether X repeats the key by itself while it is held.
    bool autorepeats(std::uint8_t keycode);
    // Presses and releases a key through XTest from this connection (to set a lock).
    void tapKey(std::uint8_t keycode);

private:
    void collect(xcb_generic_event_t* event);

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    std::vector<Event> events_;
};

} // namespace velorinth::testing
