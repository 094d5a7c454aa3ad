#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace velorinth {

// The user's stored choices: integers under application-identifier keys.
// The stand-in for the original platform's user defaults.
class Preferences {
public:
    virtual ~Preferences() = default;

    // The integer under `key`; none when the key is absent or holds anything else.
    virtual std::optional<std::int64_t> integer(std::string_view key) = 0;
    // Stores `value` under `key`, keeping every other key. A write that cannot
    // reach the disk is logged; the value still reads back in this run.
    virtual void setInteger(std::string_view key, std::int64_t value) = 0;

    // The user's preferences file, read once now (see JsonFilePreferences).
    static std::shared_ptr<Preferences> create();
};

} // namespace velorinth
