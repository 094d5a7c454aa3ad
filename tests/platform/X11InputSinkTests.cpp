// The XTest sink on the private test display, watched by a full-screen test
// window of its own connection. After each record the test makes a round
// trip on both connections, so everything the record caused has arrived.

#include "platform/linux/XTestInputSink.hpp"
#include "support/PrivateXvfb.hpp"
#include "support/RecordingInputEventSink.hpp"
#include "support/TestDisplay.hpp"
#include "support/X11TestWindow.hpp"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

using namespace velorinth;
using namespace velorinth::testing;
using Event = X11TestWindow::Event;

namespace {

constexpr std::uint64_t kShift = InputEventFlags::shift;
constexpr std::uint64_t kCommand = InputEventFlags::command;

InputEventRecord mouse(InputEventType type, double x, double y, std::uint32_t button = 0,
                       std::optional<std::int64_t> clickState = std::nullopt, std::uint64_t flags = 0) {
    InputEventRecord record;
    record.type = type;
    record.location = {x, y};
    record.mouseButton = button;
    record.clickState = clickState;
    record.flags = flags;
    return record;
}

InputEventRecord key(std::uint16_t code, bool down, std::uint64_t flags = 0) { return keyEventRecord(code, down, flags); }

InputEventRecord wheel(std::int32_t wheel1, std::int32_t wheel2, std::int64_t phase = ScrollPhaseField::changed) {
    InputEventRecord record;
    record.type = InputEventType::scrollWheel;
    record.scrollWheel1 = wheel1;
    record.scrollWheel2 = wheel2;
    record.scrollContinuous = 1;
    record.scrollPhase = phase;
    return record;
}

// The character a client reads from a key press: X upper-cases a letter's
// keysym while Lock is on (the sink's keycodes carry one keysym on every level).
// Latin letters only.
char readAs(std::uint32_t keysym, std::uint16_t state) {
    if ((state & XCB_MOD_MASK_LOCK) != 0 && keysym >= 'a' && keysym <= 'z') keysym += 'A' - 'a';
    return static_cast<char>(keysym);
}

std::vector<std::uint8_t> details(const std::vector<Event>& events, std::uint8_t type) {
    std::vector<std::uint8_t> out;
    for (const Event& event : events) {
        if (event.type == type) out.push_back(event.detail);
    }
    return out;
}

} // namespace

class X11InputSink : public ::testing::Test {
protected:
    void SetUp() override {
        VELORINTH_REQUIRE_TEST_DISPLAY(display);
        window.emplace(display);
        sink.emplace(display);
        ASSERT_TRUE(sink->isTrusted()) << "XTest is missing on " << display;
    }

    void post(const InputEventRecord& record) {
        sink->post(record);
        sync();
    }
    void sync() {
        sink->currentPointerLocation(); // a round trip on the sink's connection
        window->roundTrip();
    }
    // Turns a lock off (Caps Lock, Num Lock) from the test's own connection,
    // whatever an earlier test left.
    void lockOff(std::uint8_t keycode, std::uint16_t mask) {
        if (window->queryPointer().mask & mask) window->tapKey(keycode);
        window->takeEvents();
    }

    std::optional<X11TestWindow> window;
    std::optional<XTestInputSink> sink;
};

