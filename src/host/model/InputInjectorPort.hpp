#pragma once

#include "core/InputCoordinateMapper.hpp"
#include "core/InputEvent.hpp"

namespace velorinth {

// The input injector as the host model uses it. Any thread.
class InputInjectorPort {
public:
    virtual ~InputInjectorPort() = default;

    // Throws InputInjectorError.
    virtual void inject(const InputEvent& event, const ContentRect2D& displayBounds) = 0;
    virtual void releaseAllHeld() = 0;
};

} // namespace velorinth
