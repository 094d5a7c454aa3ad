#include "platform/linux/X11DisplayConnection.hpp"

#include "platform/CaptureBackendError.hpp"
#include "platform/linux/XcbReply.hpp"

#include <xcb/randr.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace velorinth {

namespace {

template <class T>
using Reply = XcbReply<T>;

constexpr std::uint32_t kRedMask = 0xFF0000, kGreenMask = 0x00FF00, kBlueMask = 0x0000FF;

} // namespace

// An X server that is closing another client's connection now and then drops
// a new one before its setup: a failed connect is tried again, briefly.
xcb_connection_t* X11DisplayConnection::connectToDisplay(const std::string& displayName, int& screenNumber) {
    constexpr int kAttempts = 4;
    for (int attempt = 1;; ++attempt) {
        xcb_connection_t* connection = nullptr;
        {
            // libxcb finds the authority file through libXau, which builds its
            // name in one static buffer: two connects at once race on it.
            static std::mutex connecting;
            std::lock_guard guard(connecting);
            connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
        }
        if (xcb_connection_has_error(connection) == 0) return connection;
        xcb_disconnect(connection);
        if (attempt == kAttempts) return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * attempt));
    }
}

X11DisplayConnection::X11DisplayConnection(const std::string& displayName) {
    int screenNumber = 0;
    connection_ = connectToDisplay(displayName, screenNumber);
    if (connection_ == nullptr) throw CaptureBackendError(CaptureBackendError::Case::displayUnavailable);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    if (it.rem == 0) {
        xcb_disconnect(connection_);
        throw CaptureBackendError(CaptureBackendError::Case::displayUnavailable);
    }
    screen_ = it.data;
}

X11DisplayConnection::~X11DisplayConnection() { xcb_disconnect(connection_); }

std::vector<X11DisplayConnection::Output> X11DisplayConnection::outputs(std::optional<std::uint32_t>& primary) {
    std::vector<Output> found;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection_, &xcb_randr_id);
    if (randr == nullptr || randr->present == 0) return found;
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(connection_, xcb_randr_query_version(connection_, 1, 3), nullptr));
    if (!version || (version->major_version == 1 && version->minor_version < 3)) return found;
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources(xcb_randr_get_screen_resources_current_reply(
        connection_, xcb_randr_get_screen_resources_current(connection_, root()), nullptr));
    if (!resources) return found;
    Reply<xcb_randr_get_output_primary_reply_t> primaryReply(
        xcb_randr_get_output_primary_reply(connection_, xcb_randr_get_output_primary(connection_, root()), nullptr));
    if (primaryReply && primaryReply->output != XCB_NONE) primary = primaryReply->output;

    const xcb_randr_output_t* ids = xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    for (int i = 0; i < count; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            connection_, xcb_randr_get_output_info(connection_, ids[i], resources->config_timestamp), nullptr));
        if (!info || info->crtc == XCB_NONE) continue;
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
            connection_, xcb_randr_get_crtc_info(connection_, info->crtc, resources->config_timestamp), nullptr));
        if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
        found.push_back({ids[i], {crtc->x, crtc->y, crtc->width, crtc->height}});
    }
    return found;
}

ShareableContent X11DisplayConnection::displays() {
    ShareableContent content;
    std::optional<std::uint32_t> primary;
    const std::vector<Output> found = outputs(primary);
    if (found.empty()) {
        const std::int64_t width = screen_->width_in_pixels, height = screen_->height_in_pixels;
        content.displays.push_back({root(), width, height, width, height});
        content.mainDisplayID = root();
        return content;
    }
    for (const Output& output : found) {
        const std::int64_t width = output.rectangle.width, height = output.rectangle.height;
        content.displays.push_back({output.id, width, height, width, height});
    }
    bool primaryListed = false;
    for (const Output& output : found) primaryListed = primaryListed || (primary && output.id == *primary);
    content.mainDisplayID = primaryListed ? *primary : found.front().id;
    return content;
}

std::optional<X11Rectangle> X11DisplayConnection::displayRectangle(std::uint32_t displayID) {
    std::optional<std::uint32_t> primary;
    const std::vector<Output> found = outputs(primary);
    if (found.empty() && displayID == root())
        return X11Rectangle{0, 0, screen_->width_in_pixels, screen_->height_in_pixels};
    for (const Output& output : found) {
        if (output.id == displayID) return output.rectangle;
    }
    return std::nullopt;
}

void X11DisplayConnection::requireTrueColor() const {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    bool supported = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST &&
                     (screen_->root_depth == 24 || screen_->root_depth == 32);
    bool thirtyTwoBits = false;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0; xcb_format_next(&formats)) {
        if (formats.data->depth == screen_->root_depth) thirtyTwoBits = formats.data->bits_per_pixel == 32;
    }
    bool trueColor = false;
    for (auto depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem > 0; xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0; xcb_visualtype_next(&visuals)) {
            const xcb_visualtype_t* visual = visuals.data;
            if (visual->visual_id != screen_->root_visual) continue;
            trueColor = visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR && visual->red_mask == kRedMask &&
                        visual->green_mask == kGreenMask && visual->blue_mask == kBlueMask;
        }
    }
    if (!supported || !thirtyTwoBits || !trueColor) {
        throw CaptureBackendError(CaptureBackendError::Case::unsupportedVisual);
    }
}

bool X11DisplayConnection::canReadRoot() {
    Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        connection_, xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root(), 0, 0, 1, 1, ~0u), nullptr));
    return image != nullptr;
}

} // namespace velorinth
