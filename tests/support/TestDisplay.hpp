#pragma once
// The one X display tests may open: the private Xvfb that scripts/test starts,
// never a developer's desktop (input tests press system chords on it).

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace velorinth::testing {

inline constexpr const char* kNoTestDisplayText =
    "no test display (scripts/test starts Xvfb and sets VELORINTH_TEST_DISPLAY)";

// The display's name, or none when no private display was started.
std::optional<std::string> testDisplayName();

// The test display, opened and held for as long as this lives: an X server
// resets when its last client leaves and drops new connections meanwhile, so
// holding one keeps the test's own connections from meeting a reset.
class HeldTestDisplay {
public:
    // The held display, or none with the reason a test skips: no display
    // named, or one that does not open. A display whose socket is absent
    // fails at once; one that is there but resetting is given a moment.
    static std::optional<HeldTestDisplay> open(std::string& whyNot);

    const std::string& name() const { return name_; }

private:
    struct Connection;
    HeldTestDisplay(std::string name, std::shared_ptr<Connection> connection)
        : name_(std::move(name)), connection_(std::move(connection)) {}

    std::string name_;
    std::shared_ptr<Connection> connection_;
};

} // namespace velorinth::testing

// Sets `variable` to the test display's name and holds the display open for
// the enclosing scope, or skips the test with the reason.
#define VELORINTH_REQUIRE_TEST_DISPLAY(variable)                                                                       \
    std::string variable##WhyNot;                                                                                      \
    const std::optional<::velorinth::testing::HeldTestDisplay> variable##Held =                                        \
        ::velorinth::testing::HeldTestDisplay::open(variable##WhyNot);                                                 \
    if (!variable##Held) GTEST_SKIP() << variable##WhyNot;                                                             \
    const std::string variable = variable##Held->name()