TEST_F(X11InputSink, PointerLandsOnItsPixelAndHeldButtonsAndModifiersShowInTheMask) {
    post(mouse(InputEventType::mouseMoved, 640, 400));
    EXPECT_EQ(window->queryPointer().x, 640);
    EXPECT_EQ(window->queryPointer().y, 400);
    post(mouse(InputEventType::mouseMoved, 1280, 800)); // the far edge: the last pixel
    EXPECT_EQ(window->queryPointer().x, 1279);
    EXPECT_EQ(window->queryPointer().y, 799);
    post(mouse(InputEventType::mouseMoved, -5, 1e9));
    EXPECT_EQ(window->queryPointer().x, 0);
    EXPECT_EQ(window->queryPointer().y, 799);
    window->takeEvents();

    post(mouse(InputEventType::leftMouseDown, 100, 120, 0, 1, kShift | kCommand));
    const std::uint16_t held = window->queryPointer().mask;
    EXPECT_TRUE(held & XCB_BUTTON_MASK_1);
    EXPECT_TRUE(held & XCB_MOD_MASK_SHIFT);
    EXPECT_TRUE(held & XCB_MOD_MASK_4);
    post(mouse(InputEventType::rightMouseDown, 100, 120, 1, 1, kShift | kCommand));
    post(mouse(InputEventType::otherMouseDown, 100, 120, 2, 1, kShift | kCommand));
    EXPECT_TRUE(window->queryPointer().mask & XCB_BUTTON_MASK_3);
    EXPECT_TRUE(window->queryPointer().mask & XCB_BUTTON_MASK_2);
    const std::vector<Event> events = window->takeEvents();
    ASSERT_EQ(details(events, XCB_BUTTON_PRESS), (std::vector<std::uint8_t>{1, 3, 2}));
    const auto press = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.type == XCB_BUTTON_PRESS; });
    EXPECT_EQ(press->rootX, 100);
    EXPECT_EQ(press->rootY, 120);
    EXPECT_EQ(press->state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4), XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4);

    // A drag is a plain motion with the buttons still down.
    post(mouse(InputEventType::leftMouseDragged, 300, 200, 0, std::nullopt, kShift | kCommand));
    EXPECT_EQ(window->queryPointer().x, 300);
    EXPECT_TRUE(window->queryPointer().mask & XCB_BUTTON_MASK_1);

    for (auto [type, button] : {std::pair{InputEventType::leftMouseUp, 0u}, {InputEventType::rightMouseUp, 1u},
                                {InputEventType::otherMouseUp, 2u}}) {
        post(mouse(type, 300, 200, button));
    }
    EXPECT_EQ(window->queryPointer().mask & 0xFF00, 0); // no button
    EXPECT_EQ(window->queryPointer().mask & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4), 0);
    EXPECT_EQ(details(window->takeEvents(), XCB_BUTTON_RELEASE), (std::vector<std::uint8_t>{1, 3, 2}));
    // A release of a button that is not down posts nothing.
    post(mouse(InputEventType::leftMouseUp, 300, 200, 0));
    EXPECT_TRUE(details(window->takeEvents(), XCB_BUTTON_RELEASE).empty());
}

TEST_F(X11InputSink, HeldKeysShowInTheKeymapAndUnmappedCodesPostNothing) {
    post(key(0, true));  // A: evdev 30
    post(key(36, true)); // Return: evdev 28
    post(key(56, true, kShift)); // left shift, counted as held
    EXPECT_EQ(window->pressedKeycodes(), (std::set<std::uint8_t>{38, 36, 50}));
    post(key(71, true)); // keypad Clear has no X key
    post(key(200, true));
    EXPECT_EQ(window->pressedKeycodes(), (std::set<std::uint8_t>{38, 36, 50}));
    post(key(0, false, kShift));
    post(key(36, false, kShift));
    post(key(56, false));
    EXPECT_TRUE(window->pressedKeycodes().empty());
}

