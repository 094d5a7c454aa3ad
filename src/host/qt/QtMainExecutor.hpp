#pragma once

#include <asio/execution.hpp>
#include <asio/execution_context.hpp>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

namespace velorinth {

class QtMainExecutor;
class QtMainExecutorTarget;

// The UI thread as an Asio execution context: what runs there waits in a
// queue of its own, which one queued call on a context object living on that
// thread empties into Qt's event loop, in order. The queue's lock is the
// hand-off between threads (Qt's own event queue is not instrumented for the
// thread sanitizer). Timers of its executor are kept by Asio's own thread and
// complete here.
class QtMainExecutionContext : public asio::execution_context {
public:
    // On the UI thread, once its QCoreApplication exists.
    QtMainExecutionContext();
    ~QtMainExecutionContext();
    QtMainExecutionContext(const QtMainExecutionContext&) = delete;
    QtMainExecutionContext& operator=(const QtMainExecutionContext&) = delete;

    QtMainExecutor executor();
    // Deletes the context object and stops Asio's timer thread: handlers not
    // yet run are dropped here, and so is everything posted afterwards. UI thread.
    void close();

    // Any thread.
    void submit(std::function<void()> function);

private:
    friend class QtMainExecutorTarget;
    // UI thread: runs what was queued before this turn began.
    void drain();

    std::mutex mutex_;
    QObject* target_; // null once closed
    std::deque<std::function<void()>> queue_;
    bool drainPosted_ = false;
};

// An executor for co_spawn, timers and any_io_executor. Posting never runs
// the function inline.
class QtMainExecutor {
public:
    explicit QtMainExecutor(QtMainExecutionContext& context) noexcept : context_(&context) {}

    asio::execution_context& query(asio::execution::context_t) const noexcept { return *context_; }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    QtMainExecutor require(asio::execution::blocking_t::never_t) const noexcept { return *this; }

    template <class F>
    void execute(F f) const {
        // Asio's handlers are move-only; Qt copies what it queues.
        auto holder = std::make_shared<F>(std::move(f));
        context_->submit([holder] { (*holder)(); });
    }

    friend bool operator==(const QtMainExecutor& a, const QtMainExecutor& b) noexcept {
        return a.context_ == b.context_;
    }
    friend bool operator!=(const QtMainExecutor& a, const QtMainExecutor& b) noexcept { return !(a == b); }

private:
    QtMainExecutionContext* context_;
};

} // namespace velorinth
