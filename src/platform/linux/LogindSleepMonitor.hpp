#pragma once

#include "platform/SystemSleepMonitor.hpp"
#include "platform/linux/DBusLoopConnection.hpp"

#include <asio/steady_timer.hpp>

#include <sdbus-c++/IProxy.h>
#include <sdbus-c++/Types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace velorinth {

// logind's PrepareForSleep on the system bus. While it watches it holds a
// "delay" inhibitor (a file descriptor from Inhibit): on PrepareForSleep(true)
// the sleep waits until the host has reported it or the report limit passed,
// whichever comes first; on PrepareForSleep(false) a new inhibitor is taken.
// Without a system bus or logind there are no events, and one log line says so.
class LogindSleepMonitor final : public SystemSleepMonitor,
                                 public std::enable_shared_from_this<LogindSleepMonitor> {
public:
    static constexpr const char* kService = "org.freedesktop.login1";
    static constexpr const char* kPath = "/org/freedesktop/login1";
    static constexpr const char* kManager = "org.freedesktop.login1.Manager";

    LogindSleepMonitor(asio::any_io_executor loop, Options options,
                       DBusLoopConnection::Opener opener = &DBusLoopConnection::openSystemBus);
    ~LogindSleepMonitor() override;

    void start(Handlers handlers) override;
    void stop() override;

    // Whether an inhibitor is held now. Loop thread.
    bool holdsInhibitor() const noexcept { return inhibitor_.isValid(); }

private:
    void opened();
    void unavailable(const std::string& reason);
    void onSignal(sdbus::Message& message);
    void takeInhibitor();
    void release(std::uint64_t sleep);

    asio::any_io_executor executor_;
    Options options_;
    DBusLoopConnection::Opener opener_;
    Handlers handlers_;
    std::shared_ptr<DBusLoopConnection> bus_;
    std::unique_ptr<sdbus::IProxy> manager_;
    sdbus::UnixFd inhibitor_;
    asio::steady_timer releaseTimer_;
    std::uint64_t sleeps_ = 0;
    bool inhibiting_ = false; // an Inhibit call is under way
    bool logged_ = false;
};

} // namespace velorinth
