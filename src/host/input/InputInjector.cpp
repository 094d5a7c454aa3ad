#include "host/input/InputInjector.hpp"

#include "core/MacVirtualKeyCode.hpp"
#include "core/Text.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace velorinth {

namespace {

namespace vk = MacVirtualKeyCode;

// Text goes out in chunks of at most this many UTF-16 units per key event.
constexpr std::size_t kTextChunkUnits = 16;

struct ButtonTypes {
    InputEventType down;
    InputEventType up;
    InputEventType dragged;
    std::uint32_t number;
};

ButtonTypes typesOf(MouseButton button) {
    switch (button) {
    case MouseButton::primary:
        return {InputEventType::leftMouseDown, InputEventType::leftMouseUp, InputEventType::leftMouseDragged, 0};
    case MouseButton::secondary:
        return {InputEventType::rightMouseDown, InputEventType::rightMouseUp, InputEventType::rightMouseDragged, 1};
    case MouseButton::middle: break;
    }
    return {InputEventType::otherMouseDown, InputEventType::otherMouseUp, InputEventType::otherMouseDragged, 2};
}

std::int64_t phaseValue(ScrollPhase phase) {
    switch (phase) {
    case ScrollPhase::began: return ScrollPhaseField::began;
    case ScrollPhase::changed: return ScrollPhaseField::changed;
    case ScrollPhase::ended: return ScrollPhaseField::ended;
    case ScrollPhase::momentum: return ScrollPhaseField::momentum;
    case ScrollPhase::cancelled: return ScrollPhaseField::cancelled;
    }
    return ScrollPhaseField::changed;
}

struct Chord {
    KeyModifiers modifiers;
    std::uint16_t keyCode;
};

Chord chordOf(MacSystemAction action) {
    switch (action) {
    case MacSystemAction::missionControl: return {KeyModifiers::control, vk::upArrow};
    case MacSystemAction::appExpose: return {KeyModifiers::control, vk::downArrow};
    case MacSystemAction::showDesktop: return {KeyModifiers{}, vk::f11};
    case MacSystemAction::spaceLeft: return {KeyModifiers::control, vk::leftArrow};
    case MacSystemAction::spaceRight: return {KeyModifiers::control, vk::rightArrow};
    case MacSystemAction::spotlight: return {KeyModifiers::command, vk::space};
    case MacSystemAction::appSwitcher: return {KeyModifiers::command, vk::tab};
    case MacSystemAction::hideFrontApplication: return {KeyModifiers::command, vk::ansiH};
    case MacSystemAction::forceQuitApplications: return {KeyModifiers::command | KeyModifiers::option, vk::escape};
    }
    return {KeyModifiers{}, vk::escape};
}

// The key named for the first of these a change holds: command, shift, option, control, caps lock.
std::uint16_t modifierKeyCode(KeyModifiers changed) {
    if (changed.contains(KeyModifiers::command)) return vk::command;
    if (changed.contains(KeyModifiers::shift)) return vk::shift;
    if (changed.contains(KeyModifiers::option)) return vk::option;
    if (changed.contains(KeyModifiers::control)) return vk::control;
    if (changed.contains(KeyModifiers::capsLock)) return vk::capsLock;
    return vk::command;
}

// Halves away from zero, then into the signed 32-bit range a wheel carries.
std::int32_t wheelDelta(double delta) {
    const double rounded = std::round(delta);
    if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(rounded);
}

} // namespace

std::uint64_t eventFlags(KeyModifiers modifiers) {
    std::uint64_t flags = 0;
    if (modifiers.contains(KeyModifiers::shift)) flags |= InputEventFlags::shift;
    if (modifiers.contains(KeyModifiers::control)) flags |= InputEventFlags::control;
    if (modifiers.contains(KeyModifiers::option)) flags |= InputEventFlags::option;
    if (modifiers.contains(KeyModifiers::command)) flags |= InputEventFlags::command;
    if (modifiers.contains(KeyModifiers::capsLock)) flags |= InputEventFlags::capsLock;
    return flags;
}

InputInjector::InputInjector(std::shared_ptr<InputEventSink> eventSource) : eventSource_(std::move(eventSource)) {}

void InputInjector::inject(const InputEvent& event, const ContentRect2D& displayBounds) {
    const bool trusted = eventSource_->isTrusted();
    std::lock_guard guard(lock_);
    if (!trusted) {
        releaseHeldLocked();
        throw InputInjectorError(InputInjectorError::Case::accessibilityPermissionRequired);
    }
    apply(event, displayBounds);
}

