#pragma once

// The wake relay as tests run it: the real server on 127.0.0.1 with its own
// identity and store in memory, a local wake service over a fake transmitter
// (or the real one), and the loop runner driving it all.

#include "core/RemoteEndpoint.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "support/FakeWakePacketTransmitter.hpp"
#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/ScriptedRelayPeer.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"
#include "transport/relay/WakeRelayServer.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <asio/thread_pool.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace velorinth::testing {

// The relay's own admission but for one source's share and rate: tests open
// many connections at once from 127.0.0.1.
inline ListenerAdmission relayTestAdmission() {
    ListenerAdmission admission = WakeRelayServerOptions{}.admission;
    admission.places.perSourceCapacity = 0;
    admission.connectionRate = 0;
    return admission;
}

struct RelayRigOptions {
    std::chrono::steady_clock::duration handshakeTimeout = std::chrono::seconds(2);
    ListenerAdmission admission = relayTestAdmission();
    // Over the rig's in-memory secure store when none is given.
    std::shared_ptr<WakeRelayConfigurationStore> store;
    // The real UDP transmitter instead of the fake one.
    bool realTransmitter = false;
    std::vector<std::uint16_t> udpPorts{9};
    std::chrono::nanoseconds cooldown{0};
    int dispatchesPerMinute = 1000;
    // The server's return of freed memory (empty: the real one), and its delay.
    MemoryReleaseScheduler::Release releaseFreedMemory;
    std::chrono::steady_clock::duration memoryReleaseDelay = MemoryReleaseScheduler::kDefaultDelay;
};

struct RelayRig : LoopRunner {
    // The loop (the base) is built first, so it outlives everything that posts to it.
    asio::thread_pool storeWorker{1};
    std::shared_ptr<InMemorySecureStore> relayState = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<DeviceIdentityService> relayIdentity = memoryIdentity("Test Relay");
    std::shared_ptr<WakeRelayConfigurationStore> store;
    std::shared_ptr<FakeWakePacketTransmitter> transmitter;
    std::shared_ptr<LocalWakeService> localWake;
    std::shared_ptr<WakeRelayServer> server;
    std::uint16_t port = 0;

    explicit RelayRig(RelayRigOptions options = {}) {
        store = options.store ? options.store : std::make_shared<WakeRelayConfigurationStore>(relayState);
        std::shared_ptr<WakePacketTransmitter> sender;
        if (!options.realTransmitter)
            sender = transmitter = std::make_shared<FakeWakePacketTransmitter>(io.get_executor());
        localWake = std::make_shared<LocalWakeService>(
            io.get_executor(), sender,
            WakeDispatchPolicy(options.udpPorts, options.cooldown, options.dispatchesPerMinute,
                               std::chrono::seconds(1), true));
        WakeRelayServer::Options serverOptions;
        serverOptions.admission = options.admission;
        serverOptions.listenerFactory = loopbackListener;
        serverOptions.releaseFreedMemory = options.releaseFreedMemory;
        serverOptions.memoryReleaseDelay = options.memoryReleaseDelay;
        server = std::make_shared<WakeRelayServer>(io.get_executor(), relayIdentity, store, localWake,
                                                   options.handshakeTimeout, storeWorker, serverOptions);
        call([&] { server->start(0); });
        port = run(server->waitForListeningPort(std::chrono::seconds(5)));
    }

    ~RelayRig() {
        try {
            call([&] { server->stop(); });
            idle();
        } catch (...) {
        }
        storeWorker.join();
        io.stop();
    }

    // Until every connection has ended.
    void idle() { until([&] { return server->connectionsInProgress() == 0; }); }

    DevicePublicIdentity relayPublicIdentity() {
        return relayIdentity->publicIdentity(relayIdentity->loadOrCreateRecord());
    }

    // A Mac the relay may wake, at these addresses (loopback allowed).
    WakeRelayTargetRecord addTarget(const Uuid& mac, const std::vector<std::string>& addresses = {"127.0.0.1"}) {
        std::vector<WakeNetworkInterfaceTarget> interfaces;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            interfaces.emplace_back("eth" + std::to_string(i), WakeInterfaceKind::ethernet,
                                    MACAddress(std::string_view("02:00:00:AA:BB:CC")), addresses[i]);
        }
        WakeRelayTargetRecord record = WakeRelayTargetRecord::validate(mac, "Test Mac", std::move(interfaces),
                                                                       std::nullopt, false, Date::now(), true);
        store->upsertTarget(record);
        return record;
    }

    void authorize(ScriptedRelayPeer& peer, const Uuid& mac) {
        store->authorizeClient(peer.publicIdentity(), mac, Date::now());
    }

    WakeRelayPairingInvitation invite(const Uuid& mac, double lifetimeSeconds = 900) {
        const RemoteEndpoint endpoint = RemoteEndpoint::validating(
            "127.0.0.1", port, RemoteTransportKind::privateNetwork, std::nullopt, Uuid::random(), Date::now(), true);
        return store->issuePairingTicket(endpoint, relayPublicIdentity(), mac, Date::now(), lifetimeSeconds);
    }

    // One exchange of `peer`, the server idle again afterwards.
    RelayExchange send(ScriptedRelayPeer& peer, const Uuid& target, WakeRelayAction action, Date now = Date::now(),
                       ScriptedRelayPeer::Edit afterSigning = {}) {
        RelayExchange exchange = run(peer.send(port, target, std::move(action), now, std::move(afterSigning)));
        idle();
        return exchange;
    }
    RelayExchange exchange(ScriptedRelayPeer& peer, ScriptedRelayPeer::FrameMaker makeFrame,
                           std::string protocol = kRelayProtocol) {
        RelayExchange exchange = run(peer.exchange(port, std::move(makeFrame), std::move(protocol)));
        idle();
        return exchange;
    }
};

} // namespace velorinth::testing
