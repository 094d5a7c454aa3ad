#pragma once

#include <asio/execution.hpp>
#include <asio/execution_context.hpp>

#include <functional>
#include <memory>
#include <mutex>

class QObject;

namespace velorinth {

class QtMainExecutor;

// The UI thread as an Asio execution context: what runs there is posted into
// Qt's event loop through a context object that lives on that thread.
// Timers of its executor are kept by Asio's own thread and complete here.
class QtMainExecutionContext : public asio::execution_context {
public:
    // On the UI thread, once its QCoreApplication exists.
    QtMainExecutionContext();
    ~QtMainExecutionContext();
    QtMainExecutionContext(const QtMainExecutionContext&) = delete;
    QtMainExecutionContext& operator=(const QtMainExecutionContext&) = delete;

    QtMainExecutor executor();
    // Deletes the context object: handlers not yet run are dropped, and so is
    // everything posted afterwards. UI thread.
    void close();

    // Any thread.
    void submit(std::function<void()> function);

private:
    std::mutex mutex_;
    QObject* target_; // null once closed
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
