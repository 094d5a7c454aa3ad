// The injector against the recording sink: each event's records as the
// platform's tables give them, the held state, and its release.

#include "host/input/InputInjector.hpp"
#include "support/LoopRunner.hpp"
#include "support/RecordingInputEventSink.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;
using Type = InputEventType;
using Case = InputInjectorError::Case;

namespace {

const ContentRect2D kBounds{{100, 50}, {1000, 500}};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Fixture {
    std::shared_ptr<RecordingInputEventSink> sink = std::make_shared<RecordingInputEventSink>();
    InputInjector injector{sink};

    std::vector<InputEventRecord> inject(const InputEvent& event) {
        injector.inject(event, kBounds);
        return sink->take();
    }
    Case failure(const InputEvent& event) {
        return thrown<InputInjectorError>([&] { injector.inject(event, kBounds); }).kind;
    }
};

} // namespace

TEST(InputInjector, NormalisedCoordinatesMapIntoTheBoundsAndOutOfRangeChangesNothing) {
    struct Row {
        double x, y;
        std::optional<Point2D> point;
    };
    const std::vector<Row> rows{
        {0, 0, Point2D{100, 50}},      {1, 1, Point2D{1100, 550}},    {-0.0, 0.5, Point2D{100, 300}},
        {1.0000001, 0.5, std::nullopt}, {0.5, -0.1, std::nullopt},    {kNaN, 0.5, std::nullopt},
        {0.5, kNaN, std::nullopt},     {-std::numeric_limits<double>::infinity(), 0, std::nullopt},
    };
    for (const Row& row : rows) {
        for (bool drag : {false, true}) {
            Fixture f;
            f.inject(InputEvent::pointerMove(0.25, 0.25));
            const InputInjector::HeldState before = f.injector.heldState();
            const InputEvent event = drag ? InputEvent::pointerDrag(MouseButton::secondary, row.x, row.y, DragPhase::began)
                                          : InputEvent::pointerMove(row.x, row.y);
            if (!row.point) {
                EXPECT_EQ(f.failure(event), Case::invalidCoordinate) << row.x << "," << row.y;
                EXPECT_TRUE(f.sink->take().empty());
                EXPECT_EQ(f.injector.heldState(), before);
                continue;
            }
            const auto records = f.inject(event);
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].location, *row.point);
            EXPECT_EQ(records[0].type, drag ? Type::rightMouseDragged : Type::mouseMoved);
            EXPECT_EQ(f.injector.heldState().lastCursorPoint, row.point);
        }
    }
    EXPECT_STREQ(InputInjectorError(Case::invalidCoordinate).what(), "invalidCoordinate");
}

TEST(InputInjector, ButtonsCarryClickStateAndTheirPlatformNumbers) {
    struct Row {
        MouseButton button;
        bool down;
        std::int64_t clickCount;
        Type type;
        std::uint32_t number;
        std::int64_t clickState;
    };
    const std::vector<Row> rows{
        {MouseButton::primary, true, 0, Type::leftMouseDown, 0, 1},
        {MouseButton::primary, true, -7, Type::leftMouseDown, 0, 1},
        {MouseButton::primary, false, 1, Type::leftMouseUp, 0, 1},
        {MouseButton::secondary, true, 2, Type::rightMouseDown, 1, 2},
        {MouseButton::secondary, false, 3, Type::rightMouseUp, 1, 3},
        {MouseButton::middle, true, 3, Type::otherMouseDown, 2, 3},
        {MouseButton::middle, false, 1'000'000'000'000, Type::otherMouseUp, 2, 1'000'000'000'000},
    };
    for (const Row& row : rows) {
        Fixture f;
        f.inject(InputEvent::modifierChange(KeyModifiers::shift | KeyModifiers::capsLock));
        f.inject(InputEvent::pointerMove(0.5, 0.5));
        const auto records = f.inject(InputEvent::mouseButton(row.button, row.down, row.clickCount));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].type, row.type);
        EXPECT_EQ(records[0].location, (Point2D{600, 300}));
        EXPECT_EQ(records[0].mouseButton, row.number);
        EXPECT_EQ(records[0].buttonNumber, row.number);
        EXPECT_EQ(records[0].clickState, row.clickState);
        EXPECT_EQ(records[0].flags, InputEventFlags::shift | InputEventFlags::capsLock);
        EXPECT_EQ(f.injector.heldState().heldMouseButtons.contains(row.button), row.down);
    }
}

