#pragma once

#include "core/Cancellation.hpp"
#include "core/Error.hpp"
#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <utility>

namespace velorinth {

// A coroutine of the event loop that its starter keeps a handle to: it can be
// cancelled, and any number of callers can await its value. It begins once
// its starter has returned, like a task started from inside an actor. T is
// copyable (each awaiting caller gets a copy). Loop thread only.
template <class T>
class LoopTask {
public:
    // Starts `body(task)`, a callable returning asio::awaitable<T>, on
    // `executor`. The task object lives at least as long as the coroutine.
    template <class Body>
    static std::shared_ptr<LoopTask> start(const asio::any_io_executor& executor, Body body) {
        std::shared_ptr<LoopTask> task(new LoopTask(executor));
        // The handler holds the task until Asio has let go of the coroutine:
        // its cancellation signal must outlive the coroutine's state.
        auto keep = [task, executor](std::exception_ptr) mutable {
            asio::post(executor, [task = std::move(task)] {});
        };
        asio::co_spawn(executor, run(task, std::move(body)),
                       asio::bind_cancellation_slot(task->signal_.slot(), std::move(keep)));
        return task;
    }

    LoopTask(const LoopTask&) = delete;
    LoopTask& operator=(const LoopTask&) = delete;

    // Sets the cancelled flag, which the body re-checks after each suspension,
    // and emits terminal cancellation into what it awaits (a timer wait
    // throws, a call sees its task cancelled). Once is enough.
    void cancel() {
        if (cancelled_) return;
        cancelled_ = true;
        if (!finished_) signal_.emit(asio::cancellation_type::terminal);
    }

    bool isCancelled() const noexcept { return cancelled_; }
    bool isFinished() const noexcept { return finished_; }

    // The body's value once it has ended, or its failure rethrown. A caller
    // whose own task is cancelled stops waiting with CancellationError; the
    // body goes on.
    asio::awaitable<T> result() {
        while (!finished_) {
            co_await done_.wait();
            const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
            if (!finished_ && velorinth::isCancelled(caller)) throw CancellationError();
        }
        if (failure_) std::rethrow_exception(failure_);
        co_return *value_;
    }

private:
    explicit LoopTask(const asio::any_io_executor& executor) : done_(executor) {}

    template <class Body>
    static asio::awaitable<void> run(std::shared_ptr<LoopTask> self, Body body) {
        const auto executor = co_await asio::this_coro::executor;
        co_await asio::post(executor, asio::use_awaitable);
        try {
            // A named local: g++ 12 destroys some temporaries of a co_await
            // expression twice.
            auto operation = body(*self);
            self->value_.emplace(co_await std::move(operation));
        } catch (...) {
            self->failure_ = std::current_exception();
        }
        self->finished_ = true;
        self->done_.notifyAll();
    }

    asio::cancellation_signal signal_;
    LoopSignal done_;
    bool cancelled_ = false;
    bool finished_ = false;
    std::optional<T> value_;
    std::exception_ptr failure_;
};

} // namespace velorinth
