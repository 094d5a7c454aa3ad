#pragma once

// The tablet-side half of remote control: it turns what the user does on the
// remote-desktop view (pointer hover and presses, finger moves, taps and
// drags, scrolls, hardware keys, typed and composed text, sticky modifiers,
// system actions) into InputEvent values handed to `onEmit` in order. It keeps
// the remote pointer position (normalised), counts clicks, decides when a
// press becomes a drag, keeps the touch drag lock, and remembers what it has
// pressed so that everything can be released at once.
//
// No lock and no clock: calls come from one thread at a time, times are the
// caller's seconds (only differences matter), and `onEmit` runs inside the
// call that caused the event. Every handler does nothing while input is not
// allowed (named exceptions aside), and each emission checks again.

#include "core/IdentityModels.hpp"
#include "core/InputCoordinateMapper.hpp"
#include "core/InputEvent.hpp"
#include "core/InputPreferences.hpp"
#include "core/KeyboardKeyTranslator.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace velorinth {

class RemoteInputEngine {
public:
    using EmitHandler = std::function<void(const InputEvent&)>;

    // Stores the arguments unchanged.
    RemoteInputEngine(InputPreferences preferences, Size2D viewportSize, Size2D remoteDisplaySize,
                      double doubleClickInterval, double doubleClickMaxDistance, double dragActivationThreshold,
                      EmitHandler onEmit);

    const InputPreferences& preferences() const { return preferences_; }
    // Clamps the sensitivity; switching to directPointer releases the drag lock.
    void setPreferences(InputPreferences preferences);
    Size2D viewportSize() const { return viewportSize_; }
    Size2D remoteDisplaySize() const { return remoteDisplaySize_; }
    Point2D cursorPosition() const { return cursorPosition_; }
    bool isSessionAuthenticated() const { return isSessionAuthenticated_; }
    DevicePermissions grantedPermissions() const { return grantedPermissions_; }
    bool hostAccessibilityGranted() const { return hostAccessibilityGranted_; }
    KeyModifiers stickyModifiers() const { return stickyModifiers_; }
    KeyModifiers activeHardwareModifiers() const { return activeHardwareModifiers_; }
    const std::optional<std::string>& activeMarkedText() const { return activeMarkedText_; }
    bool touchDragLocked() const { return touchDragLocked_; }

    bool canSendInput() const;
    std::optional<RemoteInputBlockReason> blockReason() const;
    KeyModifiers effectiveModifiers() const { return activeHardwareModifiers_ | stickyModifiers_; }

    // Losing the right to send resets the gesture and key state silently.
    void updateSessionState(bool isAuthenticated, DevicePermissions grantedPermissions, bool hostAccessibilityGranted);
    void updateViewportSize(double width, double height);
    void updateRemoteDisplaySize(std::int64_t width, std::int64_t height);
    void releaseAllInput();
    void resetForSessionEnd();
    void setTouchDragLocked(bool locked);

    // Direct-pointer style; view points are in the view's coordinate space.
    void handleDirectHover(Point2D viewPoint);
    void handleDirectButtonDown(MouseButton button, Point2D viewPoint, double time);
    void handleDirectButtonDrag(Point2D viewPoint);
    void handleDirectButtonUp(MouseButton button, Point2D viewPoint);
    void performClick(MouseButton button, double time, std::optional<Point2D> viewPoint,
                      std::int64_t minimumClickCount);

    // Touch style; deltas in view points.
    void handleTouchMove(double deltaX, double deltaY);
    void handleTap(std::int64_t tapCount, double time);
    void handleSecondaryTap();
    void handleTouchDrag(DragPhase phase, double deltaX, double deltaY);

    void handleScroll(ScrollPhase phase, ScrollSourceKind source, double deltaX, double deltaY);

    // Keys, text and composition. False: the tablet's text system handles the press.
    bool handleHardwareKeyDown(const HardwareKeyDescriptor& descriptor, bool textInputActive);
    void handleHardwareKeyUp(const HardwareKeyDescriptor& descriptor);
    void insertText(const std::string& text);
    void setMarkedText(const std::string& text, std::int64_t selectedLocation, std::int64_t selectedLength);
    void unmarkText();
    void deleteBackward();
    void sendKeyPress(std::uint16_t keyCode, KeyModifiers modifiers);
    void toggleStickyModifier(KeyModifiers modifiers);
    void sendSystemAction(MacSystemAction action);

private:
    struct ButtonDown {
        MouseButton button;
        Point2D downPoint; // view points
        std::int64_t clickCount = 1;
        bool isDragging = false;
    };
    struct ClickInfo {
        MouseButton button;
        double time = 0;
        Point2D point; // normalised
        std::int64_t count = 1;
    };

    void emit(InputEvent event);
    bool isExactMapping() const;
    std::optional<Point2D> mapped(Point2D viewPoint) const;
    std::optional<Point2D> clampedMapped(Point2D viewPoint) const;
    std::optional<Point2D> movedBy(Point2D delta) const;
    std::int64_t registerClick(MouseButton button, Point2D point, double time);
    void emitClick(MouseButton button, std::int64_t count);
    void stickyRelease();
    void resetGestureAndKeyState();
    void cancelComposition();

    InputPreferences preferences_;
    Size2D viewportSize_;
    Size2D remoteDisplaySize_;
    Point2D cursorPosition_{0.5, 0.5};
    bool isSessionAuthenticated_ = false;
    DevicePermissions grantedPermissions_;
    bool hostAccessibilityGranted_ = true;
    KeyModifiers stickyModifiers_;
    KeyModifiers activeHardwareModifiers_;
    std::optional<std::string> activeMarkedText_;
    bool touchDragLocked_ = false;
    EmitHandler onEmit_;
    double doubleClickInterval_;
    double doubleClickMaxDistance_;
    double dragActivationThreshold_;
    std::optional<Point2D> lastDirectHoverViewPoint_;
    std::optional<ButtonDown> activeButtonDown_;
    std::optional<ClickInfo> lastClickInfo_;
    bool activeTouchDrag_ = false;
    std::map<std::uint16_t, std::uint16_t> pressedHardwareKeys_; // HID usage -> virtual key sent
    std::set<std::uint16_t> suppressedCharactersWhileKeyHeld_;
};

} // namespace velorinth