TEST(InputInjector, AButtonBeforeAnyMoveGoesToThePointerElseTheCentreAndMovesNothing) {
    Fixture f;
    f.sink->setPointerLocation(Point2D{7, 9});
    EXPECT_EQ(f.inject(InputEvent::mouseButton(MouseButton::primary, true, 1))[0].location, (Point2D{7, 9}));
    f.sink->setPointerLocation(std::nullopt);
    EXPECT_EQ(f.inject(InputEvent::mouseButton(MouseButton::primary, false, 1))[0].location, (Point2D{600, 300}));
    EXPECT_FALSE(f.injector.heldState().lastCursorPoint);
}

TEST(InputInjector, AMoveWhileAButtonIsHeldDragsTheLowestHeldButton) {
    Fixture f;
    f.inject(InputEvent::mouseButton(MouseButton::middle, true, 1));
    f.inject(InputEvent::mouseButton(MouseButton::secondary, true, 1));
    auto records = f.inject(InputEvent::pointerMove(0.5, 0.5));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, Type::rightMouseDragged);
    EXPECT_EQ(records[0].buttonNumber, 1);
    EXPECT_FALSE(records[0].clickState);
    f.inject(InputEvent::mouseButton(MouseButton::secondary, false, 1));
    EXPECT_EQ(f.inject(InputEvent::pointerMove(0.5, 0.5))[0].type, Type::otherMouseDragged);
    f.inject(InputEvent::mouseButton(MouseButton::middle, false, 1));
    EXPECT_EQ(f.inject(InputEvent::pointerMove(0.5, 0.5))[0].type, Type::mouseMoved);
}

TEST(InputInjector, ADragKeepsItsButtonHeldUntilAnUpIsPostedEvenWhenCancelled) {
    for (DragPhase end : {DragPhase::ended, DragPhase::cancelled}) {
        Fixture f;
        f.inject(InputEvent::pointerDrag(MouseButton::primary, 0.1, 0.1, DragPhase::began));
        f.inject(InputEvent::pointerDrag(MouseButton::primary, 0.2, 0.2, DragPhase::changed));
        const auto records = f.inject(InputEvent::pointerDrag(MouseButton::primary, 0.3, 0.3, end));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].type, Type::leftMouseDragged);
        // Were the link lost before the button's up, release-all still frees it.
        EXPECT_EQ(f.injector.heldState().heldMouseButtons, std::set<MouseButton>{MouseButton::primary});
        f.injector.releaseAllHeld();
        const auto released = f.sink->take();
        ASSERT_EQ(released.size(), 1u);
        EXPECT_EQ(released[0].type, Type::leftMouseUp);
        EXPECT_EQ(released[0].location, (Point2D{400, 200}));
    }
}

TEST(InputInjector, ScrollsRoundHalvesAwayFromZeroAndClampToTheWheelRange) {
    struct Row {
        double deltaX, deltaY;
        ScrollPhase phase;
        std::int32_t wheel1, wheel2;
        std::int64_t phaseField;
    };
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    const std::vector<Row> rows{
        {0.5, -2.5, ScrollPhase::began, -3, 1, 1},
        {-0.5, 2.4, ScrollPhase::changed, 2, -1, 2},
        {0, 0, ScrollPhase::ended, 0, 0, 4},
        {3, 4, ScrollPhase::momentum, 4, 3, 0},
        {0, 1, ScrollPhase::cancelled, 1, 0, 8},
        {1e300, -1e300, ScrollPhase::changed, kMin, kMax, 2},
        {-std::numeric_limits<double>::infinity(), 2147483647.6, ScrollPhase::changed, kMax, kMin, 2},
    };
    for (const Row& row : rows) {
        Fixture f;
        const auto records = f.inject(InputEvent::scroll(row.deltaX, row.deltaY, row.phase));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].type, Type::scrollWheel);
        EXPECT_EQ(records[0].scrollWheel1, row.wheel1) << row.deltaY;
        EXPECT_EQ(records[0].scrollWheel2, row.wheel2) << row.deltaX;
        EXPECT_EQ(records[0].scrollContinuous, 1);
        EXPECT_EQ(records[0].scrollPhase, row.phaseField);
    }
    Fixture f;
    EXPECT_TRUE(f.inject(InputEvent::scroll(kNaN, 1, ScrollPhase::changed)).empty());
}

