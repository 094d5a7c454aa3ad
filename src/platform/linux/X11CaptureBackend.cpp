#include "platform/linux/X11CaptureBackend.hpp"

#include "platform/linux/X11CaptureStream.hpp"
#include "platform/linux/X11DisplayConnection.hpp"

namespace velorinth {

std::shared_ptr<CaptureBackend> CaptureBackend::create(std::string displayName) {
    return std::make_shared<X11CaptureBackend>(std::move(displayName));
}

bool X11CaptureBackend::preflight() {
    try {
        X11DisplayConnection display(displayName_);
        return display.canReadRoot();
    } catch (const std::exception&) {
        return false;
    }
}

ShareableContent X11CaptureBackend::shareableContent() {
    X11DisplayConnection display(displayName_);
    return display.displays();
}

std::unique_ptr<CaptureStream> X11CaptureBackend::makeStream(const CaptureDisplay& display,
                                                             const CaptureStreamSettings& settings,
                                                             CaptureStreamOutput& output) {
    return std::make_unique<X11CaptureStream>(displayName_, display.displayID, settings, output);
}

} // namespace velorinth
