#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace velorinth {

namespace detail {

// What a worker's call ended with, handed back by value.
template <class Result>
struct WorkerOutcome {
    std::optional<Result> value;
    std::exception_ptr error;
};

template <>
struct WorkerOutcome<void> {
    std::exception_ptr error;
};

} // namespace detail

// Runs `work` on a worker thread (a disk write, a memory-hard derivation) and
// resumes the awaiting coroutine on its own executor with the result or the
// exception, so the loop goes on meanwhile. `work` must own what it touches.
// Pass it as a named local: g++ 12 destroys some temporaries of a co_await
// expression twice (lambdas and aggregates).
template <class Work>
asio::awaitable<std::invoke_result_t<Work&>> callOnWorker(asio::thread_pool::executor_type worker, Work work) {
    using Result = std::invoke_result_t<Work&>;
    using Outcome = detail::WorkerOutcome<Result>;
    // A failure comes back as a value moved to the loop, not as an exception
    // thrown across: the worker keeps no reference to the exception once it
    // has handed it over, so the two threads never share its reference count.
    auto task = [work = std::move(work)]() mutable -> asio::awaitable<Outcome> {
        Outcome outcome;
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
            } else {
                outcome.value.emplace(work());
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        co_return outcome;
    };
    // co_spawn hands the outcome back through the awaiting coroutine's own
    // executor. The task is a named local for the reason above. The awaiting
    // task's cancellation is not passed on: the work cannot be interrupted,
    // and the cancellation state belongs to the loop's thread.
    Outcome outcome = co_await asio::co_spawn(
        worker, std::move(task), asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
    if (outcome.error) std::rethrow_exception(std::move(outcome.error));
    if constexpr (!std::is_void_v<Result>) co_return std::move(*outcome.value);
}

template <class Work>
asio::awaitable<std::invoke_result_t<Work&>> callOnWorker(asio::thread_pool& worker, Work work) {
    return callOnWorker(worker.get_executor(), std::move(work));
}

// Runs `operation`, a callable returning asio::awaitable<T>, as a coroutine
// on `executor` (another thread's loop) and resumes the awaiting coroutine on
// its own executor with the value or the failure, handed back by value as in
// callOnWorker. The awaiting task's cancellation is not passed on: a
// cancellation slot belongs to one thread. Pass `operation` as a named local.
template <class Operation>
asio::awaitable<typename std::invoke_result_t<Operation&>::value_type> callOnExecutor(asio::any_io_executor executor,
                                                                                       Operation operation) {
    using Result = typename std::invoke_result_t<Operation&>::value_type;
    using Outcome = detail::WorkerOutcome<Result>;
    auto task = [operation = std::move(operation)]() mutable -> asio::awaitable<Outcome> {
        Outcome outcome;
        try {
            if constexpr (std::is_void_v<Result>) {
                co_await operation();
            } else {
                outcome.value.emplace(co_await operation());
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        co_return outcome;
    };
    Outcome outcome = co_await asio::co_spawn(
        executor, std::move(task), asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
    if (outcome.error) std::rethrow_exception(std::move(outcome.error));
    if constexpr (!std::is_void_v<Result>) co_return std::move(*outcome.value);
}

} // namespace velorinth
