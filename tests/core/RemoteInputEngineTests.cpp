// The tablet-side engine's gating, pointer, gestures and scrolling.

#include "RemoteInputEngineTestSupport.hpp"

#include <limits>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

constexpr auto kPrimary = MouseButton::primary;
constexpr auto kSecondary = MouseButton::secondary;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

TEST(RemoteInputEngine, EmitsNothingUntilEveryConditionHoldsAndSaysWhyInOrder) {
    EngineRig r(preferences(), false);
    r.engine.performClick(kPrimary, 1, std::nullopt, 1);
    EXPECT_TRUE(r.take().empty());
    struct Row {
        bool authenticated;
        DevicePermissions permissions;
        bool accessibility;
        std::optional<RemoteInputBlockReason> reason;
    };
    const std::vector<Row> rows{
        {false, DevicePermissions::all, true, RemoteInputBlockReason::unauthenticatedSession},
        {false, DevicePermissions{}, false, RemoteInputBlockReason::unauthenticatedSession},
        {true, DevicePermissions{0x03}, false, RemoteInputBlockReason::remoteControlPermissionDenied},
        {true, DevicePermissions::all, false, RemoteInputBlockReason::hostAccessibilityUnavailable},
        {true, DevicePermissions::remoteControl, true, std::nullopt},
    };
    EXPECT_EQ(r.engine.blockReason(), RemoteInputBlockReason::unauthenticatedSession);
    for (const Row& row : rows) {
        r.engine.updateSessionState(row.authenticated, row.permissions, row.accessibility);
        EXPECT_EQ(r.engine.blockReason(), row.reason);
        EXPECT_EQ(r.engine.canSendInput(), !row.reason);
    }
    r.engine.performClick(kPrimary, 1, std::nullopt, 1);
    EXPECT_EQ(r.take(), (std::vector{down(kPrimary, 1), up(kPrimary, 1)}));
}

TEST(RemoteInputEngine, ClicksCountUpToThreeWithinTheIntervalAndDistance) {
    EngineRig r;
    struct Row {
        MouseButton button;
        double time;
        Point2D viewPoint;
        std::int64_t count;
    };
    const std::vector<Row> rows{
        {kPrimary, 1.0, {50, 50}, 1},   {kPrimary, 1.2, {50, 50}, 2},   {kPrimary, 1.4, {50, 50}, 3},
        {kPrimary, 1.6, {50, 50}, 3},   {kSecondary, 1.7, {50, 50}, 1}, {kPrimary, 1.8, {50, 50}, 1},
        {kPrimary, 2.2, {50, 50}, 1},   // after the interval
        {kPrimary, 2.3, {60, 50}, 1},   // too far: 0.1 of the display
        {kPrimary, 2.2, {60, 50}, 1},   // an earlier time never continues a click
        {kPrimary, kNaN, {60, 50}, 1},
    };
    for (const Row& row : rows) {
        r.engine.handleDirectButtonDown(row.button, row.viewPoint, row.time);
        r.engine.handleDirectButtonUp(row.button, row.viewPoint);
        const auto events = r.take();
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[1], down(row.button, row.count)) << row.time;
        EXPECT_EQ(events[2], up(row.button, row.count)) << row.time;
    }
    // A tap's count is taken as it is, and a click after it stays at most 3.
    r.engine.handleTap(std::numeric_limits<std::int64_t>::max(), 5.0);
    EXPECT_EQ(r.take()[0], down(kPrimary, std::numeric_limits<std::int64_t>::max()));
    r.engine.performClick(kPrimary, 5.1, std::nullopt, 1);
    EXPECT_EQ(r.take()[0], down(kPrimary, 3));
    r.engine.performClick(kPrimary, 9.0, std::nullopt, 2);
    EXPECT_EQ(r.take()[0], down(kPrimary, 2));
}

TEST(RemoteInputEngine, APressDragsOnlyPastTheThreshold) {
    EngineRig r;
    r.engine.handleDirectButtonDown(kPrimary, {50, 50}, 1);
    r.engine.handleDirectButtonDrag({53, 53}); // 4.2 points: not yet
    r.engine.handleDirectButtonUp(kPrimary, {53, 53});
    EXPECT_EQ(r.take(), (std::vector{E::pointerMove(0.5, 0.5), down(kPrimary, 1), up(kPrimary, 1)}));

    r.engine.handleDirectButtonDown(kSecondary, {50, 50}, 2);
    r.engine.handleDirectButtonDrag({56, 50});
    r.engine.handleDirectButtonDrag({57, 50}); // once dragging, every move counts
    r.engine.handleDirectButtonUp(kPrimary, {57, 50}); // another button: its up alone, the press stays
    r.engine.handleDirectButtonUp(kSecondary, {200, 50}); // beyond the view: the edge
    EXPECT_EQ(r.take(), (std::vector{E::pointerMove(0.5, 0.5), down(kSecondary, 1),
                                     E::pointerDrag(kSecondary, 0.56, 0.5, DragPhase::began),
                                     E::pointerDrag(kSecondary, 0.57, 0.5, DragPhase::changed), up(kPrimary, 1),
                                     E::pointerDrag(kSecondary, 1, 0.5, DragPhase::ended), up(kSecondary, 1)}));
}

