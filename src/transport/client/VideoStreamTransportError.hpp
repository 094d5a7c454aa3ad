#pragma once

#include "core/Error.hpp"

#include <cstddef>
#include <functional>
#include <string_view>

namespace velorinth {

// Why the tablet's session refused a video stream request.
class VideoStreamTransportError : public Error {
public:
    enum class Case { sessionNotConnected, screenViewPermissionDenied, h264CapabilityUnavailable };

    explicit VideoStreamTransportError(Case kind);
    static std::string_view text(Case kind);

    bool operator==(const VideoStreamTransportError& other) const noexcept { return kind == other.kind; }

    Case kind;
};

} // namespace velorinth

template <>
struct std::hash<velorinth::VideoStreamTransportError> {
    std::size_t operator()(const velorinth::VideoStreamTransportError& error) const noexcept {
        return std::hash<int>{}(static_cast<int>(error.kind));
    }
};
