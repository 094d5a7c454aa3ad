#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include <type_traits>
#include <utility>

namespace velorinth {

// Runs `work` on a worker thread (a disk write, a memory-hard derivation) and
// resumes the awaiting coroutine on its own executor with the result or the
// exception, so the loop goes on meanwhile. `work` must own what it touches.
// Pass it as a named local: g++ 12 destroys some temporaries of a co_await
// expression twice (lambdas and aggregates).
template <class Work>
asio::awaitable<std::invoke_result_t<Work&>> callOnWorker(asio::thread_pool::executor_type worker, Work work) {
    using Result = std::invoke_result_t<Work&>;
    auto task = [work = std::move(work)]() mutable -> asio::awaitable<Result> {
        if constexpr (std::is_void_v<Result>) {
            work();
            co_return;
        } else {
            co_return work();
        }
    };
    // co_spawn hands the outcome back through the awaiting coroutine's own
    // executor. The task is a named local for the reason above.
    co_return co_await asio::co_spawn(worker, std::move(task), asio::use_awaitable);
}

template <class Work>
asio::awaitable<std::invoke_result_t<Work&>> callOnWorker(asio::thread_pool& worker, Work work) {
    return callOnWorker(worker.get_executor(), std::move(work));
}

} // namespace velorinth
