#include "core/InputPreferences.hpp"
#include "core/Text.hpp"

#include <gtest/gtest.h>

using namespace velorinth;

TEST(InputPreferences, TheInitialiserClampsTheSensitivityAndDecodingTakesWhatItReads) {
    EXPECT_EQ(InputPreferences(InputInteractionMode::touchMode, 0.1, true, false, true).pointerSensitivity, 0.5);
    EXPECT_EQ(InputPreferences(InputInteractionMode::touchMode, 9, true, false, true).pointerSensitivity, 2.5);
    EXPECT_EQ(InputPreferences(InputInteractionMode::touchMode, 1.25, true, false, true).pointerSensitivity, 1.25);

    const Json stored = Json::parse(R"({"mode":"touchMode","pointerSensitivity":9.0,"naturalScrollingEnabled":true,
                                        "tapToClickEnabled":false,"optionSendsMeta":true})");
    const auto decoded = json::decode<InputPreferences>(stored);
    EXPECT_EQ(decoded.mode, InputInteractionMode::touchMode);
    EXPECT_EQ(decoded.pointerSensitivity, 9.0);
    EXPECT_EQ(json::encode(decoded), stored);
    for (const char* key : {"mode", "pointerSensitivity", "naturalScrollingEnabled", "tapToClickEnabled", "optionSendsMeta"}) {
        Json missing = stored;
        missing.erase(key);
        EXPECT_THROW(json::decode<InputPreferences>(missing), JSONDecodingError) << key;
    }
    Json wrongMode = stored;
    wrongMode["mode"] = "trackpad";
    EXPECT_THROW(json::decode<InputPreferences>(wrongMode), JSONDecodingError);
    EXPECT_EQ(title(InputInteractionMode::directPointer), "Direct Pointer");
    EXPECT_EQ(title(InputInteractionMode::touchMode), "Touch Mode");
}

TEST(UnicodeText, LowerCasingKeepsEachCodePointAndReplacesMalformedBytes) {
    EXPECT_EQ(lowercased("ABC \xC3\x89\xC3\x9F \xCE\xA3"), "abc \xC3\xA9\xC3\x9F \xCF\x83");
    EXPECT_EQ(lowercased("\xC4\xB0"), "i"); // simple case mapping: one code point stays one
    EXPECT_EQ(lowercased("A\xFF" "B\xE2\x82"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(lowercased(""), "");
}

TEST(UnicodeText, ConvertsToUtf16AndSegmentsExtendedGraphemeClusters) {
    EXPECT_EQ(utf16FromUtf8("a\xC3\xA9\xF0\x9F\x98\x80"), u"a\u00E9\U0001F600");
    EXPECT_EQ(utf16FromUtf8("\xC0\xAF\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"); // overlong, surrogate
    using Lengths = std::vector<std::size_t>;
    EXPECT_EQ(graphemeClusterLengths(u""), Lengths{});
    EXPECT_EQ(graphemeClusterLengths(u"ab"), (Lengths{1, 1}));
    EXPECT_EQ(graphemeClusterLengths(u"e\u0301x"), (Lengths{2, 1}));
    EXPECT_EQ(graphemeClusterLengths(u"\r\n"), (Lengths{2}));
    EXPECT_EQ(graphemeClusterLengths(u"\U0001F1EB\U0001F1F7\U0001F44D\U0001F3FD"), (Lengths{4, 4})); // a flag, a toned thumb
    EXPECT_EQ(graphemeClusterLengths(u"\xD800" "a"), (Lengths{1, 1})); // a lone surrogate is a cluster of its own
}
