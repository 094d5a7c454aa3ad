#pragma once

#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// One getaddrinfo through Asio's resolver, which runs an io_context's
// lookups on one private thread of its own. A lookup cannot be interrupted,
// so whoever waits for it may stop at once instead: the lookup is then
// abandoned, finishes on that thread, and its answer is dropped.
//
// Loop thread only; the object may go before its lookup has finished.
class HostnameLookup {
public:
    struct Answer {
        int addrinfoCode = 0; // 0, or getaddrinfo's EAI_* failure
        std::vector<asio::ip::tcp::endpoint> endpoints; // in the system's order
    };

    // Starts looking up `host` with `service` (a port in decimal) for TCP,
    // either family.
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

    // getaddrinfo's code for a failure of Asio's resolver, which turns
    // EAI_* results into codes of its own; EAI_FAIL for any other error.
    static int addrinfoCode(const asio::error_code& error);
    // gai_strerror's text.
    static std::string addrinfoText(int code);

private:
    struct State;
    std::shared_ptr<State> state_;
    asio::ip::tcp::resolver resolver_;
};

} // namespace velorinth
