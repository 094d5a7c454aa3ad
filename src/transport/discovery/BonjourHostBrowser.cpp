#include "transport/discovery/BonjourHostBrowser.hpp"

#include "core/Constants.hpp"
#include "transport/discovery/DiscoveryNormalizer.hpp"

#include <string>
#include <utility>

namespace velorinth {

BonjourHostBrowser::BonjourHostBrowser(const asio::any_io_executor& executor, bool /*includePeerToPeer*/,
                                       ResultsHandler onResults, StatusHandler onStatus,
                                       const BonjourBrowsing::Factory& factory)
    : onResults_(std::move(onResults)), onStatus_(std::move(onStatus)), browser_(factory(executor)) {}

void BonjourHostBrowser::start() {
    if (started_) return;
    started_ = true;
    if (onStatus_) onStatus_(DiscoveryStatus::searching());
    BonjourBrowsing::Handlers handlers;
    handlers.onResults = [onResults = onResults_, stopped = stopped_](const std::vector<BonjourBrowsing::Result>& results) {
        if (*stopped) return;
        std::vector<DiscoveredService> services;
        for (const auto& result : results) {
            if (auto service = DiscoveryNormalizer::service(result)) services.push_back(std::move(*service));
        }
        if (onResults) onResults(DiscoveryNormalizer::normalize(services));
    };
    handlers.onState = [onStatus = onStatus_, stopped = stopped_](const BonjourBrowsing::State& state) {
        if (*stopped && state.kind != BonjourBrowsing::State::Kind::cancelled) return;
        if (auto reported = status(state); reported && onStatus) onStatus(*reported);
    };
    browser_->start(std::string(VelorinthService::serviceType), std::move(handlers));
}

void BonjourHostBrowser::stop() {
    if (*stopped_) return;
    *stopped_ = true;
    browser_->stop();
}

std::optional<DiscoveryStatus> BonjourHostBrowser::status(const BonjourBrowsing::State& state) {
    using Kind = BonjourBrowsing::State::Kind;
    switch (state.kind) {
    case Kind::setup: return std::nullopt;
    case Kind::ready: return DiscoveryStatus::ready();
    case Kind::waiting:
    case Kind::failed:
        if (state.error) return DiscoveryNormalizer::discoveryStatus(*state.error);
        break;
    case Kind::cancelled: return DiscoveryStatus::idle();
    case Kind::unknown: break;
    }
    return DiscoveryStatus::failed(kUnexpectedStateText);
}

} // namespace velorinth