void InputInjector::releaseAllHeld() {
    std::lock_guard guard(lock_);
    releaseHeldLocked();
}

InputInjector::HeldState InputInjector::heldState() const {
    std::lock_guard guard(lock_);
    return {lastCursorPoint_, heldMouseButtons_, heldKeyCodes_, currentModifiers_};
}

void InputInjector::apply(const InputEvent& event, const ContentRect2D& bounds) {
    const std::uint64_t flags = eventFlags(currentModifiers_);
    if (const auto* move = event.get<InputEvent::PointerMove>()) {
        const Point2D point = displayPoint(move->normalizedX, move->normalizedY, bounds);
        lastCursorPoint_ = point;
        if (const auto button = firstHeldButton()) return postDragEvent(*button, point);
        InputEventRecord record;
        record.type = InputEventType::mouseMoved;
        record.location = point;
        record.flags = flags;
        eventSource_->post(record);
    } else if (const auto* press = event.get<InputEvent::MouseButton>()) {
        Point2D location;
        if (lastCursorPoint_) {
            location = *lastCursorPoint_;
        } else if (const auto current = eventSource_->currentPointerLocation()) {
            location = *current;
        } else {
            location = {bounds.origin.x + bounds.size.width / 2, bounds.origin.y + bounds.size.height / 2};
        }
        if (press->isDown) {
            heldMouseButtons_.insert(press->button);
        } else {
            heldMouseButtons_.erase(press->button);
        }
        const ButtonTypes types = typesOf(press->button);
        InputEventRecord record;
        record.type = press->isDown ? types.down : types.up;
        record.location = location;
        record.mouseButton = types.number;
        record.flags = flags;
        record.clickState = press->clickCount > 1 ? press->clickCount : 1;
        record.buttonNumber = types.number;
        eventSource_->post(record);
    } else if (const auto* drag = event.get<InputEvent::PointerDrag>()) {
        applyPointerDrag(*drag, bounds);
    } else if (const auto* scroll = event.get<InputEvent::Scroll>()) {
        applyScroll(*scroll);
    } else if (const auto* key = event.get<InputEvent::Key>()) {
        currentModifiers_ = key->modifiers;
        if (key->isDown) {
            heldKeyCodes_.insert(key->code);
        } else {
            heldKeyCodes_.erase(key->code);
        }
        postKey(key->code, key->isDown, eventFlags(key->modifiers));
    } else if (const auto* repeat = event.get<InputEvent::KeyRepeat>()) {
        currentModifiers_ = repeat->modifiers;
        heldKeyCodes_.insert(repeat->code);
        postKey(repeat->code, true, eventFlags(repeat->modifiers), true);
    } else if (const auto* change = event.get<InputEvent::ModifierChange>()) {
        applyModifierChange(change->modifiers);
    } else if (const auto* text = event.get<InputEvent::Text>()) {
        typeText(text->value);
    } else if (const auto* composition = event.get<InputEvent::TextComposition>()) {
        // Marked text stays on the tablet; only committed text is typed.
        if (const auto* committed = std::get_if<CompositionEvent::Committed>(&composition->value.value)) {
            typeText(committed->value);
        }
    } else if (const auto* action = event.get<InputEvent::SystemAction>()) {
        performSystemAction(action->value);
    }
}

void InputInjector::applyPointerDrag(const InputEvent::PointerDrag& drag, const ContentRect2D& bounds) {
    const Point2D point = displayPoint(drag.normalizedX, drag.normalizedY, bounds);
    lastCursorPoint_ = point;
    switch (drag.phase) {
    case DragPhase::began:
    case DragPhase::changed:
        heldMouseButtons_.insert(drag.button);
        postDragEvent(drag.button, point);
        return;
    case DragPhase::ended:
        // The button's release comes as its own mouseButton event.
        postDragEvent(drag.button, point);
        return;
    case DragPhase::cancelled:
        // Held until an up is posted: were the up lost with the link, release
        // could not free it otherwise.
        postDragEvent(drag.button, point);
        return;
    }
}

void InputInjector::applyScroll(const InputEvent::Scroll& scroll) {
    // Only a local caller can make NaN (a peer's JSON cannot): the event is dropped.
    if (std::isnan(scroll.deltaX) || std::isnan(scroll.deltaY)) return;
    InputEventRecord record;
    record.type = InputEventType::scrollWheel;
    record.scrollWheel1 = wheelDelta(scroll.deltaY);
    record.scrollWheel2 = wheelDelta(scroll.deltaX);
    record.flags = eventFlags(currentModifiers_);
    record.scrollContinuous = 1;
    record.scrollPhase = phaseValue(scroll.phase);
    eventSource_->post(record);
}

