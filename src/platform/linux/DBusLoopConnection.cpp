#include "platform/linux/DBusLoopConnection.hpp"

#include <asio/post.hpp>

#include <sdbus-c++/Error.h>

#include <poll.h>

#include <cstdint>
#include <exception>
#include <limits>
#include <thread>
#include <utility>

namespace velorinth {

namespace {

// Messages processed in one turn before other work of the loop gets its turn.
constexpr int kMessagesPerTurn = 64;

} // namespace

DBusLoopConnection::DBusLoopConnection(asio::any_io_executor executor, Handlers handlers)
    : executor_(std::move(executor)), handlers_(std::move(handlers)), socket_(executor_), timer_(executor_) {}

std::shared_ptr<DBusLoopConnection> DBusLoopConnection::open(const asio::any_io_executor& executor, Opener opener,
                                                             std::vector<std::string> matchRules, Handlers handlers) {
    std::shared_ptr<DBusLoopConnection> self(new DBusLoopConnection(executor, std::move(handlers)));
    // The match handlers run only inside pump(), on the loop, while `self`
    // is alive; a connection that never reaches the loop never runs them.
    DBusLoopConnection* owner = self.get();
    std::thread([executor, opener = std::move(opener), rules = std::move(matchRules), handoff = self->handoff_,
                 weak = std::weak_ptr<DBusLoopConnection>(self), owner]() mutable {
        auto bus = std::make_unique<Bus>();
        std::string failure;
        try {
            bus->connection = opener();
            for (const std::string& rule : rules) {
                bus->slots.push_back(bus->connection->addMatch(rule, [owner](sdbus::Message& message) {
                    try {
                        if (owner->handlers_.onSignal && !owner->closed_) owner->handlers_.onSignal(message);
                    } catch (...) {
                        // A malformed signal is ignored; nothing may unwind through sd-bus.
                    }
                }));
            }
        } catch (const sdbus::Error& error) {
            failure = error.getMessage().empty() ? error.getName() : error.getMessage();
            bus.reset();
        } catch (const std::exception& error) {
            failure = error.what();
            bus.reset();
        }
        const std::lock_guard guard(handoff->mutex);
        if (handoff->abandoned) return; // closed here, on this thread
        asio::post(executor, [weak = std::move(weak), bus = std::move(bus), failure = std::move(failure)]() mutable {
            if (auto self = weak.lock()) self->opened(std::move(bus), failure);
        });
    }).detach();
    return self;
}

std::unique_ptr<sdbus::IConnection> DBusLoopConnection::openSystemBus() { return sdbus::createSystemBusConnection(); }

DBusLoopConnection::~DBusLoopConnection() {
    {
        const std::lock_guard guard(handoff_->mutex);
        handoff_->abandoned = true;
    }
    release();
}

void DBusLoopConnection::opened(std::unique_ptr<Bus> bus, const std::string& failure) {
    if (closed_) return;
    if (!bus) {
        closed_ = true;
        if (handlers_.onClosed) handlers_.onClosed(failure);
        return;
    }
    bus_ = std::move(bus);
    try {
        asio::error_code ignored;
        socket_.assign(bus_->connection->getEventLoopPollData().fd, ignored);
    } catch (const sdbus::Error& error) {
        fail(error.getMessage());
        return;
    }
    if (handlers_.onOpened) handlers_.onOpened();
    kick();
}

void DBusLoopConnection::kick() {
    if (pumpPosted_ || !isOpen()) return;
    pumpPosted_ = true;
    asio::post(executor_, [self = shared_from_this()] {
        self->pumpPosted_ = false;
        self->pump();
    });
}

void DBusLoopConnection::pump() {
    if (!isOpen() || processing_) return;
    processing_ = true;
    try {
        bool more = true;
        for (int turn = 0; more && turn < kMessagesPerTurn && !closed_; ++turn) {
            more = bus_->connection->processPendingRequest();
        }
        processing_ = false;
        if (closed_) {
            release();
        } else if (more) {
            kick();
        } else {
            arm();
        }
    } catch (const sdbus::Error& error) {
        processing_ = false;
        fail(error.getMessage());
    }
}

void DBusLoopConnection::arm() {
    const sdbus::IConnection::PollData poll = bus_->connection->getEventLoopPollData();
    awaitSocket(asio::posix::stream_descriptor::wait_read, readArmed_);
    if ((poll.events & POLLOUT) != 0) awaitSocket(asio::posix::stream_descriptor::wait_write, writeArmed_);
    if (poll.timeout_usec == std::numeric_limits<std::uint64_t>::max()) {
        if (timerArmed_) timer_.cancel();
        timerArmed_ = false;
        return;
    }
    // sd-bus counts on CLOCK_MONOTONIC, as steady_clock does here.
    const auto deadline = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::microseconds(poll.timeout_usec)));
    if (timerArmed_ && deadline == timerDeadline_) return;
    timerArmed_ = true;
    timerDeadline_ = deadline;
    timer_.expires_at(deadline);
    timer_.async_wait([self = shared_from_this()](asio::error_code error) {
        if (error == asio::error::operation_aborted) return; // re-armed or closed
        self->timerArmed_ = false;
        self->pump();
    });
}

void DBusLoopConnection::awaitSocket(asio::posix::stream_descriptor::wait_type type, bool& armed) {
    if (armed) return;
    armed = true;
    socket_.async_wait(type, [self = shared_from_this(), &armed](asio::error_code error) {
        armed = false;
        if (!error) self->pump();
    });
}

void DBusLoopConnection::fail(const std::string& reason) {
    if (closed_) return;
    closed_ = true;
    // The owner drops what it made on the connection before it goes.
    if (handlers_.onClosed) handlers_.onClosed(reason);
    release();
}

void DBusLoopConnection::close() {
    closed_ = true;
    // Inside a handler the connection is still being processed: it goes once that returns.
    if (!processing_) release();
}

void DBusLoopConnection::release() {
    asio::error_code ignored;
    socket_.cancel(ignored);
    timer_.cancel();
    // The socket is sd-bus's own.
    if (socket_.is_open()) socket_.release();
    try {
        bus_.reset(); // flushes what was queued
    } catch (...) {
        // Nothing more to send on a broken connection.
    }
}

} // namespace velorinth
