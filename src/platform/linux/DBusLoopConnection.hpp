#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/Message.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velorinth {

// A D-Bus connection (sdbus-c++) driven by the event loop: its socket is
// waited on with an Asio descriptor wait and its time-outs with a timer, and
// every handler of the connection (replies, exported methods, matched
// signals) runs inside the loop's processing of it.
//
// sdbus-c++ 1.2 opens a connection and adds a match rule only by waiting for
// the bus's answer; both run once, on a short-lived thread of their own, and
// the opened connection then belongs to the loop. Everything else on it must
// be asynchronous (callMethod with a reply handler; deferred results when
// exporting); after queueing a message, call kick().
//
// Made with open() and owned on the loop. Handlers never run after close()
// or destruction.
class DBusLoopConnection : public std::enable_shared_from_this<DBusLoopConnection> {
public:
    using Opener = std::function<std::unique_ptr<sdbus::IConnection>()>;
    struct Handlers {
        // The connection can be used.
        std::function<void()> onOpened;
        // It could not be opened, or it broke; it is closed.
        std::function<void(const std::string& reason)> onClosed;
        // A message matching one of the rules.
        std::function<void(sdbus::Message& message)> onSignal;
    };

    // `opener` runs on the opening thread (and may also request a name).
    static std::shared_ptr<DBusLoopConnection> open(const asio::any_io_executor& executor, Opener opener,
                                                    std::vector<std::string> matchRules, Handlers handlers);
    // The system bus: $DBUS_SYSTEM_BUS_ADDRESS, else the system's socket.
    static std::unique_ptr<sdbus::IConnection> openSystemBus();

    ~DBusLoopConnection();
    DBusLoopConnection(const DBusLoopConnection&) = delete;
    DBusLoopConnection& operator=(const DBusLoopConnection&) = delete;

    bool isOpen() const noexcept { return bus_ != nullptr && !closed_; }
    // Only while open.
    sdbus::IConnection& connection() { return *bus_->connection; }

    // Sends what was queued and waits again.
    void kick();
    // Flushes what was queued and closes the connection; no handler runs
    // afterwards. Loop thread.
    void close();

private:
    // The connection and its match slots; the slots go first.
    struct Bus {
        std::unique_ptr<sdbus::IConnection> connection;
        std::vector<sdbus::Slot> slots;
        ~Bus() { slots.clear(); }
    };
    // Between the opening thread and the loop.
    struct Handoff {
        std::mutex mutex;
        bool abandoned = false;
    };

    DBusLoopConnection(asio::any_io_executor executor, Handlers handlers);
    void opened(std::unique_ptr<Bus> bus, const std::string& failure);
    void pump();
    void arm();
    void awaitSocket(asio::posix::stream_descriptor::wait_type type, bool& armed);
    void fail(const std::string& reason);
    void release();

    asio::any_io_executor executor_;
    Handlers handlers_;
    std::shared_ptr<Handoff> handoff_ = std::make_shared<Handoff>();
    std::unique_ptr<Bus> bus_;
    asio::posix::stream_descriptor socket_;
    asio::steady_timer timer_;
    std::chrono::steady_clock::time_point timerDeadline_{};
    bool readArmed_ = false;
    bool writeArmed_ = false;
    bool timerArmed_ = false;
    bool pumpPosted_ = false;
    bool processing_ = false;
    bool closed_ = false;
};

} // namespace velorinth
