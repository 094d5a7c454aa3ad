#pragma once

// A tablet that asks a host program on loopback to pair, on a loop of the
// test's own, for the tests that run the host as a user starts it.

#include "support/LoopRunner.hpp"
#include "support/TabletRig.hpp"
#include "transport/client/ClientSessionConnector.hpp"

#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>

namespace velorinth::testing {

struct PairingTablet {
    LoopRunner loop;
    TabletRig rig;
    asio::thread_pool kdf{1}, store{1};
    ClientSessionConnector connector{loop.io.get_executor(), kdf, store, {10s, 10s, 1s, 300ms}};
    std::future<std::shared_ptr<AuthenticatedClientSession>> connecting;

    explicit PairingTablet(std::uint16_t port) {
        rig.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
        connecting = loop.spawn(connector.connect(rig.request(port, HandshakePurpose::pair)));
    }

    // Runs the loop until the tablet shows its code and the host shows the request (`shown`).
    void untilTheRequestShows(const std::function<bool()>& shown) {
        loop.until([&] { return !rig.codesShown.empty() && shown(); }, 30s);
    }

    // The attempt fails with the connection's own error once the host has
    // gone: the request ended with it.
    void expectTheRequestEnded() {
        try {
            loop.wait(connecting, 30s);
            ADD_FAILURE() << "paired with a host that had ended";
        } catch (const Error&) {
        }
    }
};

} // namespace velorinth::testing
