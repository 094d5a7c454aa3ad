#pragma once

#include "platform/InputEventSink.hpp"

#include <memory>

namespace velorinth {

// Whether injected input reaches the desktop: the stand-in for the original
// platform's Accessibility grant. Cheap; never waits for the display server.
class AccessibilityAccess {
public:
    virtual ~AccessibilityAccess() = default;

    virtual bool isTrusted() = 0;
    // The check that may show the system's prompt; X has none, so it only
    // checks again.
    virtual bool isTrustedWithPrompt() = 0;

    // The input sink's own test (XTest on a live connection).
    static std::shared_ptr<AccessibilityAccess> create(std::shared_ptr<InputEventSink> sink);
};

} // namespace velorinth
