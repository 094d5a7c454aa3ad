#pragma once

#include <asio/any_io_executor.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velorinth {

// The machine going to sleep and waking up, with a short delay of the sleep
// so the host can tell its tablets first.
class SystemSleepMonitor {
public:
    struct Handlers {
        // The system is about to sleep. Call `reported` (from any thread) once
        // the host has said so; the sleep waits for it at most `reportLimit`.
        std::function<void(std::function<void()> reported)> willSleep;
        std::function<void()> didWake;
    };
    struct Options {
        std::chrono::steady_clock::duration reportLimit = std::chrono::seconds(3);
        // Where the one line goes that says there are no sleep events; stderr by default.
        std::function<void(const std::string&)> log;
    };

    virtual ~SystemSleepMonitor() = default;

    // Starts watching; the handlers run on the loop. Loop thread.
    virtual void start(Handlers handlers) = 0;
    // Stops watching and lets a held-up sleep go. Loop thread.
    virtual void stop() = 0;

    // logind on the system bus, driven by `loop`.
    static std::shared_ptr<SystemSleepMonitor> create(asio::any_io_executor loop, Options options);
};

} // namespace velorinth