TEST(RemoteInputEngine, RelativeHoverMovesBySensitivityAndMapsExactlyAfterASizeChange) {
    EngineRig r(preferences(2.0));
    r.engine.handleDirectHover({50, 50}); // the first hover maps exactly
    r.engine.handleDirectHover({60, 50});
    auto events = r.take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], E::pointerMove(0.5, 0.5));
    EXPECT_DOUBLE_EQ(events[1].get<E::PointerMove>()->normalizedX, 0.7);
    r.engine.updateViewportSize(200, 100);
    r.engine.handleDirectHover({150, 50}); // content 100 wide from x 50
    EXPECT_EQ(r.take(), std::vector{E::pointerMove(1, 0.5)});
    // Sizes that are not above zero are ignored.
    r.engine.updateViewportSize(0, 100);
    r.engine.updateViewportSize(kNaN, 100);
    r.engine.updateRemoteDisplaySize(0, 5);
    EXPECT_EQ(r.engine.viewportSize(), (Size2D{200, 100}));
    EXPECT_EQ(r.engine.remoteDisplaySize(), (Size2D{1000, 1000}));
}

TEST(RemoteInputEngine, ScrollsTakeTheWheelMultiplierAndTheNaturalSign) {
    EngineRig natural(preferences(1, true));
    EngineRig reversed(preferences(1, false));
    reversed.engine.handleScroll(ScrollPhase::changed, ScrollSourceKind::discreteWheel, 2, 1);
    natural.engine.handleScroll(ScrollPhase::momentum, ScrollSourceKind::continuous, 2.5, -1);
    EXPECT_EQ(reversed.take(), std::vector{E::scroll(-24, -12, ScrollPhase::changed)});
    EXPECT_EQ(natural.take(), std::vector{E::scroll(2.5, -1, ScrollPhase::momentum)});
}

TEST(RemoteInputEngine, TapsClickOnlyWithTapToClickAndFirstReleaseTheLock) {
    EngineRig off(preferences(1, true, false));
    off.engine.handleTap(1, 1);
    EXPECT_TRUE(off.take().empty());
    off.engine.handleSecondaryTap(); // works either way
    EXPECT_EQ(off.take(), (std::vector{down(kSecondary, 1), up(kSecondary, 1)}));

    EngineRig r;
    r.engine.handleTap(2, 1);
    EXPECT_EQ(r.take(), (std::vector{down(kPrimary, 2), up(kPrimary, 2)}));
    r.engine.setTouchDragLocked(true);
    r.engine.handleTap(1, 2); // only releases the lock (it never moved)
    EXPECT_EQ(r.take(), (std::vector{down(kPrimary, 1), up(kPrimary, 1)}));
    r.engine.setTouchDragLocked(true);
    r.engine.handleTouchMove(10, 0);
    r.engine.handleTouchMove(10, 0);
    r.engine.handleTap(1, 3);
    EXPECT_EQ(r.take(), (std::vector{down(kPrimary, 1), E::pointerDrag(kPrimary, 0.6, 0.5, DragPhase::began),
                                     E::pointerDrag(kPrimary, 0.7, 0.5, DragPhase::changed),
                                     E::pointerDrag(kPrimary, 0.7, 0.5, DragPhase::ended), up(kPrimary, 1)}));
    // Switching to the direct pointer releases a lock too.
    r.engine.setTouchDragLocked(true);
    r.engine.setPreferences(preferences(9, true, true, false, InputInteractionMode::directPointer));
    EXPECT_EQ(r.take(), (std::vector{down(kPrimary, 1), up(kPrimary, 1)}));
    EXPECT_FALSE(r.engine.touchDragLocked());
    EXPECT_EQ(r.engine.preferences().pointerSensitivity, 2.5);
}

TEST(RemoteInputEngine, ATouchDragPressesMovesAndReleasesThePrimaryButton) {
    EngineRig r;
    r.engine.handleTouchDrag(DragPhase::changed, 10, 0); // nothing began
    r.engine.handleTouchDrag(DragPhase::began, 10, 0);
    r.engine.handleTouchDrag(DragPhase::changed, 0, 10);
    r.engine.handleTouchDrag(DragPhase::cancelled, 0, 0);
    r.engine.handleTouchDrag(DragPhase::ended, 0, 0); // already over
    EXPECT_EQ(r.take(), (std::vector{down(kPrimary, 1), E::pointerDrag(kPrimary, 0.6, 0.5, DragPhase::began),
                                     E::pointerDrag(kPrimary, 0.6, 0.6, DragPhase::changed),
                                     E::pointerDrag(kPrimary, 0.6, 0.6, DragPhase::cancelled), up(kPrimary, 1)}));
}

