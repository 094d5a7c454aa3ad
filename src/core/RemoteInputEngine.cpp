#include "core/RemoteInputEngine.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

// Session gating, pointer, gestures and scrolling; keys and text are in
// RemoteInputEngineKeys.cpp.

namespace velorinth {

namespace {

// The pointer follows the view point exactly when the sensitivity is this close to 1.
constexpr double kExactMappingTolerance = 0.001;
constexpr std::int64_t kMaximumClickCount = 3;
constexpr double kDiscreteWheelMultiplier = 12;

double distance(Point2D a, Point2D b) { return std::hypot(a.x - b.x, a.y - b.y); }

} // namespace

RemoteInputEngine::RemoteInputEngine(InputPreferences preferences, Size2D viewportSize, Size2D remoteDisplaySize,
                                     double doubleClickInterval, double doubleClickMaxDistance,
                                     double dragActivationThreshold, EmitHandler onEmit)
    : preferences_(preferences),
      viewportSize_(viewportSize),
      remoteDisplaySize_(remoteDisplaySize),
      onEmit_(std::move(onEmit)),
      doubleClickInterval_(doubleClickInterval),
      doubleClickMaxDistance_(doubleClickMaxDistance),
      dragActivationThreshold_(dragActivationThreshold) {}

void RemoteInputEngine::setPreferences(InputPreferences preferences) {
    preferences.pointerSensitivity = InputPreferences::clampedSensitivity(preferences.pointerSensitivity);
    preferences_ = preferences;
    if (preferences_.mode == InputInteractionMode::directPointer && touchDragLocked_) setTouchDragLocked(false);
}

bool RemoteInputEngine::canSendInput() const {
    return isSessionAuthenticated_ && grantedPermissions_.allowsRemoteControl() && hostAccessibilityGranted_;
}

std::optional<RemoteInputBlockReason> RemoteInputEngine::blockReason() const {
    if (!isSessionAuthenticated_) return RemoteInputBlockReason::unauthenticatedSession;
    if (!grantedPermissions_.allowsRemoteControl()) return RemoteInputBlockReason::remoteControlPermissionDenied;
    if (!hostAccessibilityGranted_) return RemoteInputBlockReason::hostAccessibilityUnavailable;
    return std::nullopt;
}

void RemoteInputEngine::updateSessionState(bool isAuthenticated, DevicePermissions grantedPermissions,
                                           bool hostAccessibilityGranted) {
    const bool allowedBefore = canSendInput();
    isSessionAuthenticated_ = isAuthenticated;
    grantedPermissions_ = grantedPermissions;
    hostAccessibilityGranted_ = hostAccessibilityGranted;
    if (allowedBefore && !canSendInput()) resetGestureAndKeyState();
}

void RemoteInputEngine::updateViewportSize(double width, double height) {
    if (!(width > 0 && height > 0)) return;
    viewportSize_ = {width, height};
    lastDirectHoverViewPoint_.reset();
}

void RemoteInputEngine::updateRemoteDisplaySize(std::int64_t width, std::int64_t height) {
    if (width < 1 || height < 1) return;
    remoteDisplaySize_ = {static_cast<double>(width), static_cast<double>(height)};
    lastDirectHoverViewPoint_.reset();
}

void RemoteInputEngine::releaseAllInput() {
    if (canSendInput()) {
        if (!activeButtonDown_) {
            if (activeTouchDrag_ || touchDragLocked_) {
                emit(InputEvent::pointerDrag(MouseButton::primary, cursorPosition_.x, cursorPosition_.y,
                                             DragPhase::cancelled));
                emit(InputEvent::mouseButton(MouseButton::primary, false, 1));
            }
        } else {
            const ButtonDown press = *activeButtonDown_;
            if (press.isDragging) {
                emit(InputEvent::pointerDrag(press.button, cursorPosition_.x, cursorPosition_.y, DragPhase::cancelled));
            }
            emit(InputEvent::mouseButton(press.button, false, press.clickCount));
        }
        // A copy: a handler may re-enter the engine.
        const auto pressed = pressedHardwareKeys_;
        for (const auto& [usage, keyCode] : pressed) emit(InputEvent::key(keyCode, false, KeyModifiers{}));
        if (!stickyModifiers_.isEmpty() || !activeHardwareModifiers_.isEmpty()) {
            emit(InputEvent::modifierChange(KeyModifiers{}));
        }
        if (activeMarkedText_) emit(InputEvent::textComposition(CompositionEvent::cancelled()));
    }
    resetGestureAndKeyState();
}

void RemoteInputEngine::resetForSessionEnd() {
    isSessionAuthenticated_ = false;
    grantedPermissions_ = DevicePermissions{};
    resetGestureAndKeyState();
}

void RemoteInputEngine::setTouchDragLocked(bool locked) {
    if (locked == touchDragLocked_) return;
    if (locked) {
        if (!canSendInput()) return;
        touchDragLocked_ = true;
        activeTouchDrag_ = false;
        emit(InputEvent::mouseButton(MouseButton::primary, true, 1));
        return;
    }
    const bool dragWasActive = activeTouchDrag_;
    touchDragLocked_ = false;
    activeTouchDrag_ = false;
    if (!canSendInput()) return;
    if (dragWasActive) {
        emit(InputEvent::pointerDrag(MouseButton::primary, cursorPosition_.x, cursorPosition_.y, DragPhase::ended));
    }
    emit(InputEvent::mouseButton(MouseButton::primary, false, 1));
}

// ---- direct pointer ------------------------------------------------------------------------

void RemoteInputEngine::handleDirectHover(Point2D viewPoint) {
    if (!canSendInput()) return;
    std::optional<Point2D> position;
    if (isExactMapping() || !lastDirectHoverViewPoint_) {
        position = mapped(viewPoint);
        if (!position) return;
        lastDirectHoverViewPoint_ = viewPoint;
    } else {
        const Point2D reference = *lastDirectHoverViewPoint_;
        lastDirectHoverViewPoint_ = viewPoint;
        position = movedBy({viewPoint.x - reference.x, viewPoint.y - reference.y});
        if (!position) return;
    }
    cursorPosition_ = *position;
    emit(InputEvent::pointerMove(cursorPosition_.x, cursorPosition_.y));
}

void RemoteInputEngine::handleDirectButtonDown(MouseButton button, Point2D viewPoint, double time) {
    if (!canSendInput()) return;
    const std::optional<Point2D> position = mapped(viewPoint);
    if (!position) return;
    if (isExactMapping()) cursorPosition_ = *position;
    lastDirectHoverViewPoint_ = viewPoint;
    const std::int64_t count = registerClick(button, cursorPosition_, time);
    activeButtonDown_ = ButtonDown{button, viewPoint, count, false};
    emit(InputEvent::pointerMove(cursorPosition_.x, cursorPosition_.y));
    emit(InputEvent::mouseButton(button, true, count));
}

void RemoteInputEngine::handleDirectButtonDrag(Point2D viewPoint) {
    if (!canSendInput() || !activeButtonDown_) return;
    if (!activeButtonDown_->isDragging && distance(activeButtonDown_->downPoint, viewPoint) < dragActivationThreshold_) {
        return;
    }
    std::optional<Point2D> position;
    if (isExactMapping()) {
        position = clampedMapped(viewPoint);
    } else if (lastDirectHoverViewPoint_) {
        position = movedBy({viewPoint.x - lastDirectHoverViewPoint_->x, viewPoint.y - lastDirectHoverViewPoint_->y});
    } else {
        position = cursorPosition_;
    }
    lastDirectHoverViewPoint_ = viewPoint;
    if (!position) return;
    cursorPosition_ = *position;
    const bool first = !activeButtonDown_->isDragging;
    activeButtonDown_->isDragging = true;
    emit(InputEvent::pointerDrag(activeButtonDown_->button, cursorPosition_.x, cursorPosition_.y,
                                 first ? DragPhase::began : DragPhase::changed));
}

void RemoteInputEngine::handleDirectButtonUp(MouseButton button, Point2D viewPoint) {
    if (!canSendInput()) {
        activeButtonDown_.reset();
        return;
    }
    if (!activeButtonDown_ || activeButtonDown_->button != button) {
        emit(InputEvent::mouseButton(button, false, 1));
        return;
    }
    const ButtonDown press = *activeButtonDown_;
    if (press.isDragging) {
        if (isExactMapping()) {
            if (auto position = clampedMapped(viewPoint)) cursorPosition_ = *position;
        }
        emit(InputEvent::pointerDrag(button, cursorPosition_.x, cursorPosition_.y, DragPhase::ended));
    }
    activeButtonDown_.reset();
    emit(InputEvent::mouseButton(button, false, press.clickCount));
    stickyRelease();
}

void RemoteInputEngine::performClick(MouseButton button, double time, std::optional<Point2D> viewPoint,
                                     std::int64_t minimumClickCount) {
    if (!canSendInput()) return;
    if (viewPoint && isExactMapping()) {
        if (auto position = mapped(*viewPoint)) {
            cursorPosition_ = *position;
            emit(InputEvent::pointerMove(cursorPosition_.x, cursorPosition_.y));
        }
    }
    emitClick(button, std::max(registerClick(button, cursorPosition_, time), minimumClickCount));
}

// ---- touch ---------------------------------------------------------------------------------

void RemoteInputEngine::handleTouchMove(double deltaX, double deltaY) {
    if (!canSendInput()) return;
    const std::optional<Point2D> position = movedBy({deltaX, deltaY});
    if (!position) return;
    cursorPosition_ = *position;
    if (touchDragLocked_) {
        const bool first = !activeTouchDrag_;
        activeTouchDrag_ = true;
        emit(InputEvent::pointerDrag(MouseButton::primary, cursorPosition_.x, cursorPosition_.y,
                                     first ? DragPhase::began : DragPhase::changed));
    } else {
        emit(InputEvent::pointerMove(cursorPosition_.x, cursorPosition_.y));
    }
}

void RemoteInputEngine::handleTap(std::int64_t tapCount, double time) {
    if (!canSendInput() || !preferences_.tapToClickEnabled) return;
    if (touchDragLocked_) {
        setTouchDragLocked(false);
        return;
    }
    std::int64_t count = 0;
    if (tapCount >= 2) {
        count = tapCount;
        lastClickInfo_ = ClickInfo{MouseButton::primary, time, cursorPosition_, tapCount};
    } else {
        count = registerClick(MouseButton::primary, cursorPosition_, time);
    }
    emitClick(MouseButton::primary, count);
}

void RemoteInputEngine::handleSecondaryTap() {
    if (!canSendInput()) return;
    if (touchDragLocked_) setTouchDragLocked(false);
    emitClick(MouseButton::secondary, 1);
}

void RemoteInputEngine::handleTouchDrag(DragPhase phase, double deltaX, double deltaY) {
    if (!canSendInput()) return;
    switch (phase) {
    case DragPhase::began:
        activeTouchDrag_ = true;
        emit(InputEvent::mouseButton(MouseButton::primary, true, 1));
        if (auto position = movedBy({deltaX, deltaY})) cursorPosition_ = *position;
        emit(InputEvent::pointerDrag(MouseButton::primary, cursorPosition_.x, cursorPosition_.y, DragPhase::began));
        return;
    case DragPhase::changed:
        if (!activeTouchDrag_) return;
        if (auto position = movedBy({deltaX, deltaY})) cursorPosition_ = *position;
        emit(InputEvent::pointerDrag(MouseButton::primary, cursorPosition_.x, cursorPosition_.y, DragPhase::changed));
        return;
    case DragPhase::ended:
    case DragPhase::cancelled:
        if (!activeTouchDrag_) return;
        activeTouchDrag_ = false;
        emit(InputEvent::pointerDrag(MouseButton::primary, cursorPosition_.x, cursorPosition_.y, phase));
        emit(InputEvent::mouseButton(MouseButton::primary, false, 1));
        stickyRelease();
        return;
    }
}

void RemoteInputEngine::handleScroll(ScrollPhase phase, ScrollSourceKind source, double deltaX, double deltaY) {
    if (!canSendInput()) return;
    const double multiplier = source == ScrollSourceKind::discreteWheel ? kDiscreteWheelMultiplier : 1;
    const double sign = preferences_.naturalScrollingEnabled ? 1 : -1;
    emit(InputEvent::scroll(deltaX * multiplier * sign, deltaY * multiplier * sign, phase));
}

// ---- common steps --------------------------------------------------------------------------

void RemoteInputEngine::emit(InputEvent event) {
    if (canSendInput() && onEmit_) onEmit_(event);
}

bool RemoteInputEngine::isExactMapping() const {
    return std::abs(preferences_.pointerSensitivity - 1.0) < kExactMappingTolerance;
}

std::optional<Point2D> RemoteInputEngine::mapped(Point2D viewPoint) const {
    try {
        return InputCoordinateMapper::normalizedPoint(viewPoint, viewportSize_, remoteDisplaySize_);
    } catch (const CoordinateMappingError&) {
        return std::nullopt;
    }
}

std::optional<Point2D> RemoteInputEngine::clampedMapped(Point2D viewPoint) const {
    try {
        return InputCoordinateMapper::clampedNormalizedPoint(viewPoint, viewportSize_, remoteDisplaySize_);
    } catch (const CoordinateMappingError&) {
        return std::nullopt;
    }
}

std::optional<Point2D> RemoteInputEngine::movedBy(Point2D delta) const {
    try {
        return InputCoordinateMapper::relativeMove(cursorPosition_, delta, viewportSize_, remoteDisplaySize_,
                                                   preferences_.pointerSensitivity);
    } catch (const CoordinateMappingError&) {
        return std::nullopt;
    }
}

std::int64_t RemoteInputEngine::registerClick(MouseButton button, Point2D point, double time) {
    std::int64_t count = 1;
    if (lastClickInfo_ && lastClickInfo_->button == button && lastClickInfo_->time <= time &&
        time - lastClickInfo_->time <= doubleClickInterval_ &&
        distance(lastClickInfo_->point, point) <= doubleClickMaxDistance_) {
        // A tap's count is not capped: adding to it must not overflow.
        count = std::min(lastClickInfo_->count, kMaximumClickCount - 1) + 1;
    }
    lastClickInfo_ = ClickInfo{button, time, point, count};
    return count;
}

void RemoteInputEngine::emitClick(MouseButton button, std::int64_t count) {
    emit(InputEvent::mouseButton(button, true, count));
    emit(InputEvent::mouseButton(button, false, count));
    stickyRelease();
}

void RemoteInputEngine::stickyRelease() {
    if (stickyModifiers_.isEmpty()) return;
    stickyModifiers_ = KeyModifiers{};
    emit(InputEvent::modifierChange(activeHardwareModifiers_));
}

void RemoteInputEngine::resetGestureAndKeyState() {
    lastDirectHoverViewPoint_.reset();
    activeButtonDown_.reset();
    lastClickInfo_.reset();
    activeTouchDrag_ = false;
    touchDragLocked_ = false;
    pressedHardwareKeys_.clear();
    suppressedCharactersWhileKeyHeld_.clear();
    activeHardwareModifiers_ = KeyModifiers{};
    stickyModifiers_ = KeyModifiers{};
    activeMarkedText_.reset();
}

} // namespace velorinth
