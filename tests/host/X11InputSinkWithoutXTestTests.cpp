// A display without the XTest extension stands for a host without the
// Accessibility grant: nothing reaches it and nothing stays held.

#include "host/input/InputInjector.hpp"
#include "support/PrivateXvfb.hpp"
#include "support/X11TestWindow.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

TEST(X11InputSinkWithoutXTest, EveryEventFailsForAccessibilityAndNothingIsPostedOrHeld) {
    if (!PrivateXvfb::isInstalled()) GTEST_SKIP() << "Xvfb is not installed";
    PrivateXvfb::Options options;
    options.extraArguments = {"-extension", "XTEST"};
    PrivateXvfb display(options);
    X11TestWindow window(display.displayName());
    const X11TestWindow::Pointer before = window.queryPointer();

    const std::shared_ptr<InputEventSink> sink = InputEventSink::create(display.displayName());
    EXPECT_FALSE(sink->isTrusted());
    InputInjector injector(sink);
    const ContentRect2D bounds{{0, 0}, {1280, 800}};
    for (const InputEvent& event :
         {InputEvent::pointerMove(0.9, 0.1), InputEvent::mouseButton(MouseButton::primary, true, 1),
          InputEvent::pointerDrag(MouseButton::secondary, 0.2, 0.2, DragPhase::began),
          InputEvent::key(0, true, KeyModifiers::shift), InputEvent::text("x"),
          InputEvent::systemAction(MacSystemAction::spotlight)}) {
        try {
            injector.inject(event, bounds);
            ADD_FAILURE() << event.caseName() << " was injected";
        } catch (const InputInjectorError& error) {
            EXPECT_EQ(error.kind, InputInjectorError::Case::accessibilityPermissionRequired) << event.caseName();
        }
    }
    injector.releaseAllHeld();
    EXPECT_EQ(injector.heldState(), InputInjector::HeldState{});
    window.roundTrip();
    EXPECT_TRUE(window.takeEvents().empty());
    EXPECT_EQ(window.queryPointer().x, before.x);
    EXPECT_EQ(window.queryPointer().y, before.y);
    EXPECT_TRUE(window.pressedKeycodes().empty());
}
