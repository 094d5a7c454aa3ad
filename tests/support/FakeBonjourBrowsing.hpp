#pragma once

#include "core/LoopSignal.hpp"
#include "platform/BonjourBrowsing.hpp"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velorinth::testing {

// A browse whose events the test scripts (delivered at once, on the loop) and
// whose resolutions answer from a table: addresses, or a failure text; a name
// in neither table waits until its caller is cancelled.
class FakeBonjourBrowsing : public BonjourBrowsing {
public:
    struct Made {
        std::vector<FakeBonjourBrowsing*> browsings; // valid while their owner keeps them
    };
    static Factory factory(std::shared_ptr<Made> made);

    FakeBonjourBrowsing(const asio::any_io_executor& executor, std::shared_ptr<Made> made)
        : made_(std::move(made)), executor_(executor) {}
    ~FakeBonjourBrowsing() override { std::erase(made_->browsings, this); }

    void start(const std::string& serviceType, Handlers handlers) override;
    // Records the stop and reports `cancelled`, as a browse does.
    void stop() override;
    asio::awaitable<std::vector<HostPort>> resolve(const ServiceEndpoint::BonjourService& service) override;

    void deliver(const std::vector<Result>& results);
    void deliver(const State& state);
    static Result service(const std::string& name, std::optional<std::vector<std::string>> txt,
                          const std::string& interfaceName = "eth0");

    std::string browsedType;
    int starts = 0;
    int stops = 0;
    std::map<std::string, std::vector<HostPort>> answers;   // by service name
    std::map<std::string, std::string> failures;            // by service name
    std::vector<ServiceEndpoint::BonjourService> resolved;  // every request, in order

private:
    std::shared_ptr<Made> made_;
    asio::any_io_executor executor_;
    Handlers handlers_;
};

} // namespace velorinth::testing
