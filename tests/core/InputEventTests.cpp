#include "core/InputEvent.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace velorinth;

TEST(InputEventJson, EveryCaseMatchesItsGoldenForm) {
    const std::vector<std::pair<InputEvent, const char*>> table = {
        {InputEvent::pointerMove(0.25, 0.75), R"({"pointerMove":{"normalizedX":0.25,"normalizedY":0.75}})"},
        {InputEvent::mouseButton(MouseButton::secondary, true, 2),
         R"({"mouseButton":{"button":1,"isDown":true,"clickCount":2}})"},
        {InputEvent::pointerDrag(MouseButton::middle, 0.5, 0.125, DragPhase::changed),
         R"({"pointerDrag":{"button":2,"normalizedX":0.5,"normalizedY":0.125,"phase":"changed"}})"},
        {InputEvent::scroll(-3.5, 12, ScrollPhase::momentum),
         R"({"scroll":{"deltaX":-3.5,"deltaY":12,"phase":"momentum"}})"},
        {InputEvent::key(0, true, KeyModifiers::command), R"({"key":{"code":0,"isDown":true,"modifiers":8}})"},
        {InputEvent::keyRepeat(65535, KeyModifiers::shift | KeyModifiers::option),
         R"({"keyRepeat":{"code":65535,"modifiers":5}})"},
        {InputEvent::modifierChange(KeyModifiers::control | KeyModifiers::capsLock),
         R"({"modifierChange":{"modifiers":18}})"},
        {InputEvent::text("é"), R"({"text":{"_0":"é"}})"},
        {InputEvent::textComposition(CompositionEvent::updated("にほ", 1, 0)),
         R"({"textComposition":{"_0":{"updated":{"markedText":"にほ","selectedLocation":1,"selectedLength":0}}}})"},
        {InputEvent::systemAction(MacSystemAction::spotlight), R"({"systemAction":{"_0":"spotlight"}})"},
    };
    ASSERT_EQ(table.size(), InputEvent::caseNames.size());
    for (const auto& [event, golden] : table) {
        EXPECT_EQ(json::encode(event), json::parse(golden)) << golden;
        EXPECT_EQ(json::decodeFromString<InputEvent>(golden), event) << golden;
    }
}

TEST(InputEventJson, CompositionGoldens) {
    EXPECT_EQ(json::encode(CompositionEvent::cancelled()), json::parse(R"({"cancelled":{}})"));
    EXPECT_EQ(json::decodeFromString<CompositionEvent>(R"({"cancelled":{}})"), CompositionEvent::cancelled());
    EXPECT_EQ(json::encode(CompositionEvent::committed("日本")), json::parse(R"({"committed":{"_0":"日本"}})"));
}

TEST(InputEventJson, MouseButtonIsANumberAndAcceptsNames) {
    EXPECT_EQ(json::encode(MouseButton::middle), json::parse("2"));
    EXPECT_EQ(json::decodeFromString<MouseButton>(R"("secondary")"), MouseButton::secondary);
    for (const char* bad : {"3", "256", "-1", R"("left")"}) {
        EXPECT_THROW(json::decodeFromString<MouseButton>(bad), JSONDecodingError) << bad;
    }
}

TEST(InputEventJson, KeyModifiersKeepUnknownBits) {
    const char* golden = R"({"modifierChange":{"modifiers":232}})";
    auto event = json::decodeFromString<InputEvent>(golden);
    const auto* change = event.get<InputEvent::ModifierChange>();
    ASSERT_NE(change, nullptr);
    EXPECT_EQ(change->modifiers.rawValue, 232);
    EXPECT_TRUE(change->modifiers.contains(KeyModifiers::command));
    EXPECT_EQ(json::encode(event), json::parse(golden));
}

TEST(InputEventJson, MalformedPayloadsAreRefused) {
    for (const char* bad : {
             R"({"text":"a"})",
             R"({"key":{"code":0,"isDown":1,"modifiers":0}})",
             R"({"key":{"code":65536,"isDown":true,"modifiers":0}})",
             R"({"key":{"code":0,"isDown":true,"modifiers":256}})",
             R"({"pointerDrag":{"button":0,"normalizedX":0,"normalizedY":0,"phase":"momentum"}})",
             R"({"systemAction":{"_0":"launchpad"}})",
         }) {
        EXPECT_THROW(json::decodeFromString<InputEvent>(bad), JSONDecodingError) << bad;
    }
}
