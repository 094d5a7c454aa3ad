#pragma once
// The one X display tests may open: the private Xvfb that scripts/test starts,
// never a developer's desktop (input tests press system chords on it).

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace velorinth::testing {

inline constexpr const char* kNoTestDisplayText =
    "no test display (scripts/test starts Xvfb and sets VELORINTH_TEST_DISPLAY)";

// The display's name, or none when no private display was started.
inline std::optional<std::string> testDisplayName() {
    const char* name = std::getenv("VELORINTH_TEST_DISPLAY");
    if (name == nullptr || *name == '\0') return std::nullopt;
    return std::string(name);
}

} // namespace velorinth::testing

// Sets `variable` to the test display's name, or skips the test with the reason.
#define VELORINTH_REQUIRE_TEST_DISPLAY(variable)                                                                       \
    const std::optional<std::string> variable##Optional = ::velorinth::testing::testDisplayName();                    \
    if (!variable##Optional) GTEST_SKIP() << ::velorinth::testing::kNoTestDisplayText;                               \
    const std::string variable = *variable##Optional
