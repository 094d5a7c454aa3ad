#pragma once
// How a task of the event loop learns that it was cancelled, in one place.

#include <asio/awaitable.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/error.hpp>
#include <asio/system_error.hpp>

#include "core/Error.hpp"

#include <exception>
#include <type_traits>
#include <utility>

namespace velorinth {

// True once the task owning `state` has been cancelled.
inline bool isCancelled(const asio::cancellation_state& state) noexcept {
    return state.cancelled() != asio::cancellation_type::none;
}

// True when an operation that completed with `error` was cut short: aborted,
// or awaited by a task cancelled meanwhile.
inline bool isCancellation(const asio::error_code& error, const asio::cancellation_state& caller) noexcept {
    return error == asio::error::operation_aborted || isCancelled(caller);
}

// True when `error` only says that an operation was cancelled: a
// CancellationError, an error whose component counts its case as one (the
// timeout race's PairingProtocolError cancelled), or Asio's operation_aborted.
// A connection's own `cancelled` (the peer's connection went away) is a
// failure, not a cancellation.
inline bool isCancellationError(const std::exception_ptr& error) noexcept {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const Error& failure) {
        return failure.isCancellation();
    } catch (const asio::system_error& failure) {
        return failure.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

// Awaits `operation`; where Asio would throw its asio::system_error, which it
// does only when a task awaits an operation after its own cancellation,
// throws `Cancelled(args...)`, the component's own cancelled error, instead.
template <class Cancelled, class T, class... Args>
asio::awaitable<T> mapAsioCancellation(asio::awaitable<T> operation, Args... args) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(operation);
        } else {
            co_return co_await std::move(operation);
        }
    } catch (const asio::system_error&) {
        throw Cancelled(args...);
    }
}

} // namespace velorinth
