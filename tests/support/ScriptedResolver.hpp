#pragma once

#include "core/Cancellation.hpp"
#include "core/LoopSignal.hpp"
#include "platform/HostnameResolver.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

// A resolver that records every name asked for and gives its scripted answer
// or failure; with neither it never answers, until its task is cancelled.
class ScriptedResolver final : public HostnameResolver {
public:
    explicit ScriptedResolver(asio::any_io_executor executor) : never_(std::move(executor)) {}
    asio::awaitable<std::vector<ResolvedIPAddress>> resolve(std::string host, std::uint16_t) override {
        asked.push_back(host);
        if (failure) std::rethrow_exception(failure);
        if (answer) co_return *answer;
        const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
        while (!isCancelled(caller)) co_await never_.wait();
        throw CancellationError();
    }
    std::optional<std::vector<ResolvedIPAddress>> answer;
    std::exception_ptr failure;
    std::vector<std::string> asked;

private:
    LoopSignal never_;
};

} // namespace velorinth::testing
