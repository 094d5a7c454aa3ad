#pragma once

#include "platform/CaptureBackend.hpp"

#include <string>

namespace velorinth {

// Screen capture of an X display: the displays are its RandR outputs, the
// grant is a display that opens and whose root can be read.
class X11CaptureBackend final : public CaptureBackend {
public:
    explicit X11CaptureBackend(std::string displayName) : displayName_(std::move(displayName)) {}

    bool preflight() override;
    ShareableContent shareableContent() override;
    std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureStreamSettings& settings,
                                              CaptureStreamOutput& output) override;

private:
    const std::string displayName_;
};

} // namespace velorinth
