#pragma once

// The scripted host: the real session server on 127.0.0.1 with in-memory
// stores, short bounds, every callback recorded, and scripted tablets on the
// same loop, all driven by the test's loop runner.

#include "platform/InMemorySecureStore.hpp"
#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/ScriptedTabletPeer.hpp"
#include "support/TLSTestIdentities.hpp"
#include "support/WindDown.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingReplayGuard.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/server/HostSessionServer.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velorinth::testing {

using namespace std::chrono_literals;

struct HostRig : LoopRunner {
    using Command = SessionControlCommand;

    // The loop (the base) is built first, so it outlives everything that posts to it.
    asio::thread_pool hostKdf{1};
    asio::thread_pool hostStore{1};
    asio::thread_pool peerKdf{1};
    std::shared_ptr<DeviceIdentityService> hostIdentity = std::make_shared<DeviceIdentityService>(
        std::make_shared<InMemorySecureStore>(), [] { return std::string("Test Mac"); });
    std::shared_ptr<TrustedDeviceStore> trust =
        std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>());
    std::shared_ptr<PairingReplayGuard> replayGuard;
    std::chrono::steady_clock::duration stepTimeout;
    std::shared_ptr<HostSessionServer> server;
    std::uint16_t port = 0;

    std::vector<ListenerStatus> statuses;
    std::vector<std::vector<ActiveSessionDescriptor>> sessionLists;
    std::vector<std::optional<IncomingPairingPrompt>> prompts;
    std::vector<std::exception_ptr> errors;
    std::vector<bool> publications;
    std::vector<std::pair<Uuid, InputEvent>> inputs;
    std::vector<Uuid> inputCleanups;
    std::vector<std::pair<VideoStreamConfiguration, std::uint64_t>> streamRequests;
    std::vector<std::uint64_t> keyframeRequests;
    std::vector<Uuid> streamsStopped;
    std::vector<Date> verifiedWakes;

    // Answers each prompt shown, on the loop, when set; inline (inside the
    // callback) when `answerInline`, so no other pairing can take the prompt over.
    std::optional<bool> autoAnswer;
    bool answerInline = false;
    bool injectionSucceeds = true;
    // Scripted answers of onVideoStreamRequested, in order; success when empty.
    std::deque<std::optional<VideoStreamStopReason>> streamAnswers;

    static HostSessionServer::Options fastOptions() {
        HostSessionServer::Options options;
        options.flushTimeout = 300ms;
        options.finalCloseTimeout = 300ms;
        options.portPollInterval = 5ms;
        options.listenerFactory = loopbackListener;
        // Tests and benches open many tablets at once from 127.0.0.1.
        options.admission.places.perSourceCapacity = 0;
        options.admission.connectionRate = 0;
        return options;
    }

    // Every step of a handshake is bounded by `stepTimeout`.
    explicit HostRig(HostSessionServer::Options options = fastOptions(),
                     std::chrono::steady_clock::duration approvalTimeout = 10s, bool listen = true,
                     std::size_t pairingsPerMinute = 5,
                     std::size_t replayCapacity = PairingReplayGuard::kDefaultCapacity,
                     std::chrono::steady_clock::duration stepTimeout = 5s)
        : replayGuard(std::make_shared<PairingReplayGuard>(std::chrono::seconds(300), replayCapacity)),
          stepTimeout(stepTimeout) {
        makeServer(std::move(options), approvalTimeout, pairingsPerMinute, listen);
    }

    // Stops the server and starts another, with the same stores and
    // callbacks, that runs as `identity` and listens on a new port.
    void restartAs(std::shared_ptr<DeviceIdentityService> identity) {
        run(server->stop(), 5s);
        hostIdentity = std::move(identity);
        makeServer(fastOptions(), server->approvalTimeout, 5, true);
    }

    // An orderly end: stop answers a prompt still open, whose waiting
    // handshake would otherwise outlive the loop.
    ~HostRig() {
        if (server) {
            windDown("the host did not stop", [&] {
                call([&] { server->setCallbacks({}); });
                run(server->stop(), 5s);
            });
        }
        io.stop();
    }

    void makeServer(HostSessionServer::Options options, std::chrono::steady_clock::duration approvalTimeout,
                    std::size_t pairingsPerMinute, bool listen) {
        hostIdentity->tlsIdentity(); // created off the loop, as the host does before starting it
        server = std::make_shared<HostSessionServer>(
            io.get_executor(), hostIdentity, trust, replayGuard,
            std::make_shared<PairingAttemptLimiter>(pairingsPerMinute, std::chrono::seconds(60)), hostKdf, hostStore,
            stepTimeout, approvalTimeout, CapabilitySet{Capability::h264, Capability::pointer, Capability::keyboard},
            DevicePermissions::connect,
            std::move(options));
        call([&] { server->setCallbacks(recordingCallbacks()); });
        if (listen) {
            call([&] { server->startListening(0, false); });
            port = run(server->waitForListeningPort(5s));
        }
    }

    HostSessionServer::Callbacks recordingCallbacks() {
        HostSessionServer::Callbacks callbacks;
        callbacks.onListenerStatus = [this](const ListenerStatus& status) { statuses.push_back(status); };
        callbacks.onSessionsChanged = [this](const auto& list) { sessionLists.push_back(list); };
        callbacks.onPromptChanged = [this](const std::optional<IncomingPairingPrompt>& prompt) {
            prompts.push_back(prompt);
            if (prompt && autoAnswer && answerInline) {
                server->resolvePendingPairing(*autoAnswer, prompt->id);
            } else if (prompt && autoAnswer) {
                asio::post(io, [this, id = prompt->id, approve = *autoAnswer] {
                    server->resolvePendingPairing(approve, id);
                });
            }
        };
        callbacks.onError = [this](std::exception_ptr error) { errors.push_back(error); };
        callbacks.onPublicationChanged = [this](bool published) { publications.push_back(published); };
        callbacks.onRemoteInput = [this](const Uuid&, const Uuid& session, const InputEvent& event) {
            inputs.emplace_back(session, event);
            return injectionSucceeds;
        };
        callbacks.onSessionClosedForInputCleanup = [this](const Uuid&, const Uuid& session) {
            inputCleanups.push_back(session);
        };
        callbacks.onVideoStreamRequested = [this](Uuid, Uuid, VideoStreamConfiguration configuration,
                                                  std::uint64_t generation) -> asio::awaitable<void> {
            streamRequests.emplace_back(configuration, generation);
            std::optional<VideoStreamStopReason> answer;
            if (!streamAnswers.empty()) {
                answer = streamAnswers.front();
                streamAnswers.pop_front();
            }
            if (answer) throw VideoStreamStopError(*answer);
            co_return;
        };
        callbacks.onVideoKeyframeRequested = [this](const Uuid&, const Uuid&, std::uint64_t generation) {
            keyframeRequests.push_back(generation);
        };
        callbacks.onVideoStreamStopped = [this](const Uuid&, const Uuid& session) {
            streamsStopped.push_back(session);
        };
        callbacks.onVerifiedWakeConfirmed = [this](const Uuid&, Date date) { verifiedWakes.push_back(date); };
        return callbacks;
    }

    std::unique_ptr<ScriptedTabletPeer> peer(std::string name = "Test iPad") {
        return std::make_unique<ScriptedTabletPeer>(io.get_executor(), peerKdf, std::move(name));
    }

    void trustTablet(ScriptedTabletPeer& tablet, DevicePermissions permissions = DevicePermissions::all) {
        trust->trust(trustedRecord(tablet.identity(), permissions, Date::now()));
    }

    // A reconnected session of a tablet trusted with `permissions`.
    ServerHello openTrustedSession(ScriptedTabletPeer& tablet, DevicePermissions permissions = DevicePermissions::all) {
        trustTablet(tablet, permissions);
        return run(tablet.openSession(port, HandshakePurpose::reconnect));
    }

    std::vector<ActiveSessionDescriptor> sessions() {
        return call([&] { return server->sessionDescriptors(); });
    }

    template <class E>
    E lastError() const {
        if (errors.empty()) throw std::runtime_error("no error was reported");
        return thrown<E>([&] { std::rethrow_exception(errors.back()); });
    }
};

// True when the peer's next read ends with the connection closed, not a message.
inline bool nextReadFails(HostRig& h, ScriptedTabletPeer& tablet) {
    return h.run(outcome(tablet.connection->receiveFrame())) != nullptr;
}

} // namespace velorinth::testing
