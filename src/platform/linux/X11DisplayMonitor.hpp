#pragma once

#include "platform/DisplayMonitor.hpp"
#include "platform/linux/X11DisplayConnection.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace velorinth {

// The main display of an X server, as the capture chooses it (the RandR
// primary output, else the first output with a CRTC, else the root window):
// identifier the output's XID, points equal to pixels, scale 1.0. A thread
// with its own connection refreshes the cache on RandR notifications and
// reads screen sleep from the power platform every poll interval, reporting
// each change. A lost connection keeps the last cache and is logged once.
class X11DisplayMonitor final : public DisplayMonitor {
public:
    X11DisplayMonitor(std::string displayName, std::shared_ptr<WakeEnvironmentPlatform> power,
                      std::chrono::steady_clock::duration sleepPollInterval);
    // Stops and joins the thread.
    ~X11DisplayMonitor() override;
    X11DisplayMonitor(const X11DisplayMonitor&) = delete;
    X11DisplayMonitor& operator=(const X11DisplayMonitor&) = delete;

    void start(Handler handler) override;
    DisplayDescriptor mainDisplay() override;
    ContentRect2D mainDisplayBounds() override;

private:
    void run();
    // Reads the main display into the cache; false when the query failed.
    bool refresh();
    void drainEvents(bool& changed);
    void loseConnection();

    const std::string displayName_;
    const std::shared_ptr<WakeEnvironmentPlatform> power_;
    const std::chrono::steady_clock::duration sleepPollInterval_;

    std::mutex mutex_; // guards the cache and started_
    DisplayDescriptor display_{0, 1, 1, 1.0};
    ContentRect2D bounds_{{0, 0}, {1, 1}};
    bool started_ = false;

    // The monitor thread's own once started.
    Handler handler_;
    std::unique_ptr<X11DisplayConnection> connection_;
    std::uint8_t randrFirstEvent_ = 0;
    int stopDescriptor_ = -1; // an eventfd
    std::thread thread_;
};

} // namespace velorinth
