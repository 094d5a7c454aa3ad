#pragma once

#include "core/WakeModels.hpp"

#include <string_view>

namespace velorinth {

// Reads the "womp" (wake on magic packet) values of the power-management
// tool's custom settings listing. Pure.
struct PMSetOutputParser {
    struct ParsedWakeSetting {
        Evidence<bool> wakeForNetworkAccess;
        bool wakeOnlyOnACPower = false;

        bool operator==(const ParsedWakeSetting&) const = default;
    };

    // Unknown, and not only on the power adapter.
    static ParsedWakeSetting unknownSetting() { return {}; }

    // The AC section decides whenever it has a value (only-on-AC when the
    // battery section says off); without it, "Currently in use:" or values
    // before any header decide; the battery section alone never does.
    static ParsedWakeSetting parse(std::string_view text);
};

} // namespace velorinth