TEST_F(X11InputSink, ScrollClicksOncePerTwelvePixelsAtMostTenPerRecord) {
    struct Case {
        std::vector<InputEventRecord> records;
        std::vector<std::uint8_t> buttons;
    };
    const std::vector<Case> cases{
        {{wheel(24, 0, ScrollPhaseField::began)}, {4, 4}},
        {{wheel(-12, 0, ScrollPhaseField::began)}, {5}},
        {{wheel(0, 36, ScrollPhaseField::began)}, {6, 6, 6}},
        {{wheel(0, -13, ScrollPhaseField::began)}, {7}},
        // Remainders add up within a gesture and start again with the next.
        {{wheel(6, 0, ScrollPhaseField::began), wheel(6, 0)}, {4}},
        {{wheel(11, 0, ScrollPhaseField::began), wheel(11, 0, ScrollPhaseField::began)}, {}},
        {{wheel(11, 0, ScrollPhaseField::began), wheel(0, 0, ScrollPhaseField::ended), wheel(11, 0)}, {}},
        {{wheel(11, 0, ScrollPhaseField::began), wheel(0, 0, ScrollPhaseField::cancelled), wheel(11, 0)}, {}},
        {{wheel(6, 0, ScrollPhaseField::began), wheel(6, 0, ScrollPhaseField::momentum)}, {4}},
        // A peer's largest delta is ten clicks, not 179 million.
        {{wheel(2147483647, -2147483647 - 1, ScrollPhaseField::began)},
         {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        window->takeEvents();
        for (const InputEventRecord& record : cases[i].records) post(record);
        EXPECT_EQ(details(window->takeEvents(), XCB_BUTTON_PRESS), cases[i].buttons) << "case " << i;
        post(wheel(0, 0, ScrollPhaseField::ended));
    }
}

TEST_F(X11InputSink, AHeldKeyRepeatsOnlyByItsRepeatRecords) {
    // Held past the server's repeat delay (660 ms): X's own repeat is off
    // while the sink holds the key, so every press comes from a record.
    InputEventRecord repeat = key(2, true);
    repeat.autorepeat = 1;
    ASSERT_TRUE(window->autorepeats(40));
    post(key(2, true)); // D
    EXPECT_FALSE(window->autorepeats(40));
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        post(repeat);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    post(key(2, false));
    const std::vector<Event> events = window->takeEvents();
    EXPECT_EQ(details(events, XCB_KEY_PRESS), std::vector<std::uint8_t>(11, 40));
    EXPECT_EQ(details(events, XCB_KEY_RELEASE), std::vector<std::uint8_t>(11, 40));
    EXPECT_TRUE(window->pressedKeycodes().empty());

    EXPECT_TRUE(window->autorepeats(40)); // back once it is released
}

TEST_F(X11InputSink, ClickCountsBecomePressReleasePairs) {
    struct Case {
        std::vector<std::int64_t> downCounts; // each down followed by its up
        std::size_t presses;
    };
    const std::vector<Case> cases{
        {{2}, 2},                       // a double tap alone
        {{1, 2}, 2},                    // a second click that follows its first
        {{1, 2, 3}, 3},                 // a triple click
        {{3}, 3},                       // a triple alone
        {{1000000000000000000}, 3},     // a peer's count: at most two extra pairs
        {{1, 1}, 2},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        window->takeEvents();
        for (std::int64_t count : cases[i].downCounts) {
            post(mouse(InputEventType::leftMouseDown, 50, 50, 0, count));
            post(mouse(InputEventType::leftMouseUp, 50, 50, 0, count));
        }
        const std::vector<Event> events = window->takeEvents();
        EXPECT_EQ(details(events, XCB_BUTTON_PRESS), std::vector<std::uint8_t>(cases[i].presses, 1)) << "case " << i;
        EXPECT_EQ(details(events, XCB_BUTTON_RELEASE), std::vector<std::uint8_t>(cases[i].presses, 1)) << "case " << i;
        // The next case starts afresh.
        post(mouse(InputEventType::rightMouseDown, 50, 50, 1, 1));
        post(mouse(InputEventType::rightMouseUp, 50, 50, 1, 1));
        post(mouse(InputEventType::leftMouseDown, 50, 50, 0, 1));
        post(mouse(InputEventType::leftMouseUp, 50, 50, 0, 1));
        post(mouse(InputEventType::leftMouseDown, 50, 50, 0, 7));
        post(mouse(InputEventType::leftMouseUp, 50, 50, 0, 7));
    }
}

TEST_F(X11InputSink, KeypadNumbersTurnNumLockOn) {
    lockOff(77, XCB_MOD_MASK_2);
    for (auto [code, keycode] : {std::pair{83, 87}, {82, 90}, {65, 91}}) { // keypad 1, 0 and decimal point
        post(key(static_cast<std::uint16_t>(code), true));
        post(key(static_cast<std::uint16_t>(code), false));
        const std::vector<Event> events = window->takeEvents();
        const auto press = std::find_if(events.begin(), events.end(), [](const Event& e) { return e.type == XCB_KEY_PRESS && e.detail != 77; });
        ASSERT_NE(press, events.end());
        EXPECT_EQ(press->detail, keycode);
        EXPECT_TRUE(press->state & XCB_MOD_MASK_2) << code;
    }
    // Other keypad keys leave Num Lock as it is.
    lockOff(77, XCB_MOD_MASK_2);
    post(key(67, true)); // keypad multiply
    post(key(67, false));
    EXPECT_FALSE(window->queryPointer().mask & XCB_MOD_MASK_2);
}

TEST_F(X11InputSink, KeyPressesCarryTheirFlagsAsPressedModifiers) {
    lockOff(66, XCB_MOD_MASK_LOCK);
    // Command-C: Super is pressed for the key and let go with it.
    post(key(8, true, kCommand));
    post(key(8, false, kCommand));
    // Caps Lock follows a key's flag.
    post(key(0, true, InputEventFlags::capsLock));
    post(key(0, false, InputEventFlags::capsLock));
    post(key(0, true));
    post(key(0, false));
    const std::vector<Event> events = window->takeEvents();
    std::vector<Event> presses;
    std::copy_if(events.begin(), events.end(), std::back_inserter(presses), [](const Event& e) { return e.type == XCB_KEY_PRESS; });
    ASSERT_EQ(presses.size(), 6u) << "Super, C, Caps Lock, A, Caps Lock, A";
    EXPECT_EQ(presses[0].detail, 133);
    EXPECT_EQ(presses[1].detail, 54);
    EXPECT_EQ(presses[1].state & XCB_MOD_MASK_4, XCB_MOD_MASK_4);
    EXPECT_EQ(presses[2].detail, 66);
    EXPECT_EQ(presses[3].detail, 38);
    EXPECT_TRUE(presses[3].state & XCB_MOD_MASK_LOCK);
    EXPECT_EQ(presses[5].detail, 38);
    EXPECT_FALSE(presses[5].state & XCB_MOD_MASK_LOCK);
    EXPECT_TRUE(window->pressedKeycodes().empty());

    // A flags-changed record holds the modifiers until the next one changes them.
    InputEventRecord flags;
    flags.type = InputEventType::flagsChanged;
    flags.keyCode = 55;
    flags.keyDown = true;
    flags.flags = kCommand | InputEventFlags::option;
    post(flags);
    EXPECT_EQ(window->pressedKeycodes(), (std::set<std::uint8_t>{133, 64}));
    post(flags); // unchanged: nothing
    flags.flags = 0;
    post(flags);
    EXPECT_TRUE(window->pressedKeycodes().empty());
}

TEST_F(X11InputSink, TextIsTypedThroughKeysymsOnSpareKeycodes) {
    lockOff(66, XCB_MOD_MASK_LOCK);
    // Held modifiers are lifted for the text and pressed again after it.
    InputEventRecord flags;
    flags.type = InputEventType::flagsChanged;
    flags.keyCode = 56;
    flags.flags = kShift;
    post(flags);
    window->takeEvents();

    InputEventRecord text = key(0, true);
    text.unicodeString = u"a\u00E9\u20AC\n\t\x01\U0001F600";
    post(text);
    text.type = InputEventType::keyUp;
    text.keyDown = false;
    post(text); // the text went with the down
    const std::vector<Event> events = window->takeEvents();
    std::vector<Event> presses;
    std::copy_if(events.begin(), events.end(), std::back_inserter(presses), [](const Event& e) { return e.type == XCB_KEY_PRESS; });
    ASSERT_EQ(presses.size(), 7u) << "a, e-acute, euro, Return, Tab, the emoji, shift again";
    const std::vector<std::uint32_t> keysyms{'a', 0xE9, 0x010020AC};
    for (std::size_t i = 0; i < keysyms.size(); ++i) {
        EXPECT_EQ(window->keysym(presses[i].detail), keysyms[i]) << i;
        EXPECT_EQ(presses[i].state & XCB_MOD_MASK_SHIFT, 0) << i;
    }
    EXPECT_EQ(presses[3].detail, 36);
    EXPECT_EQ(presses[4].detail, 23);
    EXPECT_EQ(window->keysym(presses[5].detail), 0x0101F600u);
    EXPECT_EQ(presses[6].detail, 50);
    EXPECT_EQ(window->pressedKeycodes(), (std::set<std::uint8_t>{50}));
    // The same character again finds its keycode as it left it.
    post(text);
    text.type = InputEventType::keyDown;
    text.keyDown = true;
    text.unicodeString = u"\u20AC";
    post(text);
    const std::vector<std::uint8_t> again = details(window->takeEvents(), XCB_KEY_PRESS);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0], presses[2].detail);
    flags.flags = 0;
    post(flags);
}

