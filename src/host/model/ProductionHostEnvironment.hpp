#pragma once

#include "core/EventLoop.hpp"
#include "host/model/HostModelEnvironment.hpp"
#include "platform/SecureStore.hpp"
#include "transport/server/HostSessionServer.hpp"

#include <memory>
#include <string>

namespace velorinth {

struct ProductionHostOptions {
    // The X display to capture, inject into and watch; empty: $DISPLAY.
    std::string displayName;
    // The toolkit's, supplied by the host views.
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<WindowActivator> windowActivator;
    HostSessionServerOptions serverOptions;
    // The identity and wake records' store; SecureStore::create() when none.
    std::shared_ptr<SecureStore> secureStore;
};

// The real host's environment over `loop`, which the application owns, has
// started and keeps until the model is gone. Its service factory builds the
// capture service, the injector, the wake readiness service, the BLE beacon,
// the identity service (when none is given), the pairing guards and the
// session server, in that order and with the host's constants. Opens the
// display for input (a short wait): call it on the UI thread, not the loop.
HostModelEnvironment makeProductionHostEnvironment(EventLoop& loop, asio::any_io_executor mainExecutor,
                                                   ProductionHostOptions options);

} // namespace velorinth
