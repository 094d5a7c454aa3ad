#pragma once

#include "host/input/InputInjector.hpp"
#include "host/model/InputInjectorPort.hpp"

#include <memory>

namespace velorinth {

// The injector port over the real injector.
class InputInjectorAdapter final : public InputInjectorPort {
public:
    explicit InputInjectorAdapter(std::shared_ptr<InputInjector> injector) : injector_(std::move(injector)) {}

    void inject(const InputEvent& event, const ContentRect2D& displayBounds) override {
        injector_->inject(event, displayBounds);
    }
    void releaseAllHeld() override { injector_->releaseAllHeld(); }

private:
    const std::shared_ptr<InputInjector> injector_;
};

} // namespace velorinth
