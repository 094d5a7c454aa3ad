#pragma once

#include "core/Error.hpp"

#include <string>
#include <utility>

namespace velorinth {

// A command line a program cannot act on: the program prints the text (and,
// for the command line itself, its usage) and exits with 2.
class UsageError : public Error {
public:
    explicit UsageError(std::string text) : Error(std::move(text)) {}
};

} // namespace velorinth