TEST(InputInjector, AModifierChangeNamesTheFirstChangedKey) {
    struct Row {
        KeyModifiers before, after;
        std::uint16_t keyCode;
        bool down;
    };
    using M = KeyModifiers;
    const std::vector<Row> rows{
        {M{}, M::command | M::shift, 55, true}, // one event for both
        {M::shift, M::shift, 55, false},         // nothing changed: a key-up for 55
        {M{}, M::shift, 56, true},
        {M::shift, M{}, 56, false},
        {M::command, M::command | M::option, 58, true},
        {M::control, M::option, 58, true}, // option went down, control up: option comes first
        {M::control, M{}, 59, false},
        {M{}, M::capsLock, 57, true},
    };
    for (const Row& row : rows) {
        Fixture f;
        f.inject(InputEvent::modifierChange(row.before));
        const auto records = f.inject(InputEvent::modifierChange(row.after));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].type, Type::flagsChanged);
        EXPECT_EQ(records[0].keyCode, row.keyCode);
        EXPECT_EQ(records[0].keyDown, row.down);
        EXPECT_EQ(records[0].flags, eventFlags(row.after));
        EXPECT_TRUE(f.injector.heldState().heldKeyCodes.empty());
    }
    EXPECT_EQ(eventFlags(KeyModifiers::shift | KeyModifiers::control | KeyModifiers::option | KeyModifiers::command |
                         KeyModifiers::capsLock),
              0x1F0000u);
}

TEST(InputInjector, TextGoesInChunksOfSixteenUnitsNeverSplittingACharacter) {
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D"
                               "\xF0\x9F\x91\xA6\xF0\x9F\x8F\xBD\xF0\x9F\x8F\xBD"; // ZWJ sequence and two modifiers: one cluster
    struct Row {
        std::string text;
        std::vector<std::size_t> chunks; // units per chunk
    };
    const std::vector<Row> rows{
        {std::string(17, 'a'), {16, 1}},
        {std::string(16, 'a'), {16}},
        {"", {}},
        {std::string(15, 'a') + "e\xCC\x81", {15, 2}}, // e and a combining acute stay together
        {"ab" + family, {2, 15}},
        {"ab" + family + family + "c", {2, 15, 16}},
    };
    for (const Row& row : rows) {
        Fixture f;
        f.inject(InputEvent::modifierChange(KeyModifiers::command));
        const auto records = f.inject(InputEvent::text(row.text));
        ASSERT_EQ(records.size(), row.chunks.size() * 2) << row.text;
        for (std::size_t i = 0; i < row.chunks.size(); ++i) {
            const InputEventRecord& down = records[2 * i];
            const InputEventRecord& up = records[2 * i + 1];
            EXPECT_EQ(down.type, Type::keyDown);
            EXPECT_EQ(up.type, Type::keyUp);
            EXPECT_EQ(down.keyCode, 0);
            EXPECT_EQ(down.flags, 0u);
            EXPECT_EQ(down.unicodeString.size(), row.chunks[i]) << row.text << " chunk " << i;
            EXPECT_EQ(up.unicodeString, down.unicodeString);
        }
        EXPECT_EQ(f.injector.heldState().currentModifiers, KeyModifiers::command);
    }
    // A cluster longer than a chunk goes out alone, whole.
    Fixture f;
    std::string long20 = "a";
    for (int i = 0; i < 19; ++i) long20 += "\xCC\x81"; // a base and 19 combining marks: 20 units
    const auto records = f.inject(InputEvent::text("x" + long20 + "y"));
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[2].unicodeString.size(), 20u);
    // Malformed bytes from a local caller become U+FFFD.
    EXPECT_EQ(f.inject(InputEvent::text("a\xFF"))[0].unicodeString, u"a\uFFFD");
}

TEST(InputInjector, OnlyACommittedCompositionTypesText) {
    Fixture f;
    EXPECT_TRUE(f.inject(InputEvent::textComposition(CompositionEvent::updated("ni", 0, 2))).empty());
    EXPECT_TRUE(f.inject(InputEvent::textComposition(CompositionEvent::cancelled())).empty());
    const auto records = f.inject(InputEvent::textComposition(CompositionEvent::committed("\xE4\xBD\xA0")));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].unicodeString, u"\u4F60");
    EXPECT_EQ(f.injector.heldState(), InputInjector::HeldState{});
}

