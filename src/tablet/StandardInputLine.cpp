#include "tablet/StandardInputLine.hpp"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <unistd.h>

namespace velorinth {

namespace {

std::optional<std::string> lineOf(std::string text, bool complete) {
    if (!complete && text.empty()) return std::nullopt;
    if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

// A regular file: read() never waits for it.
std::optional<std::string> readDirectly(int descriptor) {
    std::string text;
    char byte = 0;
    while (text.size() < StandardInputLine::kMaximumLength && ::read(descriptor, &byte, 1) == 1) {
        if (byte == '\n') return lineOf(std::move(text), true);
        text.push_back(byte);
    }
    return lineOf(std::move(text), false);
}

} // namespace

asio::awaitable<std::optional<std::string>> StandardInputLine::read(int descriptor) {
    // A duplicate, so closing it leaves the program's own descriptor open.
    const int duplicate = ::dup(descriptor);
    if (duplicate < 0) co_return std::nullopt;
    asio::posix::stream_descriptor input(co_await asio::this_coro::executor);
    asio::error_code error;
    input.assign(duplicate, error);
    if (error) {
        ::close(duplicate);
        co_return readDirectly(descriptor);
    }
    std::string text;
    const std::size_t length = co_await asio::async_read_until(
        input, asio::dynamic_buffer(text, kMaximumLength), '\n', asio::redirect_error(asio::use_awaitable, error));
    if (error == asio::error::operation_not_supported || error == asio::error::no_permission) {
        co_return readDirectly(descriptor);
    }
    if (error == asio::error::operation_aborted) throw asio::system_error(error);
    co_return lineOf(std::move(text), length > 0);
}

} // namespace velorinth
