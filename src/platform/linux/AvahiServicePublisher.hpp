#pragma once

#include "platform/ListenerPublicationError.hpp"
#include "platform/SessionListener.hpp"

#include <asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace velorinth {

// Publishes one DNS-SD service through the Avahi daemon, from Avahi's own
// thread. The client waits for a daemon that is not running yet (or that
// restarts) and publishes when it appears; a name already taken on the
// network is replaced by Avahi's alternative ("Name #2").
//
// Each change between published and unpublishable is reported once, on the
// executor, and never after destruction: `onError` receives avahiUnavailable
// while no daemon is reachable, `onPublished` runs once the daemon has
// established the service. Waiting and retrying report nothing more.
class AvahiServicePublisher {
public:
    using ErrorHandler = std::function<void(const ListenerPublicationError&)>;
    using PublishedHandler = std::function<void()>;

    AvahiServicePublisher(const asio::any_io_executor& executor, ServiceAdvertisement advertisement,
                          std::uint16_t port, ErrorHandler onError, PublishedHandler onPublished);
    // Withdraws the service. Not from Avahi's thread.
    ~AvahiServicePublisher();

    AvahiServicePublisher(const AvahiServicePublisher&) = delete;
    AvahiServicePublisher& operator=(const AvahiServicePublisher&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace velorinth