void InputInjector::applyModifierChange(KeyModifiers modifiers) {
    const KeyModifiers changed = currentModifiers_ ^ modifiers;
    currentModifiers_ = modifiers;
    InputEventRecord record;
    record.type = InputEventType::flagsChanged;
    record.keyCode = modifierKeyCode(changed);
    record.keyDown = !(changed & modifiers).isEmpty();
    record.flags = eventFlags(modifiers);
    eventSource_->post(record);
}

Point2D InputInjector::displayPoint(double x, double y, const ContentRect2D& bounds) const {
    // NaN fails both comparisons, so it is tested on its own.
    if (std::isnan(x) || x < 0 || x > 1 || std::isnan(y) || y < 0 || y > 1) {
        throw InputInjectorError(InputInjectorError::Case::invalidCoordinate);
    }
    return {bounds.origin.x + x * bounds.size.width, bounds.origin.y + y * bounds.size.height};
}

void InputInjector::postDragEvent(MouseButton button, Point2D point) {
    const ButtonTypes types = typesOf(button);
    InputEventRecord record;
    record.type = types.dragged;
    record.location = point;
    record.mouseButton = types.number;
    record.flags = eventFlags(currentModifiers_);
    record.buttonNumber = types.number;
    eventSource_->post(record);
}

void InputInjector::postKey(std::uint16_t keyCode, bool down, std::uint64_t flags, bool autorepeat) {
    InputEventRecord record;
    record.type = down ? InputEventType::keyDown : InputEventType::keyUp;
    record.keyCode = keyCode;
    record.keyDown = down;
    record.flags = flags;
    if (autorepeat) record.autorepeat = 1;
    eventSource_->post(record);
}

void InputInjector::typeText(const std::string& text) {
    if (text.empty()) return;
    const std::u16string units = utf16FromUtf8(text);
    std::u16string buffer;
    buffer.reserve(kTextChunkUnits);
    std::size_t offset = 0;
    // A character is never split; one longer than a chunk goes out alone.
    for (std::size_t length : graphemeClusterLengths(units)) {
        if (!buffer.empty() && buffer.size() + length > kTextChunkUnits) {
            flushText(buffer);
            buffer.clear();
        }
        buffer.append(units, offset, length);
        offset += length;
    }
    if (!buffer.empty()) flushText(buffer);
}

void InputInjector::flushText(const std::u16string& chunk) {
    for (bool down : {true, false}) {
        InputEventRecord record;
        record.type = down ? InputEventType::keyDown : InputEventType::keyUp;
        record.keyCode = 0;
        record.keyDown = down;
        record.flags = 0;
        record.unicodeString = chunk;
        eventSource_->post(record);
    }
}

void InputInjector::performSystemAction(MacSystemAction action) {
    const Chord chord = chordOf(action);
    postKey(chord.keyCode, true, eventFlags(chord.modifiers));
    postKey(chord.keyCode, false, eventFlags(chord.modifiers));
}

void InputInjector::releaseHeldLocked() {
    if (eventSource_->isTrusted()) {
        Point2D location;
        if (lastCursorPoint_) {
            location = *lastCursorPoint_;
        } else if (const auto current = eventSource_->currentPointerLocation()) {
            location = *current;
        }
        for (MouseButton button : heldMouseButtons_) {
            const ButtonTypes types = typesOf(button);
            InputEventRecord record;
            record.type = types.up;
            record.location = location;
            record.mouseButton = types.number;
            eventSource_->post(record);
        }
        for (std::uint16_t keyCode : heldKeyCodes_) postKey(keyCode, false, 0);
        if (!currentModifiers_.isEmpty()) {
            InputEventRecord record;
            record.type = InputEventType::flagsChanged;
            record.keyCode = vk::command;
            record.keyDown = false;
            eventSource_->post(record);
        }
    }
    heldMouseButtons_.clear();
    heldKeyCodes_.clear();
    currentModifiers_ = KeyModifiers{};
}

std::optional<MouseButton> InputInjector::firstHeldButton() const {
    // The lowest raw value: primary before secondary before middle.
    if (heldMouseButtons_.empty()) return std::nullopt;
    return *heldMouseButtons_.begin();
}

} // namespace velorinth
