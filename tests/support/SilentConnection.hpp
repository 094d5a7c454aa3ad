#pragma once

// A raw TCP connection to a test server that never sends a byte, from a
// chosen address of 127.0.0.0/8, and whether the server closes it.

#include "support/LoopRunner.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>

namespace velorinth::testing {

inline asio::ip::tcp::socket silentConnection(asio::io_context& io, std::uint16_t port,
                                              const char* source = "127.0.0.1") {
    asio::ip::tcp::socket socket(io);
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(source), 0});
    socket.connect({asio::ip::address_v4::loopback(), port});
    return socket;
}

// True when the server closes `socket` within `limit` (a guard against hangs,
// not a timing check); runs `loop` meanwhile.
inline bool closedWithin(LoopRunner& loop, asio::ip::tcp::socket& socket, std::chrono::steady_clock::duration limit) {
    return loop.run([&]() -> asio::awaitable<bool> {
        using namespace asio::experimental::awaitable_operators;
        std::array<char, 1> byte{};
        std::error_code error;
        asio::steady_timer timer(loop.io, limit);
        auto read = socket.async_read_some(asio::buffer(byte), asio::redirect_error(asio::use_awaitable, error));
        auto wait = timer.async_wait(asio::use_awaitable);
        co_return (co_await (std::move(read) || std::move(wait))).index() == 0;
    }());
}

} // namespace velorinth::testing
