#include "support/FakeBonjourBrowsing.hpp"

#include "core/Cancellation.hpp"

#include <asio/this_coro.hpp>

namespace velorinth::testing {

BonjourBrowsing::Factory FakeBonjourBrowsing::factory(std::shared_ptr<Made> made) {
    return [made](const asio::any_io_executor& executor) {
        auto browsing = std::make_unique<FakeBonjourBrowsing>(executor, made);
        made->browsings.push_back(browsing.get());
        return browsing;
    };
}

void FakeBonjourBrowsing::start(const std::string& serviceType, Handlers handlers) {
    ++starts;
    browsedType = serviceType;
    handlers_ = std::move(handlers);
}

void FakeBonjourBrowsing::stop() {
    ++stops;
    deliver(State{State::Kind::cancelled, std::nullopt});
}

void FakeBonjourBrowsing::deliver(const std::vector<Result>& results) {
    if (handlers_.onResults) handlers_.onResults(results);
}

void FakeBonjourBrowsing::deliver(const State& state) {
    if (handlers_.onState) handlers_.onState(state);
}

BonjourBrowsing::Result FakeBonjourBrowsing::service(const std::string& name,
                                                     std::optional<std::vector<std::string>> txt,
                                                     const std::string& interfaceName) {
    return Result{ServiceEndpoint{ServiceEndpoint::BonjourService{name, "_velorinth._tcp", "local", interfaceName}},
                  std::move(txt)};
}

asio::awaitable<std::vector<HostPort>> FakeBonjourBrowsing::resolve(const ServiceEndpoint::BonjourService& service) {
    resolved.push_back(service);
    if (const auto answer = answers.find(service.name); answer != answers.end()) co_return answer->second;
    if (const auto failure = failures.find(service.name); failure != failures.end()) {
        throw BonjourResolutionError(failure->second);
    }
    LoopSignal never(executor_);
    co_await never.wait(); // returns only when the caller is cancelled
    throw CancellationError();
}

} // namespace velorinth::testing
