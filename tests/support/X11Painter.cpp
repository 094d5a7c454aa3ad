#include "support/X11Painter.hpp"

#include "platform/linux/X11DisplayConnection.hpp"

#include <cstdlib>
#include <stdexcept>

namespace velorinth::testing {

X11Painter::X11Painter(const std::string& displayName) {
    int screenNumber = 0;
    connection_ = X11DisplayConnection::connectToDisplay(displayName, screenNumber);
    if (connection_ == nullptr) throw std::runtime_error("the display " + displayName + " does not open");
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    gc_ = xcb_generate_id(connection_);
    // Drawing on the root reaches the screen even below windows' areas: no clipping by children.
    const std::uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(connection_, gc_, screen_->root, XCB_GC_SUBWINDOW_MODE, values);
}

X11Painter::~X11Painter() { xcb_disconnect(connection_); }

void X11Painter::sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

void X11Painter::fillBackground(std::uint32_t rgb) {
    const std::uint32_t values[] = {rgb};
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_BACK_PIXEL, values);
    xcb_clear_area(connection_, 0, screen_->root, 0, 0, 0, 0);
    sync();
}

void X11Painter::fillRectangle(int x, int y, int width, int height, std::uint32_t rgb) {
    fill({{x, y, width, height, rgb}});
}

void X11Painter::fill(const std::vector<Fill>& fills) {
    for (const Fill& f : fills) {
        const std::uint32_t values[] = {f.rgb};
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, values);
        const xcb_rectangle_t rectangle{static_cast<std::int16_t>(f.x), static_cast<std::int16_t>(f.y),
                                        static_cast<std::uint16_t>(f.width), static_cast<std::uint16_t>(f.height)};
        xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &rectangle);
    }
    sync();
}

xcb_window_t X11Painter::showWindow(int x, int y, int width, int height, std::uint32_t rgb) {
    const xcb_window_t window = xcb_generate_id(connection_);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection_, window);
    sync();
    return window;
}

void X11Painter::moveWindow(xcb_window_t window, int x, int y) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    sync();
}

void X11Painter::warpPointer(int x, int y) {
    xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                     static_cast<std::int16_t>(y));
    sync();
}

} // namespace velorinth::testing
