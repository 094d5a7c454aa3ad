#include "platform/linux/LogindSleepMonitor.hpp"

#include <asio/post.hpp>

#include <sdbus-c++/Error.h>
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/Message.h>

#include <cstdio>

namespace velorinth {

std::shared_ptr<SystemSleepMonitor> SystemSleepMonitor::create(asio::any_io_executor loop, Options options) {
    return std::make_shared<LogindSleepMonitor>(std::move(loop), std::move(options));
}

LogindSleepMonitor::LogindSleepMonitor(asio::any_io_executor loop, Options options, DBusLoopConnection::Opener opener)
    : executor_(loop), options_(std::move(options)), opener_(std::move(opener)), releaseTimer_(loop) {
    if (!options_.log) {
        options_.log = [](const std::string& line) { std::fprintf(stderr, "velorinth: %s\n", line.c_str()); };
    }
}

LogindSleepMonitor::~LogindSleepMonitor() {
    manager_.reset();
    if (bus_) bus_->close();
}

void LogindSleepMonitor::start(Handlers handlers) {
    if (bus_) return;
    handlers_ = std::move(handlers);
    DBusLoopConnection::Handlers busHandlers;
    std::weak_ptr<LogindSleepMonitor> weak = weak_from_this();
    busHandlers.onOpened = [weak] {
        if (auto self = weak.lock()) self->opened();
    };
    busHandlers.onClosed = [weak](const std::string& reason) {
        if (auto self = weak.lock()) self->unavailable(reason);
    };
    busHandlers.onSignal = [weak](sdbus::Message& message) {
        if (auto self = weak.lock()) self->onSignal(message);
    };
    const std::string rule = std::string("type='signal',sender='") + kService + "',interface='" + kManager +
                             "',member='PrepareForSleep',path='" + kPath + "'";
    bus_ = DBusLoopConnection::open(executor_, opener_, {rule}, std::move(busHandlers));
}

void LogindSleepMonitor::stop() {
    releaseTimer_.cancel();
    inhibitor_ = sdbus::UnixFd{};
    manager_.reset();
    if (bus_) bus_->close();
    handlers_ = {};
}

void LogindSleepMonitor::unavailable(const std::string& reason) {
    inhibitor_ = sdbus::UnixFd{};
    if (logged_) return;
    logged_ = true;
    options_.log("no sleep and wake events from logind (" + reason + ")");
}

void LogindSleepMonitor::opened() {
    try {
        manager_ = sdbus::createProxy(bus_->connection(), kService, kPath);
    } catch (const sdbus::Error& error) {
        unavailable(error.getMessage());
        return;
    }
    takeInhibitor();
}

void LogindSleepMonitor::takeInhibitor() {
    if (!manager_ || !bus_ || !bus_->isOpen() || inhibitor_.isValid() || inhibiting_) return;
    try {
        sdbus::MethodCall call = manager_->createMethodCall(kManager, "Inhibit");
        call << std::string("sleep") << std::string("Velorinth Host")
             << std::string("Tells paired tablets that this computer is going to sleep") << std::string("delay");
        std::weak_ptr<LogindSleepMonitor> weak = weak_from_this();
        inhibiting_ = true;
        manager_->callMethod(call, [weak](sdbus::MethodReply& reply, const sdbus::Error* error) {
            const auto self = weak.lock();
            if (!self) return;
            self->inhibiting_ = false;
            if (error != nullptr) {
                self->unavailable(error->getName() + ": " + error->getMessage());
                return;
            }
            sdbus::UnixFd fd;
            try {
                reply >> fd;
            } catch (const sdbus::Error& failure) {
                self->unavailable(failure.getMessage());
                return;
            }
            self->inhibitor_ = std::move(fd);
        });
        bus_->kick();
    } catch (const sdbus::Error& error) {
        inhibiting_ = false;
        unavailable(error.getMessage());
    }
}

void LogindSleepMonitor::onSignal(sdbus::Message& message) {
    if (message.getInterfaceName() != kManager || message.getMemberName() != "PrepareForSleep") return;
    bool sleeping = false;
    try {
        message >> sleeping;
    } catch (const sdbus::Error&) {
        return;
    }
    if (!sleeping) {
        ++sleeps_; // a report still under way no longer holds anything
        releaseTimer_.cancel();
        takeInhibitor();
        if (handlers_.didWake) handlers_.didWake();
        return;
    }
    const std::uint64_t sleep = ++sleeps_;
    std::weak_ptr<LogindSleepMonitor> weak = weak_from_this();
    releaseTimer_.expires_after(options_.reportLimit);
    releaseTimer_.async_wait([weak, sleep](const std::error_code& error) {
        if (error) return;
        if (auto self = weak.lock()) self->release(sleep);
    });
    if (!handlers_.willSleep) {
        release(sleep);
        return;
    }
    handlers_.willSleep([weak, sleep, executor = executor_] {
        asio::post(executor, [weak, sleep] {
            if (auto self = weak.lock()) self->release(sleep);
        });
    });
}

void LogindSleepMonitor::release(std::uint64_t sleep) {
    if (sleep != sleeps_) return;
    releaseTimer_.cancel();
    // Closing the descriptor lets the sleep go on.
    inhibitor_ = sdbus::UnixFd{};
}

} // namespace velorinth
