#pragma once

#include "platform/WindowActivator.hpp"

class QWidget;

namespace velorinth {

// Shows minimised windows again, raises and activates every visible
// top-level window and asks for the user's attention. A window manager may
// refuse the focus; the urgency hint stays. Windows are raised parents first,
// so a sheet ends above the window it belongs to.
class QtWindowActivator final : public WindowActivator {
public:
    void activateAndOrderAllWindowsFront() override;

    // Raises the visible windows that `window` parents (its sheets and their
    // own) above it, and gives the focus to the modal one among them: what a
    // window manager does for a window whose sheet is open, and what no one
    // does without one.
    static void raiseWindowsParentedBy(QWidget* window);
};

} // namespace velorinth
