#pragma once

#include "platform/CaptureBackend.hpp"

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velorinth {

// A rectangle of the root window, in pixels.
struct X11Rectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const X11Rectangle&) const = default;
};

// One XCB connection to a display, with the capture's view of it: the
// displays are the RandR outputs driven by a CRTC (or the root screen when
// there are none), and points equal pixels. Blocking; one thread at a time.
class X11DisplayConnection {
public:
    // Throws CaptureBackendError(displayUnavailable). Empty: $DISPLAY.
    explicit X11DisplayConnection(const std::string& displayName);
    // A connection, or null when the display does not open.
    static xcb_connection_t* connectToDisplay(const std::string& displayName, int& screenNumber);
    ~X11DisplayConnection();
    X11DisplayConnection(const X11DisplayConnection&) = delete;
    X11DisplayConnection& operator=(const X11DisplayConnection&) = delete;

    xcb_connection_t* get() const noexcept { return connection_; }
    xcb_window_t root() const noexcept { return screen_->root; }
    bool hasError() const { return xcb_connection_has_error(connection_) != 0; }

    // Main first when the system names one: the primary output, else the first.
    ShareableContent displays();
    // Where a display lies on the root now; none when it is gone.
    std::optional<X11Rectangle> displayRectangle(std::uint32_t displayID);
    // Throws CaptureBackendError(unsupportedVisual) unless the root is 24- or
    // 32-bit TrueColor in 32-bit little-endian pixels (BGRX in memory).
    void requireTrueColor() const;
    // A 1x1 read of the root succeeds.
    bool canReadRoot();

private:
    struct Output {
        std::uint32_t id;
        X11Rectangle rectangle;
    };
    std::vector<Output> outputs(std::optional<std::uint32_t>& primary);

    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
};

} // namespace velorinth
