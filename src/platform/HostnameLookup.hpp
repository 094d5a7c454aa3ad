#pragma once

#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// One getaddrinfo on a thread of its own, its answer handed to the loop. A
// lookup cannot be interrupted, so whoever waits for it may stop at once
// instead: the lookup is then abandoned, finishes on its thread, and its
// answer is dropped. Nothing waits for an abandoned lookup: not the loop's
// run, nor its destruction, nor the process's exit (Asio's resolver made the
// first two wait until the system resolver gave up).
//
// Loop thread only; the object may go before its lookup has finished.
class HostnameLookup {
public:
    // Lookups running at once, abandoned ones included; past it a lookup
    // fails at once with EAI_AGAIN, so a resolver that never answers cannot
    // pile up threads.
    static constexpr std::size_t kMostInFlight = 16;

    struct Answer {
        int addrinfoCode = 0; // 0, or getaddrinfo's EAI_* failure
        std::vector<asio::ip::tcp::endpoint> endpoints; // in the system's order
    };

    // Starts looking up `host` with `service` (a port in decimal) for TCP,
    // either family, with getaddrinfo's `flags`.
    HostnameLookup(const asio::any_io_executor& executor, const std::string& host, const std::string& service,
                   asio::ip::resolver_base::flags flags);
    ~HostnameLookup();
    HostnameLookup(const HostnameLookup&) = delete;
    HostnameLookup& operator=(const HostnameLookup&) = delete;

    // The answer; none once abandon() was called or when the awaiting task
    // is cancelled (which abandons the lookup).
    asio::awaitable<std::optional<Answer>> wait();
    // Ends every wait at once with none.
    void abandon();

    // gai_strerror's text.
    static std::string addrinfoText(int code);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace velorinth
