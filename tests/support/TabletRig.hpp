#pragma once

// The tablet rig: a tablet built from the real client code (its identity, its
// trust store, its connector requests and what its session reported), and the
// host's end of its session (the responder's cipher over a connection accepted
// by the real listener on 127.0.0.1) to send what a host sends and read the tablet.

#include "support/LoopRunner.hpp"
#include "support/LoopbackListener.hpp"
#include "support/SessionEnd.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "support/TLSTestIdentities.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"
#include "transport/client/ClientSessionConnector.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace velorinth::testing {

using namespace asio::experimental::awaitable_operators;

using Command = SessionControlCommand;
using Msg = SessionControlMessage;

// The host's end of a tablet's session.
using HostEnd = SessionEnd;

struct ManualClocks {
    Date wall = Date(700'000'000);
    std::uint64_t uptimeNs = 5'000'000'000;
    std::chrono::steady_clock::time_point continuous = std::chrono::steady_clock::time_point(std::chrono::hours(1));

    AuthenticatedClientSession::Clocks clocks() {
        return {[this] { return wall; }, [this] { return uptimeNs; }, [this] { return continuous; }};
    }
};

// What a session told its owner.
struct SessionEvents {
    std::vector<ActiveSessionDescriptor> descriptors;
    std::vector<SessionTerminationReason> terminations;
    std::vector<EncodedVideoFrame> frames;
    std::vector<VideoStreamStatusUpdate> statuses;

    AuthenticatedClientSession::Handlers handlers() {
        return {
            [this](const ActiveSessionDescriptor& d) { descriptors.push_back(d); },
            [this](const SessionTerminationReason& r) { terminations.push_back(r); },
            [this](const EncodedVideoFrame& f) { frames.push_back(f); },
            [this](const VideoStreamStatusUpdate& s) { statuses.push_back(s); },
        };
    }
};

// A tablet: its identity, its trust store, and what its session reported.
struct TabletRig : SessionEvents {
    std::shared_ptr<DeviceIdentityService> identity = std::make_shared<DeviceIdentityService>(
        std::make_shared<InMemorySecureStore>(), [] { return std::string("Test iPad"); });
    std::shared_ptr<InMemorySecureStore> trustStorage = std::make_shared<InMemorySecureStore>();
    std::shared_ptr<TrustedDeviceStore> trust = std::make_shared<TrustedDeviceStore>(trustStorage);
    std::vector<std::string> codesShown;
    bool confirmCode = true;
    std::function<asio::awaitable<void>()> beforeAnswering; // as a user takes a moment to compare
    CapabilitySet capabilities{Capability::h264, Capability::hevc, Capability::pointer};

    DevicePublicIdentity publicIdentity() { return identity->publicIdentity(identity->loadOrCreateRecord()); }

    ClientSessionConnector::Request request(std::uint16_t port, HandshakePurpose purpose,
                                            std::optional<TrustedDevice> trustedHost = std::nullopt) {
        ClientSessionConnector::Request r;
        r.endpoint = {"127.0.0.1", port};
        r.identityService = identity;
        r.trustedDeviceStore = trust;
        r.purpose = purpose;
        r.trustedHost = std::move(trustedHost);
        r.capabilities = capabilities;
        r.confirmVerificationCode = [this](const PairingVerification& verification) -> asio::awaitable<bool> {
            codesShown.push_back(verification.verificationCode);
            if (beforeAnswering) co_await beforeAnswering();
            co_return confirmCode;
        };
        r.sessionHandlers = handlers();
        return r;
    }
};

} // namespace velorinth::testing
