#pragma once

// The one way tests drive an event loop: bounded runs on the test thread, and
// outcomes as values so a test can assert on a failure.

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>

namespace velorinth::testing {

using namespace std::chrono_literals;

inline asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

// The outcome of an operation as a value, so two sides can run to completion together.
template <class T>
asio::awaitable<std::exception_ptr> outcome(asio::awaitable<T> operation) {
    try {
        co_await std::move(operation);
    } catch (...) {
        co_return std::current_exception();
    }
    co_return nullptr;
}

// Checks that `failure` holds an E and returns it.
template <class E>
E expectFailure(const std::exception_ptr& failure) {
    if (!failure) throw std::runtime_error("expected a failure, got success");
    try {
        std::rethrow_exception(failure);
    } catch (const E& error) {
        return error;
    } catch (const std::exception& other) {
        throw std::runtime_error(std::string("unexpected failure: ") + other.what());
    }
}

// The E that `call` throws; any other outcome fails the test.
template <class E, class F>
E thrown(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error;
    }
    throw std::runtime_error("the expected error was not thrown");
}

// Resolves a promise with a coroutine's outcome, on the coroutine's own loop.
template <class T>
struct PromiseHandler {
    std::promise<T> promise;
    void operator()(std::exception_ptr failure, T value) {
        if (failure) {
            promise.set_exception(std::move(failure));
        } else {
            promise.set_value(std::move(value));
        }
    }
};

template <>
struct PromiseHandler<void> {
    std::promise<void> promise;
    void operator()(std::exception_ptr failure) {
        if (failure) {
            promise.set_exception(std::move(failure));
        } else {
            promise.set_value();
        }
    }
};

// Starts `body` on `io` and gives its outcome as a future, resolved by the
// thread that runs `io` (the test's own). Not asio::use_future: it resolves
// from a thread of Asio's, and a failure's exception would then be released
// on two threads through a reference count ThreadSanitizer cannot see.
template <class T>
std::future<T> spawn(asio::io_context& io, asio::awaitable<T> body, asio::cancellation_slot slot = {}) {
    PromiseHandler<T> handler;
    std::future<T> future = handler.promise.get_future();
    if (slot.is_connected()) {
        asio::co_spawn(io, std::move(body), asio::bind_cancellation_slot(slot, std::move(handler)));
    } else {
        asio::co_spawn(io, std::move(body), std::move(handler));
    }
    return future;
}

// Waits on the loop until `condition` holds; the bound guards against hangs only.
inline asio::awaitable<void> until(std::function<bool()> condition, std::chrono::steady_clock::duration limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("the condition never held");
        co_await sleepFor(1ms);
    }
}

struct LoopRunner {
    asio::io_context io;

    // Runs `body` on the loop until it ends, for at most `limit` (a guard
    // against hangs, not a timing check), and returns or rethrows its outcome.
    template <class T>
    T run(asio::awaitable<T> body, std::chrono::steady_clock::duration limit = 20s) {
        auto future = spawn(std::move(body));
        return wait(future, limit);
    }

    // Starts `body` on the loop; `wait` runs the loop until it ends.
    template <class T>
    std::future<T> spawn(asio::awaitable<T> body, asio::cancellation_slot slot = {}) {
        return testing::spawn(io, std::move(body), slot);
    }

    // Runs the loop until `future` (of work spawned on it with `spawn`) is ready; returns or rethrows its outcome.
    template <class T>
    T wait(std::future<T>& future, std::chrono::steady_clock::duration limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (future.wait_for(0s) != std::future_status::ready) {
            if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("the test did not end in time");
            io.restart();
            io.run_one_for(10ms);
        }
        return future.get();
    }

    // Calls `f` on the loop (at once when already there), for loop-only
    // objects driven from a test.
    template <class F>
    auto call(F f) {
        if (io.get_executor().running_in_this_thread()) return f();
        return run([&]() -> asio::awaitable<decltype(f())> { co_return f(); }());
    }

    // Lets handlers already due run (for example a detached close), briefly.
    void settle(std::chrono::steady_clock::duration duration = 50ms) {
        io.restart();
        io.run_for(duration);
    }

    // Runs every handler that is ready, and those they make ready, without waiting.
    void drain() {
        io.restart();
        while (io.poll() > 0) {
        }
    }

    // Runs the loop until `condition` holds; a limit past run's own holds too.
    void until(std::function<bool()> condition, std::chrono::steady_clock::duration limit = 10s) {
        run(testing::until(std::move(condition), limit), limit + 1s);
    }
};

} // namespace velorinth::testing
