#pragma once

// Draws on a test display: a solid background on the root window, solid
// windows that can be moved (no window manager runs there), the pointer moved
// out of the way. Every call has reached the server when it returns.

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velorinth::testing {

class X11Painter {
public:
    // Throws std::runtime_error when the display does not open.
    explicit X11Painter(const std::string& displayName);
    ~X11Painter();
    X11Painter(const X11Painter&) = delete;
    X11Painter& operator=(const X11Painter&) = delete;

    int screenWidth() const { return screen_->width_in_pixels; }
    int screenHeight() const { return screen_->height_in_pixels; }

    // 0xRRGGBB on the whole root window.
    void fillBackground(std::uint32_t rgb);
    // 0xRRGGBB in a rectangle of the root window (under any window).
    void fillRectangle(int x, int y, int width, int height, std::uint32_t rgb);
    struct Fill {
        int x, y, width, height;
        std::uint32_t rgb;
    };
    // Many rectangles of the root window at once (one round trip).
    void fill(const std::vector<Fill>& fills);
    // A mapped window of one colour, above everything; returns its id.
    xcb_window_t showWindow(int x, int y, int width, int height, std::uint32_t rgb);
    void moveWindow(xcb_window_t window, int x, int y);
    void warpPointer(int x, int y);

private:
    void sync();

    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
};

} // namespace velorinth::testing
