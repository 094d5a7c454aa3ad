#pragma once

#include "platform/CaptureBackend.hpp"

#include <memory>

namespace velorinth {

// Whether this process may read the screen: the stand-in for the original
// platform's Screen Recording grant. Each call asks the display server, which
// takes a round trip: never on the event loop's thread.
class ScreenRecordingAccess {
public:
    virtual ~ScreenRecordingAccess() = default;

    // Granted now.
    virtual bool preflight() = 0;
    // Asks for the grant and says whether it holds. X has no consent prompt:
    // this only asks again.
    virtual bool request() = 0;
    // Lists what could be captured; throws the capture back-end's error.
    virtual void confirmShareableContent() = 0;

    // Over the capture back-end's own probe, so there is one test of the grant.
    static std::shared_ptr<ScreenRecordingAccess> create(std::shared_ptr<CaptureBackend> backend);
};

} // namespace velorinth
