// The tablet-side engine's keys, text, composition, sticky modifiers and system actions.

#include "RemoteInputEngineTestSupport.hpp"

using namespace velorinth;
using namespace velorinth::testing;

namespace {

HardwareKeyDescriptor keyA(M modifiers = M{}) { return {0x04, "a", "a", modifiers}; }
HardwareKeyDescriptor keyC(M modifiers) { return {0x06, "c", "c", modifiers}; }
const HardwareKeyDescriptor kReturn{0x28, "\r", "\r", M{}};
const HardwareKeyDescriptor kLeftShift{0xE1, std::nullopt, std::nullopt, M::shift};

} // namespace

TEST(RemoteInputEngineKeys, TypingGoesAsTextOnceWhetherTheTextInputIsActiveOrNot) {
    EngineRig r;
    EXPECT_TRUE(r.engine.handleHardwareKeyDown(keyA(), false));
    EXPECT_EQ(r.take(), std::vector{E::text("a")});
    r.engine.handleHardwareKeyUp(keyA());
    EXPECT_FALSE(r.engine.handleHardwareKeyDown(keyA(), true));
    EXPECT_TRUE(r.take().empty());
    r.engine.insertText("a");
    r.engine.insertText("");
    EXPECT_EQ(r.take(), std::vector{E::text("a")});
    // No characters: the tablet's text system gets the press.
    EXPECT_FALSE(r.engine.handleHardwareKeyDown({0x04, std::nullopt, std::nullopt, M{}}, false));
}

TEST(RemoteInputEngineKeys, AShortcutKeyGoesDownRepeatsAndComesUpWithTheModifiersLeft) {
    EngineRig r;
    EXPECT_TRUE(r.engine.handleHardwareKeyDown(keyC(M::command | M::shift), true));
    EXPECT_TRUE(r.engine.handleHardwareKeyDown(keyC(M::command | M::shift), true));
    r.engine.handleHardwareKeyUp(keyC(M::shift));
    r.engine.handleHardwareKeyUp(keyC(M::shift)); // not held any more
    EXPECT_EQ(r.take(), (std::vector{E::key(8, true, M::command | M::shift), E::keyRepeat(8, M::command | M::shift),
                                     E::key(8, false, M::shift)}));
    // On a French layout the characters decide: usage 20 typing "a" is A.
    EXPECT_TRUE(r.engine.handleHardwareKeyDown({20, "a", "a", M::command}, false));
    EXPECT_EQ(r.take(), std::vector{E::key(0, true, M::command)});
}

// A key reported again under another code lets the old code go first, or it
// would stay down on the host.
TEST(RemoteInputEngineKeys, AKeyThatChangesItsCodeReleasesTheOldCode) {
    EngineRig r;
    r.engine.handleHardwareKeyDown({0x24, "7", "7", M::command}, false);
    r.engine.handleHardwareKeyDown({0x24, "/", "7", M::command}, false); // the same code again: a repeat
    r.engine.handleHardwareKeyDown({0x24, std::nullopt, "/", M::command}, false); // now another code
    r.engine.handleHardwareKeyUp({0x24, std::nullopt, "/", M{}});
    EXPECT_EQ(r.take(), (std::vector{E::key(26, true, M::command), E::keyRepeat(26, M::command),
                                     E::key(26, false, M::command), E::key(44, true, M::command),
                                     E::key(44, false, M{})}));
    r.engine.releaseAllInput();
    EXPECT_TRUE(r.take().empty()) << "nothing may still be held";
}

TEST(RemoteInputEngineKeys, AHardwareReturnOrTabOrDeleteIsNotSentTwice) {
    EngineRig r;
    r.engine.handleHardwareKeyDown(kReturn, true);
    r.engine.insertText("\n");
    r.engine.handleHardwareKeyUp(kReturn);
    r.engine.insertText("\r"); // the text input's own Return
    EXPECT_EQ(r.take(), (std::vector{E::key(36, true, M{}), E::key(36, false, M{}), E::key(36, true, M{}),
                                     E::key(36, false, M{})}));
    const HardwareKeyDescriptor tab{0x2B, "\t", "\t", M{}};
    const HardwareKeyDescriptor backspace{0x2A, std::nullopt, std::nullopt, M{}};
    r.engine.handleHardwareKeyDown(tab, true);
    r.engine.insertText("\t");
    r.engine.handleHardwareKeyDown(backspace, true);
    r.engine.deleteBackward();
    r.engine.handleHardwareKeyUp(backspace);
    r.engine.deleteBackward();
    EXPECT_EQ(r.take(), (std::vector{E::key(48, true, M{}), E::key(51, true, M{}), E::key(51, false, M{}),
                                     E::key(51, true, M{}), E::key(51, false, M{})}));
}

