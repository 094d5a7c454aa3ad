#include "platform/linux/X11ScreenGrabber.hpp"

#include "platform/CaptureBackendError.hpp"

#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace velorinth {

namespace {

constexpr int kBytesPerPixel = 4;

[[noreturn]] void fail(const X11DisplayConnection& display) {
    throw CaptureBackendError(display.hasError() ? CaptureBackendError::Case::connectionLost
                                                 : CaptureBackendError::Case::grabFailed);
}

bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data != nullptr && data->present != 0;
}

} // namespace

X11ScreenGrabber::X11ScreenGrabber(X11DisplayConnection& display, bool drawsCursor)
    : display_(display), drawsCursor_(drawsCursor) {
    xcb_connection_t* connection = display.get();
    if (extensionPresent(connection, &xcb_shm_id)) {
        XcbReply<xcb_shm_query_version_reply_t> version(
            xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr));
        sharedMemoryAvailable_ = version != nullptr;
    }
    if (drawsCursor && extensionPresent(connection, &xcb_xfixes_id)) {
        // XFixes answers nothing before its version is agreed.
        XcbReply<xcb_xfixes_query_version_reply_t> version(
            xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0), nullptr));
        cursorAvailable_ = version != nullptr && version->major_version >= 1;
    }
}

X11ScreenGrabber::~X11ScreenGrabber() { detachSegment(); }

bool X11ScreenGrabber::attachSegment(std::size_t bytes) {
    detachSegment();
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    xcb_connection_t* connection = display_.get();
    const std::uint32_t segment = xcb_generate_id(connection);
    xcb_generic_error_t* error =
        xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, static_cast<std::uint32_t>(id), 0));
    // Marked for removal at once: it goes away with the last detach, even if we crash.
    shmctl(id, IPC_RMID, nullptr);
    if (error != nullptr) {
        std::free(error);
        shmdt(memory);
        return false;
    }
    segment_ = segment;
    segmentMemory_ = static_cast<std::uint8_t*>(memory);
    segmentBytes_ = bytes;
    return true;
}

void X11ScreenGrabber::detachSegment() {
    if (segment_ == 0) return;
    if (!display_.hasError()) xcb_shm_detach(display_.get(), segment_);
    xcb_flush(display_.get());
    shmdt(segmentMemory_);
    segment_ = 0;
    segmentMemory_ = nullptr;
    segmentBytes_ = 0;
}

X11ScreenGrabber::Image X11ScreenGrabber::grab(const X11Rectangle& rectangle, const std::function<void()>& meanwhile) {
    xcb_connection_t* connection = display_.get();
    if (display_.hasError()) throw CaptureBackendError(CaptureBackendError::Case::connectionLost);
    const std::size_t bytes =
        static_cast<std::size_t>(rectangle.width) * static_cast<std::size_t>(rectangle.height) * kBytesPerPixel;
    // The pointer is asked for first, so both round trips overlap.
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursor;
    if (cursorAvailable_) cursor = xcb_xfixes_get_cursor_image(connection);
    const auto discardCursor = [&] {
        if (cursor) xcb_discard_reply(connection, cursor->sequence);
    };

    if (sharedMemoryAvailable_ && segmentBytes_ < bytes && !attachSegment(bytes)) sharedMemoryAvailable_ = false;
    Image image{nullptr, rectangle.width * kBytesPerPixel, rectangle.width, rectangle.height};
    const auto x = static_cast<std::int16_t>(rectangle.x), y = static_cast<std::int16_t>(rectangle.y);
    const auto width = static_cast<std::uint16_t>(rectangle.width),
               height = static_cast<std::uint16_t>(rectangle.height);
    // Sent at once, so the server copies while `meanwhile` runs; if that
    // fails, no reply is left behind.
    const auto whileCopying = [&](unsigned int sequence) {
        if (!meanwhile) return;
        xcb_flush(connection);
        try {
            meanwhile();
        } catch (...) {
            xcb_discard_reply(connection, sequence);
            discardCursor();
            throw;
        }
    };
    if (sharedMemoryAvailable_) {
        const xcb_shm_get_image_cookie_t request = xcb_shm_get_image(
            connection, display_.root(), x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0);
        whileCopying(request.sequence);
        XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(connection, request, nullptr));
        if (!reply) {
            discardCursor();
            fail(display_);
        }
        image.data = segmentMemory_;
    } else {
        const xcb_get_image_cookie_t request =
            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, display_.root(), x, y, width, height, ~0u);
        whileCopying(request.sequence);
        plainImage_.reset(xcb_get_image_reply(connection, request, nullptr));
        if (!plainImage_ || static_cast<std::size_t>(xcb_get_image_data_length(plainImage_.get())) < bytes) {
            discardCursor();
            fail(display_);
        }
        image.data = xcb_get_image_data(plainImage_.get());
    }
    if (cursor) {
        XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
            xcb_xfixes_get_cursor_image_reply(connection, *cursor, nullptr));
        if (reply) {
            const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
            const int left = reply->x - reply->xhot - rectangle.x, top = reply->y - reply->yhot - rectangle.y;
            for (int row = std::max(0, -top); row < reply->height && top + row < image.height; ++row) {
                std::uint8_t* out = image.data + (top + row) * image.stride;
                for (int column = std::max(0, -left); column < reply->width && left + column < image.width; ++column) {
                    // Premultiplied ARGB over BGRX.
                    const std::uint32_t argb = pixels[row * reply->width + column];
                    const std::uint32_t alpha = argb >> 24;
                    if (alpha == 0) continue;
                    std::uint8_t* pixel = out + (left + column) * kBytesPerPixel;
                    for (int channel = 0; channel < 3; ++channel) {
                        const std::uint32_t source = (argb >> (8 * channel)) & 0xFF;
                        pixel[channel] = static_cast<std::uint8_t>(
                            std::min<std::uint32_t>(255, source + pixel[channel] * (255 - alpha) / 255));
                    }
                }
            }
        }
    }
    return image;
}

} // namespace velorinth
