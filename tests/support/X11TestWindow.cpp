#include "support/X11TestWindow.hpp"

#include <xcb/xtest.h>

#include <poll.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

namespace velorinth::testing {

namespace {

template <class Reply>
std::unique_ptr<Reply, decltype(&std::free)> owned(Reply* reply) {
    if (reply == nullptr) throw std::runtime_error("the test display did not answer");
    return {reply, &std::free};
}

// An X server resets when its last client leaves and refuses connections
// meanwhile, as it does right after the previous test: tries again briefly.
xcb_connection_t* connectWithin(const std::string& displayName, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        xcb_connection_t* connection = xcb_connect(displayName.c_str(), nullptr);
        if (!xcb_connection_has_error(connection)) return connection;
        xcb_disconnect(connection);
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("the display " + displayName + " did not open");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

X11TestWindow::X11TestWindow(const std::string& displayName)
    : connection_(connectWithin(displayName, std::chrono::seconds(5))) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    root_ = screen->root;
    window_ = xcb_generate_id(connection_);
    const std::uint32_t values[] = {
        1, // override-redirect
        XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS |
            XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION,
    };
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(connection_, window_);
    roundTrip(); // mapped, so it can take the focus
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    roundTrip();
    events_.clear();
}

X11TestWindow::~X11TestWindow() { xcb_disconnect(connection_); }

void X11TestWindow::roundTrip() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_)) collect(event);
}

std::vector<X11TestWindow::Event> X11TestWindow::takeEvents() {
    std::vector<Event> out;
    out.swap(events_);
    return out;
}

std::optional<X11TestWindow::Event> X11TestWindow::waitForEvent(std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (events_.empty()) {
        if (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            collect(event);
            continue;
        }
        if (xcb_connection_has_error(connection_)) return std::nullopt;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return std::nullopt;
        pollfd readable{xcb_get_file_descriptor(connection_), POLLIN, 0};
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(left);
        const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000),
                               static_cast<long>(wait.count() % 1'000'000) * 1000};
        ::ppoll(&readable, 1, &timeout, nullptr);
    }
    const Event first = events_.front();
    events_.erase(events_.begin());
    return first;
}

void X11TestWindow::collect(xcb_generic_event_t* raw) {
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(raw, &std::free);
    const std::uint8_t type = event->response_type & 0x7F;
    switch (type) {
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE:
    case XCB_BUTTON_PRESS:
    case XCB_BUTTON_RELEASE:
    case XCB_MOTION_NOTIFY: {
        // These share one layout.
        const auto* input = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        events_.push_back({type, input->detail, input->state, input->root_x, input->root_y});
        break;
    }
    default: break;
    }
}

X11TestWindow::Pointer X11TestWindow::queryPointer() {
    auto reply = owned(xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
    return {reply->root_x, reply->root_y, reply->mask};
}

std::set<std::uint8_t> X11TestWindow::pressedKeycodes() {
    auto reply = owned(xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr));
    std::set<std::uint8_t> keys;
    for (int keycode = 8; keycode < 256; ++keycode) {
        if (reply->keys[keycode / 8] & (1u << (keycode % 8))) keys.insert(static_cast<std::uint8_t>(keycode));
    }
    return keys;
}

std::uint32_t X11TestWindow::keysym(std::uint8_t keycode) {
    auto reply = owned(xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, keycode, 1),
                                                      nullptr));
    if (xcb_get_keyboard_mapping_keysyms_length(reply.get()) < 1) return 0;
    return xcb_get_keyboard_mapping_keysyms(reply.get())[0];
}

bool X11TestWindow::autorepeats(std::uint8_t keycode) {
    auto reply = owned(xcb_get_keyboard_control_reply(connection_, xcb_get_keyboard_control(connection_), nullptr));
    return reply->global_auto_repeat && (reply->auto_repeats[keycode / 8] & (1u << (keycode % 8)));
}

void X11TestWindow::tapKey(std::uint8_t keycode) {
    for (std::uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
        xcb_test_fake_input(connection_, type, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, XCB_NONE);
    }
    roundTrip();
}

} // namespace velorinth::testing