TEST(RemoteInputEngineKeys, OptionAsMetaSendsTheKeyAndDropsTheOptionCharacterWhileHeld) {
    EngineRig r(preferences(1, true, true, true));
    const HardwareKeyDescriptor optionF{0x09, "\xC6\x92", "f", M::option};
    EXPECT_TRUE(r.engine.handleHardwareKeyDown(optionF, true));
    r.engine.insertText("\xC6\x92");
    r.engine.handleHardwareKeyUp({0x09, "\xC6\x92", "f", M::option});
    r.engine.insertText("x");
    EXPECT_EQ(r.take(), (std::vector{E::key(3, true, M::option), E::key(3, false, M::option), E::text("x")}));
}

TEST(RemoteInputEngineKeys, ModifierKeysAnnounceTheModifiersWithoutAKey) {
    EngineRig r;
    EXPECT_TRUE(r.engine.handleHardwareKeyDown(kLeftShift, false));
    r.engine.handleHardwareKeyUp({0xE1, std::nullopt, std::nullopt, M::shift});
    EXPECT_TRUE(r.engine.handleHardwareKeyDown({0x39, std::nullopt, std::nullopt, M{}}, false));
    EXPECT_EQ(r.take(), (std::vector{E::modifierChange(M::shift), E::modifierChange(M{}), E::modifierChange(M::capsLock)}));
    r.engine.releaseAllInput();
    EXPECT_EQ(r.take(), std::vector{E::modifierChange(M{})});
}

TEST(RemoteInputEngineKeys, StickyModifiersLatchForTheNextActionOnly) {
    EngineRig r;
    r.engine.toggleStickyModifier(M::shift);
    r.engine.toggleStickyModifier(M::shift);
    r.engine.toggleStickyModifier(M{});
    EXPECT_EQ(r.take(), (std::vector{E::modifierChange(M::shift), E::modifierChange(M{}), E::modifierChange(M{})}));

    r.engine.handleHardwareKeyDown({0xE0, std::nullopt, std::nullopt, M::control}, false);
    r.engine.toggleStickyModifier(M::command);
    r.take();
    r.engine.insertText("s");
    EXPECT_EQ(r.take(), (std::vector{E::key(1, true, M::command | M::control), E::key(1, false, M::command | M::control),
                                     E::modifierChange(M::control)}));
    // A sticky command over text without a key types the text.
    r.engine.toggleStickyModifier(M::command);
    r.take();
    r.engine.insertText("\xC3\xA9");
    EXPECT_EQ(r.take(), (std::vector{E::text("\xC3\xA9"), E::modifierChange(M::control)}));
    r.engine.toggleStickyModifier(M::option);
    r.take();
    r.engine.sendSystemAction(MacSystemAction::spotlight);
    EXPECT_EQ(r.take(), (std::vector{E::systemAction(MacSystemAction::spotlight), E::modifierChange(M::control)}));
}

TEST(RemoteInputEngineKeys, TypingWhileComposingCommitsTheComposition) {
    EngineRig r;
    r.engine.setMarkedText("ni", 2, 0);
    r.engine.insertText("\xE4\xBD\xA0");
    r.engine.setMarkedText("ha", 1, 1);
    r.engine.setMarkedText("", 0, 0);
    r.engine.setMarkedText("", 0, 0); // nothing active
    r.engine.setMarkedText("k", 1, 0);
    r.engine.handleHardwareKeyDown(kReturn, false); // a key cancels the composition first
    EXPECT_EQ(r.take(), (std::vector{E::textComposition(CompositionEvent::updated("ni", 2, 0)),
                                     E::textComposition(CompositionEvent::committed("\xE4\xBD\xA0")),
                                     E::textComposition(CompositionEvent::updated("ha", 1, 1)),
                                     E::textComposition(CompositionEvent::cancelled()),
                                     E::textComposition(CompositionEvent::updated("k", 1, 0)),
                                     E::textComposition(CompositionEvent::cancelled()), E::key(36, true, M{})}));
    // Abandoned while input is not allowed: forgotten without a word.
    r.engine.setMarkedText("x", 1, 0);
    r.engine.updateSessionState(true, DevicePermissions::all, false);
    r.engine.unmarkText();
    EXPECT_FALSE(r.engine.activeMarkedText());
}

TEST(RemoteInputEngineKeys, NothingIsTakenWhileInputIsNotAllowed) {
    EngineRig r;
    r.engine.handleHardwareKeyDown(keyC(M::command), false);
    r.take();
    r.engine.updateSessionState(true, DevicePermissions::all, false);
    EXPECT_FALSE(r.engine.handleHardwareKeyDown(keyC(M::command), false));
    r.engine.handleHardwareKeyUp(keyC(M{}));
    r.engine.insertText("x");
    r.engine.sendKeyPress(1, M{});
    r.engine.toggleStickyModifier(M::shift);
    EXPECT_TRUE(r.take().empty());
    EXPECT_EQ(r.engine.stickyModifiers(), M{});
}
