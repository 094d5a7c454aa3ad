#include "platform/HostnameLookup.hpp"

#include "core/Cancellation.hpp"

#include <asio/execution_context.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>

#include <netdb.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace velorinth {

namespace {

constexpr const char* kThreadName = "velorinth.dns";

std::atomic<std::size_t> lookupsInFlight{0};

// Whether answers may still be posted to a loop: not once its io_context
// has begun to shut down.
struct Delivery {
    std::mutex lock;
    bool open = true;
};

// One per io_context; its shutdown closes the loop's delivery.
class LookupDeliveries final : public asio::execution_context::service {
public:
    static asio::execution_context::id id;

    explicit LookupDeliveries(asio::execution_context& context) : asio::execution_context::service(context) {}

    const std::shared_ptr<Delivery> delivery = std::make_shared<Delivery>();

private:
    void shutdown() override {
        std::lock_guard guard(delivery->lock);
        delivery->open = false;
    }
};

asio::execution_context::id LookupDeliveries::id;

// getaddrinfo as Asio's resolver calls it for TCP.
HostnameLookup::Answer lookUp(const std::string& host, const std::string& service, int flags) {
    addrinfo hints{};
    hints.ai_flags = flags;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    HostnameLookup::Answer answer;
    answer.addrinfoCode = ::getaddrinfo(host.empty() ? nullptr : host.c_str(),
                                        service.empty() ? nullptr : service.c_str(), &hints, &list);
    if (answer.addrinfoCode != 0) return answer;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        asio::ip::tcp::endpoint endpoint;
        if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) || entry->ai_addr == nullptr ||
            entry->ai_addrlen > endpoint.capacity()) {
            continue;
        }
        std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
        endpoint.resize(entry->ai_addrlen);
        answer.endpoints.push_back(endpoint);
    }
    ::freeaddrinfo(list);
    return answer;
}

} // namespace

struct HostnameLookup::State {
    explicit State(const asio::any_io_executor& executor) : signal(executor) {}

    void deliver(Answer delivered) {
        if (done || abandoned) return;
        done = true;
        answer = std::move(delivered);
        signal.notifyAll();
    }

    LoopSignal signal;
    bool done = false;
    bool abandoned = false;
    Answer answer;
};

HostnameLookup::HostnameLookup(const asio::any_io_executor& executor, const std::string& host,
                               const std::string& service, asio::ip::resolver_base::flags flags)
    : state_(std::make_shared<State>(executor)) {
    if (lookupsInFlight.fetch_add(1) >= kMostInFlight) {
        lookupsInFlight.fetch_sub(1);
        state_->deliver({EAI_AGAIN, {}});
        return;
    }
    std::shared_ptr<Delivery> delivery =
        asio::use_service<LookupDeliveries>(asio::query(executor, asio::execution::context)).delivery;
    // The thread holds the state weakly: the lookup and its waiter may both
    // be gone when it ends, and so may the loop.
    auto body = [weak = std::weak_ptr<State>(state_), delivery = std::move(delivery), executor, host, service,
                 flags = static_cast<int>(flags)] {
        ::pthread_setname_np(::pthread_self(), kThreadName);
        Answer answer = lookUp(host, service, flags);
        lookupsInFlight.fetch_sub(1);
        std::lock_guard guard(delivery->lock);
        if (!delivery->open) return;
        asio::post(executor, [weak, answer = std::move(answer)]() mutable {
            if (const std::shared_ptr<State> state = weak.lock()) state->deliver(std::move(answer));
        });
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        lookupsInFlight.fetch_sub(1);
        state_->deliver({EAI_AGAIN, {}});
    }
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
    state_->signal.notifyAll();
}

std::string HostnameLookup::addrinfoText(int code) { return gai_strerror(code); }

} // namespace velorinth
