#include "core/MacVirtualKeyCode.hpp"
#include "core/RemoteInputEngine.hpp"

// Hardware keys, typed and composed text, delete, sticky modifiers and system
// actions. The central decision per key press: a virtual key code or the
// typed text, and keeping a press that the tablet's text input delivers again
// as text from reaching the host twice.

namespace velorinth {

namespace {

constexpr std::uint16_t kReturnUsage = 0x28;
constexpr std::uint16_t kDeleteUsage = 0x2A;
constexpr std::uint16_t kTabUsage = 0x2B;
constexpr std::uint16_t kKeypadEnterUsage = 0x58;

} // namespace

bool RemoteInputEngine::handleHardwareKeyDown(const HardwareKeyDescriptor& descriptor, bool textInputActive) {
    if (!canSendInput()) return false;
    activeHardwareModifiers_ = descriptor.modifiers;
    if (auto modifier = KeyboardKeyTranslator::modifierKey(descriptor.hidUsage)) {
        activeHardwareModifiers_.insert(modifier->first);
        emit(InputEvent::modifierChange(activeHardwareModifiers_ | stickyModifiers_));
        return true;
    }
    const KeyModifiers effective = stickyModifiers_ | descriptor.modifiers;

    std::optional<std::uint16_t> keyCode = KeyboardKeyTranslator::specialKeyCode(descriptor.hidUsage);
    if (!keyCode) {
        if (!KeyboardKeyTranslator::isShortcut(effective, preferences_.optionSendsMeta)) {
            // Typing: the text goes as text, through insertText when the text input is active.
            if (textInputActive || !descriptor.characters || descriptor.characters->empty()) return false;
            emit(InputEvent::text(*descriptor.characters));
            stickyRelease();
            return true;
        }
        keyCode = KeyboardKeyTranslator::shortcutKeyCode(descriptor);
        if (!keyCode) return false;
    }

    cancelComposition();
    if (auto held = pressedHardwareKeys_.find(descriptor.hidUsage); held == pressedHardwareKeys_.end()) {
        pressedHardwareKeys_.emplace(descriptor.hidUsage, *keyCode);
        emit(InputEvent::key(*keyCode, true, effective));
    } else if (held->second == *keyCode) {
        emit(InputEvent::keyRepeat(*keyCode, effective));
    } else {
        // The same key now means another code (its modifiers changed the
        // character): the old code is let go first, or it stays down on the host.
        const std::uint16_t previous = held->second;
        held->second = *keyCode;
        emit(InputEvent::key(previous, false, effective));
        emit(InputEvent::key(*keyCode, true, effective));
    }
    if (textInputActive && preferences_.optionSendsMeta && effective.contains(KeyModifiers::option) &&
        !effective.contains(KeyModifiers::control) && !effective.contains(KeyModifiers::command)) {
        suppressedCharactersWhileKeyHeld_.insert(descriptor.hidUsage);
    }
    stickyRelease();
    return true;
}

void RemoteInputEngine::handleHardwareKeyUp(const HardwareKeyDescriptor& descriptor) {
    suppressedCharactersWhileKeyHeld_.erase(descriptor.hidUsage);
    if (!canSendInput()) {
        pressedHardwareKeys_.erase(descriptor.hidUsage);
        return;
    }
    if (auto modifier = KeyboardKeyTranslator::modifierKey(descriptor.hidUsage)) {
        activeHardwareModifiers_ = descriptor.modifiers.subtracting(modifier->first);
        emit(InputEvent::modifierChange(stickyModifiers_ | activeHardwareModifiers_));
        return;
    }
    activeHardwareModifiers_ = descriptor.modifiers;
    const auto held = pressedHardwareKeys_.find(descriptor.hidUsage);
    if (held == pressedHardwareKeys_.end()) return;
    const std::uint16_t keyCode = held->second;
    pressedHardwareKeys_.erase(held);
    emit(InputEvent::key(keyCode, false, stickyModifiers_ | activeHardwareModifiers_));
}

void RemoteInputEngine::insertText(const std::string& text) {
    if (!canSendInput() || text.empty()) return;
    if (!suppressedCharactersWhileKeyHeld_.empty()) return;
    if (activeMarkedText_) {
        activeMarkedText_.reset();
        emit(InputEvent::textComposition(CompositionEvent::committed(text)));
        stickyRelease();
        return;
    }
    const KeyModifiers modifiers = activeHardwareModifiers_ | stickyModifiers_;
    if (text == "\n" || text == "\r") {
        // The hardware Return was sent as a key already.
        if (pressedHardwareKeys_.contains(kReturnUsage) || pressedHardwareKeys_.contains(kKeypadEnterUsage)) return;
        sendKeyPress(MacVirtualKeyCode::returnKey, modifiers);
        return;
    }
    if (text == "\t") {
        if (pressedHardwareKeys_.contains(kTabUsage)) return;
        sendKeyPress(MacVirtualKeyCode::tab, modifiers);
        return;
    }
    if (stickyModifiers_.contains(KeyModifiers::control) || stickyModifiers_.contains(KeyModifiers::command)) {
        if (auto keyCode = KeyboardKeyTranslator::characterKeyCode(text)) {
            sendKeyPress(*keyCode, modifiers);
            return;
        }
    }
    emit(InputEvent::text(text));
    stickyRelease();
}

void RemoteInputEngine::setMarkedText(const std::string& text, std::int64_t selectedLocation,
                                      std::int64_t selectedLength) {
    if (!canSendInput()) return;
    if (!text.empty()) {
        activeMarkedText_ = text;
        emit(InputEvent::textComposition(CompositionEvent::updated(text, selectedLocation, selectedLength)));
    } else {
        cancelComposition();
    }
}

void RemoteInputEngine::unmarkText() {
    // Forgotten even while input is not allowed; emit() says nothing then.
    cancelComposition();
}

void RemoteInputEngine::deleteBackward() {
    if (!canSendInput() || pressedHardwareKeys_.contains(kDeleteUsage)) return;
    sendKeyPress(MacVirtualKeyCode::deleteKey, activeHardwareModifiers_ | stickyModifiers_);
}

void RemoteInputEngine::sendKeyPress(std::uint16_t keyCode, KeyModifiers modifiers) {
    if (!canSendInput()) return;
    const KeyModifiers all = activeHardwareModifiers_ | modifiers | stickyModifiers_;
    emit(InputEvent::key(keyCode, true, all));
    emit(InputEvent::key(keyCode, false, all));
    stickyRelease();
}

void RemoteInputEngine::toggleStickyModifier(KeyModifiers modifiers) {
    if (!canSendInput()) return;
    if (!modifiers.isEmpty()) {
        if (stickyModifiers_.contains(modifiers)) {
            stickyModifiers_.remove(modifiers);
        } else {
            stickyModifiers_.insert(modifiers);
        }
    }
    emit(InputEvent::modifierChange(activeHardwareModifiers_ | stickyModifiers_));
}

void RemoteInputEngine::sendSystemAction(MacSystemAction action) {
    if (!canSendInput()) return;
    emit(InputEvent::systemAction(action));
    stickyRelease();
}

void RemoteInputEngine::cancelComposition() {
    if (!activeMarkedText_) return;
    activeMarkedText_.reset();
    emit(InputEvent::textComposition(CompositionEvent::cancelled()));
}

} // namespace velorinth
