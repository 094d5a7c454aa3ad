#pragma once

#include "platform/WindowActivator.hpp"

namespace velorinth {

// Shows minimised windows again, raises and activates every visible
// top-level window and asks for the user's attention. A window manager may
// refuse the focus; the urgency hint stays.
class QtWindowActivator final : public WindowActivator {
public:
    void activateAndOrderAllWindowsFront() override;
};

} // namespace velorinth
