#pragma once

#include <asio/awaitable.hpp>

#include <memory>
#include <type_traits>
#include <utility>

namespace velorinth {

// Runs `body`, a coroutine of `owner`'s, and keeps `owner` alive until it has
// ended. A public coroutine returns keepAlive(shared_from_this(), body(...)):
// the pointer is taken at the call, because an asio::awaitable starts only
// when it is awaited or spawned, and a caller may drop its last pointer in
// between.
template <class Owner, class T>
asio::awaitable<T> keepAlive(std::shared_ptr<Owner> owner, asio::awaitable<T> body) {
    (void)owner;
    if constexpr (std::is_void_v<T>) {
        co_await std::move(body);
    } else {
        co_return co_await std::move(body);
    }
}

} // namespace velorinth
