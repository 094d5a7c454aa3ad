#pragma once

#include "core/Cancellation.hpp"

#include <asio/awaitable.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace velorinth {

// Races an operation against a deadline on the steady clock. The loser is
// cancelled and awaited, so the race returns only once both have ended: an
// operation must stop promptly when cancelled.
//   - the operation finishes first: its value, or its own error;
//   - the deadline passes first: Errors::timedOut();
//   - the awaiting task is cancelled: Errors::cancelled().
// Errors names the caller's component errors as a type, not a value: g++ 12
// destroys some temporaries of a co_await expression twice.
struct AsyncTimeout {
    template <class Errors, class T>
    static asio::awaitable<T> withTimeout(std::chrono::steady_clock::duration duration, asio::awaitable<T> operation);
};

namespace detail {

// The operation's ending as a value. `||` waits for the first *success*, so an
// operation that failed early would otherwise be held until the deadline.
template <class T>
struct RaceOutcome {
    std::optional<T> value;
    std::exception_ptr error;
};

template <>
struct RaceOutcome<void> {
    std::exception_ptr error;
};

template <class T>
asio::awaitable<RaceOutcome<T>> captureOutcome(asio::awaitable<T> operation) {
    RaceOutcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(operation);
        } else {
            outcome.value.emplace(co_await std::move(operation));
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

} // namespace detail

template <class Errors, class T>
asio::awaitable<T> AsyncTimeout::withTimeout(std::chrono::steady_clock::duration duration,
                                             asio::awaitable<T> operation) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer deadline(co_await asio::this_coro::executor, duration);
    auto race = detail::captureOutcome(std::move(operation)) || deadline.async_wait(asio::use_awaitable);
    std::optional<std::variant<detail::RaceOutcome<T>, std::monostate>> first;
    try {
        first.emplace(co_await std::move(race));
    } catch (const asio::system_error&) {
        // Only the race itself can throw here: its awaiting task was cancelled.
        throw Errors::cancelled();
    }
    const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    const bool cancelled = isCancelled(state);

    if (first->index() == 1) throw cancelled ? Errors::cancelled() : Errors::timedOut();
    auto& outcome = std::get<0>(*first);
    if (outcome.error) {
        if (cancelled) throw Errors::cancelled();
        std::rethrow_exception(outcome.error);
    }
    if constexpr (!std::is_void_v<T>) co_return std::move(*outcome.value);
}

} // namespace velorinth
