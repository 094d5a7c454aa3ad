#include "platform/linux/X11DisplayMonitor.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace velorinth {

std::shared_ptr<DisplayMonitor> DisplayMonitor::create(std::string displayName,
                                                       std::shared_ptr<WakeEnvironmentPlatform> power,
                                                       std::chrono::steady_clock::duration sleepPollInterval) {
    return std::make_shared<X11DisplayMonitor>(std::move(displayName), std::move(power), sleepPollInterval);
}

std::shared_ptr<const void> DisplayMonitor::holdOpen(const std::string& displayName) {
    int screenNumber = 0;
    xcb_connection_t* connection = X11DisplayConnection::connectToDisplay(displayName, screenNumber);
    if (connection == nullptr) return nullptr;
    return std::shared_ptr<const void>(connection, [](xcb_connection_t* held) { xcb_disconnect(held); });
}

X11DisplayMonitor::X11DisplayMonitor(std::string displayName, std::shared_ptr<WakeEnvironmentPlatform> power,
                                     std::chrono::steady_clock::duration sleepPollInterval)
    : displayName_(std::move(displayName)), power_(std::move(power)), sleepPollInterval_(sleepPollInterval) {}

X11DisplayMonitor::~X11DisplayMonitor() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        (void)::write(stopDescriptor_, &one, sizeof one);
        thread_.join();
    }
    if (stopDescriptor_ >= 0) ::close(stopDescriptor_);
}

void X11DisplayMonitor::start(Handler handler) {
    {
        std::lock_guard guard(mutex_);
        if (started_) return;
        started_ = true;
    }
    handler_ = std::move(handler);
    try {
        connection_ = std::make_unique<X11DisplayConnection>(displayName_);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velorinth: the display monitor has no display: %s\n", error.what());
    }
    if (connection_) {
        const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection_->get(), &xcb_randr_id);
        if (randr != nullptr && randr->present != 0) {
            randrFirstEvent_ = randr->first_event;
            xcb_randr_select_input(connection_->get(), connection_->root(),
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
        }
        if (!refresh()) loseConnection();
    }
    stopDescriptor_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopDescriptor_ < 0) return; // no thread: the cache stays as read
    thread_ = std::thread([this] { run(); });
}

DisplayDescriptor X11DisplayMonitor::mainDisplay() {
    std::lock_guard guard(mutex_);
    return display_;
}

ContentRect2D X11DisplayMonitor::mainDisplayBounds() {
    std::lock_guard guard(mutex_);
    return bounds_;
}

bool X11DisplayMonitor::refresh() {
    const ShareableContent content = connection_->displays();
    if (connection_->hasError() || content.displays.empty()) return false;
    const std::uint32_t mainID = content.mainDisplayID.value_or(content.displays.front().displayID);
    const std::optional<X11Rectangle> rectangle = connection_->displayRectangle(mainID);
    if (!rectangle) return false;
    std::lock_guard guard(mutex_);
    display_ = DisplayDescriptor{mainID, std::max(1, rectangle->width), std::max(1, rectangle->height), 1.0};
    bounds_ = ContentRect2D{{static_cast<double>(rectangle->x), static_cast<double>(rectangle->y)},
                            {static_cast<double>(rectangle->width), static_cast<double>(rectangle->height)}};
    return true;
}

void X11DisplayMonitor::loseConnection() {
    std::fprintf(stderr, "velorinth: the display monitor lost its display; keeping the last geometry\n");
    connection_.reset();
}

void X11DisplayMonitor::drainEvents(bool& changed) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->get())) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (randrFirstEvent_ != 0 &&
            (type == randrFirstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrFirstEvent_ + XCB_RANDR_NOTIFY)) {
            changed = true;
        }
        std::free(event);
    }
}

void X11DisplayMonitor::run() {
    using Clock = std::chrono::steady_clock;
    bool asleep = power_->isMainDisplayAsleep();
    Clock::time_point nextPoll = Clock::now() + sleepPollInterval_;
    for (;;) {
        pollfd descriptors[2] = {{stopDescriptor_, POLLIN, 0}, {-1, POLLIN, 0}};
        if (connection_) descriptors[1].fd = xcb_get_file_descriptor(connection_->get());
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - Clock::now());
        const int ready = ::poll(descriptors, 2, static_cast<int>(std::max<std::int64_t>(0, wait.count())));
        if (ready > 0 && (descriptors[0].revents & POLLIN) != 0) return;

        if (connection_) {
            bool changed = false;
            drainEvents(changed);
            if (connection_->hasError()) {
                loseConnection();
            } else if (changed) {
                if (!refresh()) {
                    loseConnection();
                } else if (handler_) {
                    handler_(DisplayEvent::screenParametersChanged);
                }
            }
        }
        if (Clock::now() >= nextPoll) {
            nextPoll = Clock::now() + sleepPollInterval_;
            const bool nowAsleep = power_->isMainDisplayAsleep();
            if (nowAsleep != asleep && handler_) {
                handler_(nowAsleep ? DisplayEvent::screensDidSleep : DisplayEvent::screensDidWake);
            }
            asleep = nowAsleep;
        }
    }
}

} // namespace velorinth