TEST(InputInjector, SystemActionsPostTheirChordWithTheirOwnFlags) {
    const std::uint64_t control = InputEventFlags::control, command = InputEventFlags::command;
    const std::vector<std::tuple<MacSystemAction, std::uint16_t, std::uint64_t>> rows{
        {MacSystemAction::missionControl, 126, control},
        {MacSystemAction::appExpose, 125, control},
        {MacSystemAction::showDesktop, 103, 0},
        {MacSystemAction::spaceLeft, 123, control},
        {MacSystemAction::spaceRight, 124, control},
        {MacSystemAction::spotlight, 49, command},
        {MacSystemAction::appSwitcher, 48, command},
        {MacSystemAction::hideFrontApplication, 4, command},
        {MacSystemAction::forceQuitApplications, 53, command | InputEventFlags::option},
    };
    for (const auto& [action, code, flags] : rows) {
        Fixture f;
        f.inject(InputEvent::modifierChange(KeyModifiers::shift));
        EXPECT_EQ(f.inject(InputEvent::systemAction(action)),
                  (std::vector{keyEventRecord(code, true, flags), keyEventRecord(code, false, flags)}));
        EXPECT_EQ(f.injector.heldState().currentModifiers, KeyModifiers::shift);
        EXPECT_TRUE(f.injector.heldState().heldKeyCodes.empty());
    }
}

TEST(InputInjector, ReleaseAllHeldLetsEverythingGoOnce) {
    Fixture f;
    f.inject(InputEvent::pointerMove(0.5, 0.5));
    f.inject(InputEvent::mouseButton(MouseButton::primary, true, 1));
    f.inject(InputEvent::mouseButton(MouseButton::secondary, true, 1));
    f.inject(InputEvent::key(12, true, KeyModifiers::command | KeyModifiers::shift));
    auto repeat = keyEventRecord(13, true, InputEventFlags::command);
    repeat.autorepeat = 1;
    EXPECT_EQ(f.inject(InputEvent::keyRepeat(13, KeyModifiers::command)), std::vector{repeat}); // held as well
    f.injector.releaseAllHeld();
    const auto records = f.sink->take();
    ASSERT_EQ(records.size(), 5u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(records[i].type, i == 0 ? Type::leftMouseUp : Type::rightMouseUp);
        EXPECT_EQ(records[i].location, (Point2D{600, 300}));
        EXPECT_EQ(records[i].flags, 0u);
        EXPECT_FALSE(records[i].clickState);
    }
    EXPECT_EQ(records[2], keyEventRecord(12, false, 0));
    EXPECT_EQ(records[3], keyEventRecord(13, false, 0));
    InputEventRecord flags = keyEventRecord(55, false, 0);
    flags.type = Type::flagsChanged;
    EXPECT_EQ(records[4], flags);
    EXPECT_EQ(f.injector.heldState(), (InputInjector::HeldState{Point2D{600, 300}, {}, {}, {}}));
    f.injector.releaseAllHeld();
    EXPECT_TRUE(f.sink->take().empty());
}

TEST(InputInjector, WithoutAccessibilityNothingIsPostedAndTheHeldStateIsDropped) {
    Fixture f;
    f.inject(InputEvent::mouseButton(MouseButton::primary, true, 1));
    f.inject(InputEvent::key(0, true, KeyModifiers::shift));
    f.sink->setTrusted(false);
    EXPECT_EQ(f.failure(InputEvent::pointerMove(0.5, 0.5)), Case::accessibilityPermissionRequired);
    EXPECT_TRUE(f.sink->take().empty()); // the release found no grant either
    EXPECT_EQ(f.injector.heldState(), InputInjector::HeldState{});
    EXPECT_STREQ(InputInjectorError(Case::accessibilityPermissionRequired).what(), "accessibilityPermissionRequired");
    f.sink->setTrusted(true);
    f.injector.releaseAllHeld();
    EXPECT_TRUE(f.sink->take().empty());
}

// The host's UI thread releases while the loop injects: each call's records
// must come out whole, never interleaved with the other's.
TEST(InputInjector, ReleaseFromAnotherThreadNeverInterleavesWithAnEvent) {
    Fixture f;
    std::atomic<bool> done{false};
    std::thread ui([&] {
        for (int i = 0; i < 2000 && !done.load(); ++i) f.injector.releaseAllHeld();
    });
    for (int i = 0; i < 2000; ++i) {
        f.injector.inject(InputEvent::key(static_cast<std::uint16_t>(i % 50), true, KeyModifiers::shift), kBounds);
        f.injector.inject(InputEvent::text("ab"), kBounds);
    }
    done.store(true);
    ui.join();
    f.injector.releaseAllHeld();
    const auto records = f.sink->records();
    // A text's down is always followed at once by its up.
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!records[i].unicodeString.empty() && records[i].keyDown) {
            ASSERT_LT(i + 1, records.size());
            EXPECT_EQ(records[i + 1].unicodeString, records[i].unicodeString);
            EXPECT_EQ(records[i + 1].type, Type::keyUp);
        }
    }
    EXPECT_EQ(f.injector.heldState().heldKeyCodes, std::set<std::uint16_t>{});
}