// The lock on or off, and the tablet's Caps Lock key not held, held and let
// go after the text, or still held when the session ends (the records of the
// injector's release): the text arrives as sent, and the lock ends as it was
// when the text came.
TEST_F(X11InputSink, TextArrivesAsSentWhateverTheCapsLockAndTheLockStaysAsItWas) {
    constexpr std::uint8_t kCapsLockKey = 66;
    enum class TabletKey { notHeld, letGoAfterTheText, heldWhenTheSessionEnds };
    const std::tuple<bool, TabletKey, const char*> rows[] = {
        {true, TabletKey::notHeld, "lock on"},
        {false, TabletKey::notHeld, "lock off"},
        {false, TabletKey::letGoAfterTheText, "lock off, key held, then let go"},
        {true, TabletKey::letGoAfterTheText, "lock on, key held, then let go"},
        {false, TabletKey::heldWhenTheSessionEnds, "lock off, key held as the session ends"},
        {true, TabletKey::heldWhenTheSessionEnds, "lock on, key held as the session ends"},
    };
    for (const auto& [lockOn, tabletKey, name] : rows) {
        SCOPED_TRACE(name);
        lockOff(kCapsLockKey, XCB_MOD_MASK_LOCK);
        if (lockOn) window->tapKey(kCapsLockKey);
        const bool held = tabletKey != TabletKey::notHeld;
        // The tablet's press locks a lock that was off.
        if (held) post(key(57, true, InputEventFlags::capsLock));
        window->takeEvents();
        InputEventRecord text = key(0, true);
        text.unicodeString = u"xyXY";
        post(text);
        std::string arrived;
        for (const Event& event : window->takeEvents()) {
            if (event.type == XCB_KEY_PRESS && event.detail != kCapsLockKey) {
                arrived.push_back(readAs(window->keysym(event.detail), event.state));
            }
        }
        EXPECT_EQ(arrived, "xyXY");
        const bool locked = lockOn || held;
        EXPECT_EQ((window->queryPointer().mask & XCB_MOD_MASK_LOCK) != 0, locked) << "after the text";
        if (tabletKey == TabletKey::letGoAfterTheText) post(key(57, false, InputEventFlags::capsLock));
        if (tabletKey == TabletKey::heldWhenTheSessionEnds) {
            post(key(57, false));
            InputEventRecord release = key(55, false);
            release.type = InputEventType::flagsChanged;
            post(release);
        }
        EXPECT_EQ((window->queryPointer().mask & XCB_MOD_MASK_LOCK) != 0, locked) << "at the end";
        EXPECT_TRUE(window->pressedKeycodes().empty());
    }
    lockOff(kCapsLockKey, XCB_MOD_MASK_LOCK);
}

