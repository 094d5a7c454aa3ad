#pragma once

#include "core/Error.hpp"
#include "core/HostPort.hpp"
#include "core/ServiceEndpoint.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// A DNS-SD resolution found no address; the text is the daemon's.
class BonjourResolutionError : public Error {
public:
    explicit BonjourResolutionError(std::string text) : Error(std::move(text)) {}
};

// Browsing for one DNS-SD service type in the default domain, and resolving a
// service to addresses.
//
// Lives on the event loop; callbacks run there, never after destruction and
// never for a browse that stop() ended (its `cancelled` excepted).
class BonjourBrowsing {
public:
    // An error as the browse reports it: its code and its text.
    struct BrowseError {
        int code = 0;
        std::string text;
        bool operator==(const BrowseError&) const = default;
    };
    // The browse's state; `waiting` and `failed` carry their error.
    struct State {
        enum class Kind { setup, ready, waiting, failed, cancelled, unknown };
        Kind kind = Kind::setup;
        std::optional<BrowseError> error;
        bool operator==(const State&) const = default;
    };
    // One service found. Its TXT record, when it has one, as the entries
    // ("key=value", or a bare "key") in record order.
    struct Result {
        ServiceEndpoint endpoint;
        std::optional<std::vector<std::string>> txtRecord;
        bool operator==(const Result&) const = default;
    };
    struct Handlers {
        // The whole current set after every change.
        std::function<void(const std::vector<Result>&)> onResults;
        std::function<void(const State&)> onState;
    };
    using Factory = std::function<std::unique_ptr<BonjourBrowsing>(const asio::any_io_executor&)>;

    virtual ~BonjourBrowsing() = default;

    virtual void start(const std::string& serviceType, Handlers handlers) = 0;
    // Ends the browse; `cancelled` follows.
    virtual void stop() = 0;

    // The service's addresses, IPv4 first; fails with BonjourResolutionError
    // when none is found, and with CancellationError when the awaiting task
    // is cancelled.
    virtual asio::awaitable<std::vector<HostPort>> resolve(const ServiceEndpoint::BonjourService& service) = 0;

    // The Avahi back-end.
    static std::unique_ptr<BonjourBrowsing> create(const asio::any_io_executor& executor);
};

} // namespace velorinth
