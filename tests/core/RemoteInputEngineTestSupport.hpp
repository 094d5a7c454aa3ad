#pragma once

// An input engine allowed to send, recording what it emits.

#include "core/RemoteInputEngine.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <utility>
#include <vector>

namespace velorinth {

// Events print as their wire JSON in failure messages.
inline void PrintTo(const InputEvent& event, std::ostream* out) {
    try {
        *out << json::encode(event).dump();
    } catch (const std::exception&) {
        *out << event.caseName() << " (not encodable)";
    }
}

namespace testing {

using M = KeyModifiers;
using E = InputEvent;

inline InputPreferences preferences(double sensitivity = 1.0, bool natural = true, bool tapToClick = true,
                                    bool optionSendsMeta = false,
                                    InputInteractionMode mode = InputInteractionMode::touchMode) {
    return InputPreferences(mode, sensitivity, natural, tapToClick, optionSendsMeta);
}

// A 100×100 view over a 1000×1000 display; clicks within 0.3 s and 0.01 count
// together; a press drags after 5 view points.
struct EngineRig {
    std::vector<InputEvent> events;
    RemoteInputEngine engine;

    explicit EngineRig(InputPreferences prefs = preferences(), bool allowed = true)
        : engine(prefs, Size2D{100, 100}, Size2D{1000, 1000}, 0.3, 0.01, 5,
                 [this](const InputEvent& event) { events.push_back(event); }) {
        if (allowed) engine.updateSessionState(true, DevicePermissions::all, true);
    }

    std::vector<InputEvent> take() { return std::exchange(events, {}); }
};

inline InputEvent down(MouseButton button, std::int64_t count) { return E::mouseButton(button, true, count); }
inline InputEvent up(MouseButton button, std::int64_t count) { return E::mouseButton(button, false, count); }

} // namespace testing
} // namespace velorinth
