#pragma once

#include "platform/BonjourBrowsing.hpp"
#include "transport/discovery/DiscoveredService.hpp"
#include "transport/discovery/ListenerStatus.hpp"

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>
#include <vector>

namespace velorinth {

// The tablet's Bonjour browser for "_velorinth._tcp" hosts: reports the
// whole normalized list after every change, and its status.
//
// Lives on the event loop; `onStatus` gets `searching` inside start(), every
// later call comes from the loop. Nothing runs before start(). After stop()
// only the browse's end (`idle`) is reported; later events are dropped. The
// handlers hold the callbacks, not the browser.
class BonjourHostBrowser {
public:
    using ResultsHandler = std::function<void(const std::vector<DiscoveredService>&)>;
    using StatusHandler = std::function<void(const DiscoveryStatus&)>;

    static constexpr const char* kUnexpectedStateText = "Discovery entered an unexpected state.";

    // `includePeerToPeer` has no meaning here and is ignored.
    BonjourHostBrowser(const asio::any_io_executor& executor, bool includePeerToPeer, ResultsHandler onResults,
                       StatusHandler onStatus, const BonjourBrowsing::Factory& factory = &BonjourBrowsing::create);

    BonjourHostBrowser(const BonjourHostBrowser&) = delete;
    BonjourHostBrowser& operator=(const BonjourHostBrowser&) = delete;

    // Only the first call does anything.
    void start();
    void stop();

    // The status a browse state reports; none for setup.
    static std::optional<DiscoveryStatus> status(const BonjourBrowsing::State& state);

private:
    ResultsHandler onResults_;
    StatusHandler onStatus_;
    std::unique_ptr<BonjourBrowsing> browser_;
    std::shared_ptr<bool> stopped_ = std::make_shared<bool>(false);
    bool started_ = false;
};

} // namespace velorinth
