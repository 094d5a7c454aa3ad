#include "platform/linux/XTestConnection.hpp"

#include "platform/linux/X11DisplayConnection.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace velorinth {

namespace {

template <class Reply>
using ReplyPointer = std::unique_ptr<Reply, decltype(&std::free)>;

template <class Reply>
ReplyPointer<Reply> owned(Reply* reply) {
    return ReplyPointer<Reply>(reply, &std::free);
}

// A coordinate on the root: whole pixels, the far edge being its last pixel.
std::int16_t onRoot(double value, std::uint16_t extent) {
    const double last = extent > 0 ? extent - 1 : 0;
    return static_cast<std::int16_t>(std::clamp(std::floor(value), 0.0, last));
}

} // namespace

std::unique_ptr<XTestConnection> XTestConnection::open(const std::string& displayName,
                                                       bool (*isReservedKeycode)(std::uint8_t)) {
    int screenNumber = 0;
    xcb_connection_t* raw = X11DisplayConnection::connectToDisplay(displayName, screenNumber);
    if (raw == nullptr) return nullptr;
    std::unique_ptr<XTestConnection> connection(new XTestConnection(raw));
    if (!connection->isAlive()) return nullptr;

    const xcb_setup_t* setup = xcb_get_setup(raw);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
    if (screen == nullptr) return nullptr;
    connection->root_ = screen->root;
    connection->rootWidth_ = screen->width_in_pixels;
    connection->rootHeight_ = screen->height_in_pixels;

    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(raw, &xcb_test_id);
    connection->hasXTest_ = xtest != nullptr && xtest->present;

    const std::uint8_t first = setup->min_keycode;
    const std::uint8_t count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    auto mapping = owned(xcb_get_keyboard_mapping_reply(raw, xcb_get_keyboard_mapping(raw, first, count), nullptr));
    if (!mapping) return connection->isAlive() ? std::move(connection) : nullptr;
    connection->keysymsPerKeycode_ = mapping->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int available = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
    const int perKeycode = mapping->keysyms_per_keycode;
    // The lowest keycode is left alone: some clients never read it.
    for (int index = 1; index < count && (index + 1) * perKeycode <= available; ++index) {
        const auto keycode = static_cast<std::uint8_t>(first + index);
        const xcb_keysym_t* row = keysyms + index * perKeycode;
        const bool empty = std::all_of(row, row + perKeycode, [](xcb_keysym_t keysym) { return keysym == 0; });
        if (empty && !isReservedKeycode(keycode)) connection->spareKeycodes_.push_back(keycode);
    }
    return connection;
}

XTestConnection::XTestConnection(xcb_connection_t* connection) : connection_(connection) {}

XTestConnection::~XTestConnection() { xcb_disconnect(connection_); }

bool XTestConnection::isAlive() const { return xcb_connection_has_error(connection_) == 0; }

void XTestConnection::motion(double x, double y) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, onRoot(x, rootWidth_),
                        onRoot(y, rootHeight_), XCB_NONE);
}

void XTestConnection::button(std::uint8_t button, bool press) {
    xcb_test_fake_input(connection_, press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, XCB_NONE);
}

void XTestConnection::key(std::uint8_t keycode, bool press) {
    xcb_test_fake_input(connection_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME, XCB_NONE,
                        0, 0, XCB_NONE);
}

void XTestConnection::setAutorepeat(std::uint8_t keycode, bool on) {
    const std::uint32_t values[] = {keycode, on ? XCB_AUTO_REPEAT_MODE_ON : XCB_AUTO_REPEAT_MODE_OFF};
    xcb_change_keyboard_control(connection_, XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, values);
}

void XTestConnection::setKeysym(std::uint8_t keycode, std::uint32_t keysym) {
    if (keysymsPerKeycode_ == 0) return;
    const std::vector<xcb_keysym_t> row(keysymsPerKeycode_, keysym);
    xcb_change_keyboard_mapping(connection_, 1, keycode, keysymsPerKeycode_, row.data());
}

void XTestConnection::flush() { xcb_flush(connection_); }

std::optional<XTestConnection::PointerState> XTestConnection::queryPointer() {
    auto reply = owned(xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
    if (!reply) return std::nullopt;
    return PointerState{reply->root_x, reply->root_y, reply->mask};
}

std::optional<std::pair<XTestConnection::PointerState, bool>>
XTestConnection::queryPointerAndAutorepeat(std::uint8_t keycode) {
    // Both requests leave before either reply is awaited.
    const xcb_query_pointer_cookie_t pointerCookie = xcb_query_pointer(connection_, root_);
    const xcb_get_keyboard_control_cookie_t controlCookie = xcb_get_keyboard_control(connection_);
    auto pointer = owned(xcb_query_pointer_reply(connection_, pointerCookie, nullptr));
    auto control = owned(xcb_get_keyboard_control_reply(connection_, controlCookie, nullptr));
    if (!pointer || !control) return std::nullopt;
    const bool repeats = control->global_auto_repeat != 0 &&
                         (control->auto_repeats[keycode / 8] & (1u << (keycode % 8))) != 0;
    return std::pair{PointerState{pointer->root_x, pointer->root_y, pointer->mask}, repeats};
}

} // namespace velorinth
