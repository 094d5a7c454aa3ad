#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <optional>
#include <thread>

namespace velorinth {

// The one event loop: a single io_context driven by a single thread. Every
// networking service and actor-like component runs its coroutines here.
class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Starts the loop thread; a second call does nothing.
    void start();
    // Stops the loop and joins its thread; pending handlers are abandoned.
    // Called from the loop's own thread it only asks the loop to stop; the
    // thread is joined by a later stop() from elsewhere or by the destructor.
    void stop();
    bool isRunning() const noexcept { return thread_.joinable(); }
    bool runningInThisThread() const noexcept;

    asio::any_io_executor executor() { return context_.get_executor(); }
    asio::io_context& context() noexcept { return context_; }

    // One worker thread for memory-hard key derivation, so that it never
    // stalls the loop.
    asio::thread_pool& kdfWorker() noexcept { return kdfWorker_; }
    // One worker thread for durable writes (fsync), so that no session waits
    // for the disk.
    asio::thread_pool& storeWorker() noexcept { return storeWorker_; }

private:
    mutable asio::io_context context_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::thread thread_;
    asio::thread_pool kdfWorker_{1};
    asio::thread_pool storeWorker_{1};
};

} // namespace velorinth
