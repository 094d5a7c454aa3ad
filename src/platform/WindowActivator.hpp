#pragma once

namespace velorinth {

// Brings the application to the user's attention. The host views implement it
// over their toolkit; UI thread only.
class WindowActivator {
public:
    virtual ~WindowActivator() = default;

    // Activates the application whatever else is active and orders every one
    // of its windows to the front.
    virtual void activateAndOrderAllWindowsFront() = 0;
};

} // namespace velorinth
