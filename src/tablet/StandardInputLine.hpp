#pragma once

#include <asio/awaitable.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace velorinth {

// One line of the program's standard input, read on the loop without
// blocking it (a pipe or terminal through the loop's reactor; a regular
// file, which the reactor refuses and which never blocks, directly).
class StandardInputLine {
public:
    // Longer lines are cut here: what a person types in answer is short.
    static constexpr std::size_t kMaximumLength = 1024;

    // The next line without its end; none at the end of input. Fails as a
    // cancellation when the awaiting task is cancelled.
    static asio::awaitable<std::optional<std::string>> read(int descriptor = 0);
};

} // namespace velorinth
