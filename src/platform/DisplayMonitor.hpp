#pragma once

#include "core/ControlProtocol.hpp"
#include "core/InputCoordinateMapper.hpp"
#include "platform/WakeEnvironmentPlatform.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velorinth {

// What the main display reports on its own.
enum class DisplayEvent { screenParametersChanged, screensDidSleep, screensDidWake };

// The main display as the host shows it to tablets and maps their input
// onto it: the capture's choice of display, kept in a cache that a thread of
// the monitor's own refreshes when the display configuration changes.
class DisplayMonitor {
public:
    // Called on the monitor's thread.
    using Handler = std::function<void(DisplayEvent)>;

    static constexpr std::chrono::seconds kSleepPollInterval{2};

    virtual ~DisplayMonitor() = default;

    // Fills the cache, then watches the display and reports to `handler`. A
    // second call does nothing. Blocks for one display query.
    virtual void start(Handler handler) = 0;
    // The cached display; a 1x1 placeholder before the first start or
    // without a display. Any thread; never asks the display server.
    virtual DisplayDescriptor mainDisplay() = 0;
    // Where the cached display lies, in root-window pixels. Any thread;
    // never asks the display server.
    virtual ContentRect2D mainDisplayBounds() = 0;

    // The X back-end on `displayName` (empty: $DISPLAY); screen sleep is read
    // from `power` every `sleepPollInterval`.
    static std::shared_ptr<DisplayMonitor> create(std::string displayName,
                                                  std::shared_ptr<WakeEnvironmentPlatform> power,
                                                  std::chrono::steady_clock::duration sleepPollInterval =
                                                      kSleepPollInterval);
    // A connection to the display `displayName` (empty: $DISPLAY), open for
    // as long as the result lives; null when the display takes none. An X
    // server started without -noreset resets when its last client leaves,
    // and a connection that lands in the reset fails: whoever checks the
    // display before connecting for good keeps this until that connection
    // is up. Blocks for one connect.
    static std::shared_ptr<const void> holdOpen(const std::string& displayName);
};

} // namespace velorinth
