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
// Without a reachable daemon `onError` receives avahiUnavailable, once, on the
// executor, and never after destruction.
class AvahiServicePublisher {
public:
    using ErrorHandler = std::function<void(const ListenerPublicationError&)>;

    AvahiServicePublisher(const asio::any_io_executor& executor, ServiceAdvertisement advertisement,
                          std::uint16_t port, ErrorHandler onError);
    // Withdraws the service. Not from Avahi's thread.
    ~AvahiServicePublisher();

    AvahiServicePublisher(const AvahiServicePublisher&) = delete;
    AvahiServicePublisher& operator=(const AvahiServicePublisher&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace velorinth
