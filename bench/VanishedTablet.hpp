#pragma once

// AbuseBench's vanished tablet: a paired tablet in its own network namespace
// T, a veth pair away from the host, holds a session with heartbeats until
// its packets stop (a blackhole qdisc on its end of the veth, as when it
// leaves the Wi-Fi); the row is how long the host keeps its session. Runs in
// private namespaces (PrivateNamespaces), so root only.

#include "AbuseBenchSupport.hpp"
#include "DelayRelay.hpp"

#include "support/HostRig.hpp"
#include "support/NamespaceDaemons.hpp"
#include "support/PrivateNamespaces.hpp"

#include <asio/detached.hpp>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <string>

namespace velorinth::bench {

namespace vanished {

inline constexpr const char* kHostAddress = "10.77.0.1";
inline constexpr const char* kTabletAddress = "10.77.0.2";
inline constexpr Clock::duration kLimit = 90s; // the host's removal, at most

// The host as shipped, listening on its end of the veth.
inline HostSessionServer::Options hostOptions() {
    HostSessionServer::Options options;
    options.listenerFactory = [](const asio::any_io_executor& executor, const TLSDeviceIdentity& identity,
                                 SessionListener::Options listener, SessionListener::Handlers handlers) {
        listener.bindAddress = asio::ip::make_address(kHostAddress);
        return SessionListener::create(executor, identity, std::move(listener), std::move(handlers));
    };
    return options;
}

// Moves the loop's thread into namespace T: what it opens from then on is T's.
inline asio::awaitable<bool> joinTablet() {
    const int file = ::open("/run/netns/T", O_RDONLY | O_CLOEXEC);
    const bool joined = file >= 0 && ::setns(file, CLONE_NEWNET) == 0;
    if (file >= 0) ::close(file);
    co_return joined;
}

inline testing::NamespaceOutcome inside() {
    using Outcome = testing::NamespaceOutcome;
    const std::string host = kHostAddress, tablet = kTabletAddress;
    if (auto failed = testing::NamespaceDaemons::run({
            "ip netns add T",
            "ip link add vh type veth peer name vt netns T",
            "ip addr add " + host + "/24 dev vh",
            "ip -n T addr add " + tablet + "/24 dev vt",
            "ip link set vh up",
            "ip -n T link set vt up",
            "ip -n T link set lo up",
        })) {
        return *failed;
    }
    testing::HostRig rig(hostOptions(), 90s, true);
    Loop hostLoop(rig.io), tabletLoop;
    asio::thread_pool kdf{1};
    auto peer = std::make_unique<testing::ScriptedTabletPeer>(tabletLoop.io.get_executor(), kdf, "Vanishing iPad");
    rig.trustTablet(*peer);
    std::unique_ptr<DelayRelay> relay; // on T's loopback, to the host across the veth
    auto halt = [&](Outcome outcome) {
        tabletLoop.halt();
        hostLoop.halt();
        return outcome;
    };
    if (!await(tabletLoop, joinTablet(), "joining T")) {
        return halt(Outcome::skip("a thread could not join namespace T"));
    }
    await(tabletLoop, [&]() -> asio::awaitable<void> {
        relay = std::make_unique<DelayRelay>(tabletLoop.io.get_executor(),
                                             asio::ip::tcp::endpoint(asio::ip::make_address(host), rig.port),
                                             asio::ip::make_address(tablet), Clock::duration::zero());
        co_await peer->openSession(relay->port(), HandshakePurpose::reconnect);
        asio::co_spawn(tabletLoop.io, [](testing::ScriptedTabletPeer* p) -> asio::awaitable<void> {
            for (;;) (void)co_await p->receiveControl();
        }(peer.get()), asio::detached);
        asio::co_spawn(tabletLoop.io, [](testing::ScriptedTabletPeer* p) -> asio::awaitable<void> {
            for (std::uint64_t sequence = 2;; ++sequence) {
                co_await p->send(testing::ScriptedTabletPeer::message(SessionControlCommand::ping, sequence));
                co_await sleepUntil(Clock::now() + 1s);
            }
        }(peer.get()), asio::detached);
    }(), "the vanishing tablet's session");
    auto sessions = [&] {
        return await(hostLoop, [&]() -> asio::awaitable<std::size_t> {
            co_return rig.server->sessionDescriptors().size();
        }(), "the host's sessions");
    };
    std::this_thread::sleep_for(3s);
    if (sessions() != 1) return halt(Outcome::fail("the tablet's session did not hold before it vanished"));
    if (auto failed = testing::NamespaceDaemons::run({"tc -n T qdisc add dev vt root blackhole"})) {
        return halt(*failed);
    }
    const auto start = Clock::now();
    while (sessions() != 0 && Clock::now() < start + kLimit) std::this_thread::sleep_for(100ms);
    const double seconds = milliseconds(Clock::now() - start) / 1000;
    char line[160];
    if (sessions() == 0) {
        std::snprintf(line, sizeof line, "removed by the host %.1f s after its packets stopped (blackhole on its veth)",
                      seconds);
    } else {
        std::snprintf(line, sizeof line, "still registered %.1f s after its packets stopped", seconds);
    }
    return halt(Outcome::pass(line));
}

} // namespace vanished

// The row's text: its figure, or why it was skipped.
inline std::string vanishedTabletRow() {
    const testing::NamespaceOutcome outcome =
        testing::runInPrivateNamespaces("vanished", {"ip", "tc"}, vanished::inside, std::chrono::seconds(150));
    switch (outcome.result) {
    case testing::NamespaceOutcome::Result::passed: return outcome.message;
    case testing::NamespaceOutcome::Result::skipped: return "skipped: " + outcome.message;
    case testing::NamespaceOutcome::Result::failed: break;
    }
    return "FAILED: " + outcome.message;
}

} // namespace velorinth::bench
