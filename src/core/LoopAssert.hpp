#pragma once
// Loop-only classes are driven from their event loop's thread and nowhere
// else; in debug builds their public entry points check it.

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>

#include <cassert>

namespace velorinth::detail {

// True on a thread running the executor's io_context; true as well for an
// executor of another kind, which gives nothing to check against.
template <class Executor>
bool runsOnThisThread(const Executor& executor) noexcept {
    if constexpr (requires { executor.running_in_this_thread(); }) {
        return executor.running_in_this_thread();
    } else {
        using Plain = asio::io_context::executor_type;
        using Tracked = decltype(asio::prefer(std::declval<Plain>(), asio::execution::outstanding_work.tracked));
        if (const auto* plain = executor.template target<Plain>()) return plain->running_in_this_thread();
        if (const auto* tracked = executor.template target<Tracked>()) return tracked->running_in_this_thread();
        return true;
    }
}

} // namespace velorinth::detail

#ifdef NDEBUG
#define VELORINTH_ASSERT_ON_LOOP(executor) ((void)0)
#else
#define VELORINTH_ASSERT_ON_LOOP(executor) \
    assert(::velorinth::detail::runsOnThisThread(executor) && "called off its event loop's thread")
#endif