TEST(RemoteInputEngine, ReleaseAllInputLetsGoInOrderThenResets) {
    EngineRig r;
    r.engine.setTouchDragLocked(true);
    r.engine.handleTouchMove(10, 0);
    r.engine.handleHardwareKeyDown({0x06, "c", "c", M::command}, false);
    r.engine.toggleStickyModifier(M::shift);
    r.engine.setMarkedText("ka", 2, 0);
    r.take();
    r.engine.releaseAllInput();
    EXPECT_EQ(r.take(), (std::vector{E::pointerDrag(kPrimary, 0.6, 0.5, DragPhase::cancelled), up(kPrimary, 1),
                                     E::key(8, false, M{}), E::modifierChange(M{}),
                                     E::textComposition(CompositionEvent::cancelled())}));
    EXPECT_FALSE(r.engine.touchDragLocked());
    EXPECT_EQ(r.engine.effectiveModifiers(), M{});
    EXPECT_FALSE(r.engine.activeMarkedText());
    r.engine.releaseAllInput();
    EXPECT_TRUE(r.take().empty());
    EXPECT_EQ(r.engine.cursorPosition(), (Point2D{0.6, 0.5})); // kept

    // A direct press in progress is let go with its count.
    r.engine.handleDirectButtonDown(kSecondary, {50, 50}, 1);
    r.engine.handleDirectButtonDrag({70, 50});
    r.take();
    r.engine.releaseAllInput();
    EXPECT_EQ(r.take(), (std::vector{E::pointerDrag(kSecondary, 0.7, 0.5, DragPhase::cancelled), up(kSecondary, 1)}));
}

TEST(RemoteInputEngine, LosingTheRightToSendResetsSilently) {
    for (int lose = 0; lose < 4; ++lose) {
        EngineRig r;
        r.engine.handleDirectButtonDown(kPrimary, {50, 50}, 1);
        r.engine.handleDirectButtonDrag({70, 50});
        r.engine.handleHardwareKeyDown({0xE1, std::nullopt, std::nullopt, M::shift}, false);
        r.take();
        if (lose == 0) r.engine.updateSessionState(true, DevicePermissions{0x03}, true);
        if (lose == 1) r.engine.updateSessionState(false, DevicePermissions::all, true);
        if (lose == 2) r.engine.updateSessionState(true, DevicePermissions::all, false);
        if (lose == 3) r.engine.resetForSessionEnd();
        r.engine.handleDirectButtonUp(kPrimary, {70, 50});
        EXPECT_TRUE(r.take().empty()) << lose;
        EXPECT_EQ(r.engine.activeHardwareModifiers(), M{});
        r.engine.updateSessionState(true, DevicePermissions::all, true);
        r.engine.releaseAllInput(); // nothing was left
        EXPECT_TRUE(r.take().empty()) << lose;
    }
}

TEST(RemoteInputEngine, AClickReleasesStickyModifiersButAScrollDoesNot) {
    EngineRig r;
    r.engine.handleHardwareKeyDown({0xE0, std::nullopt, std::nullopt, M::control}, false);
    r.engine.toggleStickyModifier(M::command);
    r.take();
    r.engine.handleScroll(ScrollPhase::changed, ScrollSourceKind::continuous, 1, 1);
    r.engine.handleTouchMove(1, 0);
    r.take();
    EXPECT_EQ(r.engine.stickyModifiers(), M::command);
    r.engine.handleSecondaryTap();
    EXPECT_EQ(r.take(), (std::vector{down(kSecondary, 1), up(kSecondary, 1), E::modifierChange(M::control)}));
}

// A point or delta that is not a number must not become the cursor.
TEST(RemoteInputEngine, NonFiniteInputLeavesTheCursorWhereItWas) {
    EngineRig relative(preferences(2.0));
    relative.engine.handleDirectHover({50, 50});
    relative.engine.handleDirectHover({kNaN, 50});
    relative.engine.handleDirectHover({60, 50});
    relative.engine.handleTouchMove(kNaN, std::numeric_limits<double>::infinity());
    relative.engine.handleDirectButtonDown(kPrimary, {kNaN, 0}, 1);
    relative.engine.performClick(kPrimary, 2, Point2D{kNaN, kNaN}, 1);
    for (const InputEvent& event : relative.take()) {
        EXPECT_NO_THROW(json::encode(event)) << event.caseName();
    }
    EXPECT_TRUE(std::isfinite(relative.engine.cursorPosition().x));
    EXPECT_TRUE(std::isfinite(relative.engine.cursorPosition().y));

    EngineRig exact;
    exact.engine.handleDirectButtonDown(kPrimary, {50, 50}, 1);
    exact.engine.handleDirectButtonDrag({kNaN, 50});
    exact.engine.handleDirectButtonUp(kPrimary, {kNaN, kNaN});
    EXPECT_EQ(exact.take(), (std::vector{E::pointerMove(0.5, 0.5), down(kPrimary, 1), up(kPrimary, 1)}));
    EXPECT_EQ(exact.engine.cursorPosition(), (Point2D{0.5, 0.5}));
}