// A display that goes away reads as untrusted; the sink connects again to a
// display that comes back under the same name.
TEST(X11InputSinkReconnect, ALostDisplayIsUntrustedUntilTheSinkConnectsAgain) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    // A high display number, which servers that pick a free one (-displayfd)
    // reach last: it must still be free when the display comes back.
    std::unique_ptr<PrivateXvfb> first;
    PrivateXvfb::Options options;
    for (int number = 300 + ::getpid() % 200; !first && number < 560; number += 7) {
        options.displayNumber = number;
        try {
            first = std::make_unique<PrivateXvfb>(options);
        } catch (const std::runtime_error&) {
            // taken: the next
        }
    }
    ASSERT_TRUE(first) << "no free display number";
    XTestInputSink sink(first->displayName(), std::chrono::milliseconds(20));
    ASSERT_TRUE(sink.isTrusted());
    first.reset();
    // The loss shows once a request cannot be written.
    sink.post(mouse(InputEventType::mouseMoved, 1, 1));
    EXPECT_FALSE(sink.isTrusted());
    EXPECT_FALSE(sink.currentPointerLocation());
    sink.post(mouse(InputEventType::mouseMoved, 2, 2)); // skipped, without a fault

    PrivateXvfb second(options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!sink.isTrusted() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(sink.isTrusted());
    sink.post(mouse(InputEventType::mouseMoved, 5, 6));
    EXPECT_EQ(sink.currentPointerLocation(), (Point2D{5, 6}));
}
