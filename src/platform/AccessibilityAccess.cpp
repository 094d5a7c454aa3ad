#include "platform/AccessibilityAccess.hpp"

#include <utility>

namespace velorinth {

namespace {

class InputSinkAccessibilityAccess final : public AccessibilityAccess {
public:
    explicit InputSinkAccessibilityAccess(std::shared_ptr<InputEventSink> sink) : sink_(std::move(sink)) {}

    bool isTrusted() override { return sink_->isTrusted(); }
    bool isTrustedWithPrompt() override { return sink_->isTrusted(); }

private:
    const std::shared_ptr<InputEventSink> sink_;
};

} // namespace

std::shared_ptr<AccessibilityAccess> AccessibilityAccess::create(std::shared_ptr<InputEventSink> sink) {
    return std::make_shared<InputSinkAccessibilityAccess>(std::move(sink));
}

} // namespace velorinth
