#pragma once

// The host's end of remote control: each InputEvent a paired tablet sends,
// with the bounds of the display, becomes events posted to the input sink
// (pointer moves, presses with click counts, drags, pixel scrolls, keys and
// repeats, modifier changes, typed text, system shortcuts). It remembers the
// buttons, keys and modifiers it holds so that they can all be let go when a
// session ends or the Accessibility grant is lost.
//
// One lock serialises everything: inject runs on the event loop and
// releaseAllHeld also on the UI thread, and each event's posts and state
// changes are atomic with respect to the other's. Nothing waits but the lock
// and the sink (at most one round trip to the display server).

#include "core/InputCoordinateMapper.hpp"
#include "core/InputEvent.hpp"
#include "host/input/InputInjectorError.hpp"
#include "platform/InputEventSink.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace velorinth {

class InputInjector {
public:
    // What the injector holds, read under its lock.
    struct HeldState {
        std::optional<Point2D> lastCursorPoint;
        std::set<MouseButton> heldMouseButtons;
        std::set<std::uint16_t> heldKeyCodes;
        KeyModifiers currentModifiers;
        bool operator==(const HeldState&) const = default;
    };

    explicit InputInjector(std::shared_ptr<InputEventSink> eventSource);
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // The one entry for remote input. `displayBounds` is the display in global
    // display coordinates. accessibilityPermissionRequired (after releasing
    // everything held) or invalidCoordinate (nothing changed).
    void inject(const InputEvent& event, const ContentRect2D& displayBounds);
    // Lets go of every held button, key and modifier. Never fails.
    void releaseAllHeld();

    HeldState heldState() const;

private:
    void apply(const InputEvent& event, const ContentRect2D& bounds);
    void applyPointerDrag(const InputEvent::PointerDrag& drag, const ContentRect2D& bounds);
    void applyScroll(const InputEvent::Scroll& scroll);
    void applyModifierChange(KeyModifiers modifiers);
    Point2D displayPoint(double x, double y, const ContentRect2D& bounds) const;
    void postDragEvent(MouseButton button, Point2D point);
    void postKey(std::uint16_t keyCode, bool down, std::uint64_t flags, bool autorepeat = false);
    void typeText(const std::string& text);
    void flushText(const std::u16string& chunk);
    void performSystemAction(MacSystemAction action);
    void releaseHeldLocked();
    std::optional<MouseButton> firstHeldButton() const;

    mutable std::mutex lock_;
    const std::shared_ptr<InputEventSink> eventSource_;
    std::optional<Point2D> lastCursorPoint_;
    std::set<MouseButton> heldMouseButtons_;
    std::set<std::uint16_t> heldKeyCodes_;
    KeyModifiers currentModifiers_;
};

// The event flags of a modifier set: the OR of each modifier's flag.
std::uint64_t eventFlags(KeyModifiers modifiers);

} // namespace velorinth
