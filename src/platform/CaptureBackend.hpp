#pragma once

#include "platform/CaptureStream.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// One display that can be captured: its size in points and in pixels.
struct CaptureDisplay {
    std::uint32_t displayID = 0;
    std::int64_t width = 0;  // points
    std::int64_t height = 0; // points
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;

    bool operator==(const CaptureDisplay&) const = default;
};

struct ShareableContent {
    std::vector<CaptureDisplay> displays;
    std::optional<std::uint32_t> mainDisplayID; // the system's main display, when it has one
};

// The screen capture facility. Every call may block; none may come from an
// event loop's thread.
class CaptureBackend {
public:
    // The X11 back-end on `displayName` (empty: $DISPLAY).
    static std::shared_ptr<CaptureBackend> create(std::string displayName = {});

    virtual ~CaptureBackend() = default;

    // Whether this process may read the screen now.
    virtual bool preflight() = 0;
    // The displays now; throws the back-end's error.
    virtual ShareableContent shareableContent() = 0;
    // A stream of `display`, not yet started, delivering to `output`, which
    // must outlive it. Throws the back-end's error.
    virtual std::unique_ptr<CaptureStream>
    makeStream(const CaptureDisplay& display, const CaptureStreamSettings& settings, CaptureStreamOutput& output) = 0;
};

} // namespace velorinth
