#pragma once

#include "platform/BonjourBrowsing.hpp"
#include "platform/linux/AvahiClientConnection.hpp"

#include <asio/any_io_executor.hpp>

#include <chrono>

#include <memory>
#include <string>
#include <vector>

namespace velorinth {

// Browsing and resolution through the Avahi daemon, on Avahi's thread.
//
// The browse covers every interface and both protocols in the default domain
// and keeps local and own results (a host on this machine is listed). Each
// new item is resolved once (its TXT record comes only with resolution) and
// listed when resolved; one result stands per interface, name, type and
// domain while its IPv4 or IPv6 item does. The daemon absent or lost reports
// `waiting` with kAvahiUnavailableText and forgets the results (`ready` again
// once it returns); a browser or client failure reports `failed` with
// Avahi's text and is not restarted.
class AvahiBonjourBrowsing : public BonjourBrowsing {
public:
    static constexpr const char* kAvahiUnavailableText =
        "Local network discovery is unavailable because the Avahi daemon is not running.";

    // Once one address family has answered a resolution, the other has
    // `secondFamilyGrace` more: Avahi takes its full time-out (seconds) to
    // give up on a family an interface does not carry.
    explicit AvahiBonjourBrowsing(asio::any_io_executor executor,
                                  std::chrono::steady_clock::duration secondFamilyGrace = std::chrono::milliseconds(500));
    ~AvahiBonjourBrowsing() override;

    void start(const std::string& serviceType, Handlers handlers) override;
    void stop() override;
    // Two resolvers at once on the service's interface, one per address
    // family, IPv4 first; a link-local IPv6 address carries "%interface".
    asio::awaitable<std::vector<HostPort>> resolve(const ServiceEndpoint::BonjourService& service) override;

    struct Browse;
    struct Resolution;

private:
    // Makes the client on first use; false when none could be made.
    bool connect();

    // Frees what is still pending of `resolution`; it never answers.
    void abandon(Resolution& resolution);

    asio::any_io_executor executor_;
    std::chrono::steady_clock::duration secondFamilyGrace_;
    std::shared_ptr<Browse> browse_;
    // Declared last: destroyed first, so Avahi's thread stops before `browse_` goes.
    std::unique_ptr<AvahiClientConnection> connection_;
};

} // namespace velorinth
