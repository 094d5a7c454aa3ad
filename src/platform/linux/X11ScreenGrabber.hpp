#pragma once

#include "platform/linux/X11DisplayConnection.hpp"
#include "platform/linux/XcbReply.hpp"

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velorinth {

// Reads rectangles of the root window as 32-bit BGRX rows: through a shared
// memory segment when the server offers MIT-SHM and accepts the attach, else
// through plain GetImage. The pointer is drawn in, at its hotspot, when asked.
class X11ScreenGrabber {
public:
    struct Image {
        std::uint8_t* data = nullptr; // valid until the next grab
        int stride = 0;
        int width = 0;
        int height = 0;
    };

    X11ScreenGrabber(X11DisplayConnection& display, bool drawsCursor);
    ~X11ScreenGrabber();
    X11ScreenGrabber(const X11ScreenGrabber&) = delete;
    X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

    // Throws CaptureBackendError(connectionLost or grabFailed). `meanwhile`
    // runs once the request is on its way, while the server copies the
    // pixels: work of the caller's that would otherwise wait for the grab.
    Image grab(const X11Rectangle& rectangle, const std::function<void()>& meanwhile = {});
    bool usesSharedMemory() const noexcept { return segment_ != 0; }

private:
    bool attachSegment(std::size_t bytes);
    void detachSegment();

    X11DisplayConnection& display_;
    const bool drawsCursor_;
    bool sharedMemoryAvailable_ = false;
    bool cursorAvailable_ = false;
    std::uint32_t segment_ = 0;
    std::uint8_t* segmentMemory_ = nullptr;
    std::size_t segmentBytes_ = 0;
    XcbReply<xcb_get_image_reply_t> plainImage_;
};

} // namespace velorinth
