#pragma once
// Loop-only classes are driven from their event loop's thread and nowhere
// else; in debug builds their public entry points check it.

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>

#include <cassert>

namespace velorinth {

// True on the thread running the executor's io_context; true for executors of
// another kind, which cannot tell.
inline bool runsOnThisThread(const asio::any_io_executor& executor) noexcept {
    if (const auto* loop = executor.target<asio::io_context::executor_type>()) return loop->running_in_this_thread();
    return true;
}

} // namespace velorinth

#ifdef NDEBUG
#define VELORINTH_ASSERT_ON_LOOP(executor) ((void)0)
#else
#define VELORINTH_ASSERT_ON_LOOP(executor) \
    assert(::velorinth::runsOnThisThread(executor) && "called off its event loop's thread")
#endif
