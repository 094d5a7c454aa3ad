#include "platform/HostnameLookup.hpp"

#include "core/Cancellation.hpp"

#include <asio/this_coro.hpp>

#include <netdb.h>

namespace velorinth {

struct HostnameLookup::State {
    explicit State(const asio::any_io_executor& executor) : signal(executor) {}
    LoopSignal signal;
    bool done = false;
    bool abandoned = false;
    Answer answer;
};

HostnameLookup::HostnameLookup(const asio::any_io_executor& executor, const std::string& host,
                               const std::string& service, asio::ip::resolver_base::flags flags)
    : state_(std::make_shared<State>(executor)), resolver_(executor) {
    // The handler holds the state, not this object: it may come after both
    // the lookup and its waiter are gone.
    resolver_.async_resolve(host, service, flags,
                            [state = state_](const asio::error_code& error,
                                             const asio::ip::tcp::resolver::results_type& results) {
                                if (state->abandoned) return;
                                state->done = true;
                                if (error) {
                                    state->answer.addrinfoCode = addrinfoCode(error);
                                } else {
                                    for (const auto& entry : results) state->answer.endpoints.push_back(entry.endpoint());
                                }
                                state->signal.notifyAll();
                            });
}

HostnameLookup::~HostnameLookup() { abandon(); }

asio::awaitable<std::optional<HostnameLookup::Answer>> HostnameLookup::wait() {
    const std::shared_ptr<State> state = state_;
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    while (!state->done && !state->abandoned) {
        co_await state->signal.wait();
        if (!state->done && isCancelled(caller)) abandon();
    }
    if (state->abandoned) co_return std::nullopt;
    co_return state->answer;
}

void HostnameLookup::abandon() {
    if (state_->done || state_->abandoned) return;
    state_->abandoned = true;
    // Ends a lookup still queued; one inside getaddrinfo runs to its end.
    resolver_.cancel();
    state_->signal.notifyAll();
}

int HostnameLookup::addrinfoCode(const asio::error_code& error) {
    if (error.category() == asio::error::get_addrinfo_category()) return error.value();
    if (error == asio::error::host_not_found) return EAI_NONAME;
    if (error == asio::error::host_not_found_try_again) return EAI_AGAIN;
    if (error == asio::error::no_data) return EAI_NODATA;
    if (error == asio::error::service_not_found) return EAI_SERVICE;
    if (error == asio::error::socket_type_not_supported) return EAI_SOCKTYPE;
    if (error == asio::error::address_family_not_supported) return EAI_FAMILY;
    if (error == asio::error::no_memory) return EAI_MEMORY;
    if (error == asio::error::invalid_argument) return EAI_BADFLAGS;
    return EAI_FAIL;
}

std::string HostnameLookup::addrinfoText(int code) { return gai_strerror(code); }

} // namespace velorinth
