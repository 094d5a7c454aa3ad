// The wake-and-connect model: states and their texts, the timing policy,
// the failure texts, the first-frame gate and the relay client's error.

#include "transport/client/FirstFrameGate.hpp"
#include "transport/client/RemoteConnectionFailure.hpp"
#include "transport/client/WakeConnectCoordinator.hpp"
#include "transport/client/WakeConnectState.hpp"
#include "transport/client/WakeConnectTimingPolicy.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include "platform/tls/TLSSecurityError.hpp"
#include "support/LoopRunner.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string_view>
#include <thread>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using State = WakeConnectState;
using Case = WakeConnectState::Case;
using Failure = RemoteConnectionFailure;
using Outcome = FirstFrameGate::Outcome;

TEST(WakeConnectModel, StateTextsAndProgress) {
    const std::string ellipsis = "\u2026";
    struct Row {
        State state;
        bool inProgress;
        std::string detailed;
        std::string compact;
    };
    const Row rows[] = {
        {State::reconnecting(4), true, "Reconnecting" + ellipsis, "Reconnecting" + ellipsis},
        {State::authenticationFailed("Device IDENTITY VERIFICATION FAILED here."), false,
         "Device IDENTITY VERIFICATION FAILED here.", "Your Mac's identity could not be verified."},
        {State::authenticationFailed("Access for this Mac has been revoked."), false,
         "Access for this Mac has been revoked.", "Access for this Mac has been revoked."},
        {State::connectionFailed("Refused."), false, "Refused.", "Refused."},
        {Case::idle, false, "Ready to connect", "Ready to connect"},
        {Case::checkingHost, true, "Checking whether your Mac is awake" + ellipsis, "Checking your Mac" + ellipsis},
        {Case::hostReachable, true, "Establishing secure connection" + ellipsis, "Connecting securely" + ellipsis},
        {Case::resolvingWakeRoute, true, "Checking saved wake configuration" + ellipsis, "Checking your Mac" + ellipsis},
        {Case::wakeUnavailable, false,
         "Your Mac isn't reachable, and remote wake isn't available with the current configuration.",
         "Your Mac is unreachable."},
        {Case::sendingWakeRequest, true, "Attempting to wake your Mac" + ellipsis, "Waiting for your Mac" + ellipsis},
        {Case::contactingWakeRelay, true, "Contacting wake relay" + ellipsis, "Contacting wake relay" + ellipsis},
        {Case::wakeRequestSent, true, "Wake request sent.", "Wake request sent."},
        {Case::waitingForHost, true, "Attempting to wake your Mac" + ellipsis, "Waiting for your Mac" + ellipsis},
        {Case::authenticating, true, "Establishing secure connection" + ellipsis, "Connecting securely" + ellipsis},
        {Case::startingDesktopStream, true, "Starting your Mac desktop" + ellipsis, "Starting desktop" + ellipsis},
        {Case::waitingForFirstFrame, true, "Starting your Mac desktop" + ellipsis, "Starting desktop" + ellipsis},
        {Case::connected, false, "Connected", "Connected"},
        {Case::wakeTimedOut, false, "Velorinth couldn't confirm that your Mac woke up.",
         "Velorinth couldn't confirm that your Mac woke up."},
        {Case::cancelled, false, "Connection cancelled.", "Connection cancelled."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.state.isInProgress(), row.inProgress) << row.state.name();
        EXPECT_EQ(row.state.detailedStatusText(), row.detailed) << row.state.name();
        EXPECT_EQ(row.state.compactStatusText(), row.compact) << row.state.name();
    }
    EXPECT_EQ(WakeConnectMessages::wakeUnavailable,
              "Your Mac isn't reachable, and remote wake isn't available with the current configuration.");
    EXPECT_EQ(WakeConnectMessages::wakeNotConfirmed, "Velorinth couldn't confirm that your Mac woke up.");
    EXPECT_EQ(WakeConnectMessages::identityNotVerified, "Your Mac's identity could not be verified.");
    const std::array<std::string_view, 5> causes{
        "Your Mac may be powered off or in deep hibernation.",
        "A MacBook may be on battery power or closed without AC power and an external display.",
        "\u201cWake for network access\u201d may be disabled in macOS System Settings.",
        "Your Wi-Fi network or router may filter broadcast wake packets without a Bonjour Sleep Proxy.",
        "Your iPad may be connected to a different Wi-Fi network, VLAN, or guest subnet.",
    };
    EXPECT_EQ(WakeConnectMessages::wakeFailureCauses, causes);
    EXPECT_NE(State::connectionFailed("a"), State::connectionFailed("b"));
    EXPECT_NE(State::reconnecting(1), State::reconnecting(2));
}

TEST(WakeConnectModel, TheInitializerClampsBurstsAndAssignmentDoesNot) {
    const auto policy = [](int bursts) {
        return WakeConnectTimingPolicy(std::chrono::seconds(3), std::chrono::seconds(60), BackoffPolicy{}, std::nullopt,
                                       bursts, std::chrono::seconds(10), std::chrono::seconds(10), true);
    };
    // Both edges of the range and either side of each, and the extremes of int.
    const std::pair<int, int> rows[] = {{std::numeric_limits<int>::min(), 1}, {-1, 1}, {0, 1}, {1, 1}, {2, 2},
                                        {3, 3}, {4, 3}, {7, 3}, {std::numeric_limits<int>::max(), 3}};
    for (const auto& [given, kept] : rows) EXPECT_EQ(policy(given).maxWakeBursts, kept) << given;
    // An assigned value outside the range survives copies and counts in equality: nothing clamps it again.
    WakeConnectTimingPolicy assigned = policy(2);
    assigned.maxWakeBursts = 7;
    const WakeConnectTimingPolicy copied = assigned;
    EXPECT_EQ(copied.maxWakeBursts, 7);
    EXPECT_NE(copied, policy(7));
    WakeConnectTimingPolicy reassigned = policy(1);
    reassigned = assigned;
    EXPECT_EQ(reassigned.maxWakeBursts, 7);
    assigned.maxWakeBursts = 0;
    EXPECT_EQ(WakeConnectTimingPolicy(assigned).maxWakeBursts, 0);
}

TEST(WakeConnectModel, ConnectionAndReportableFailureTexts) {
    struct Row {
        std::exception_ptr error;
        std::string connection;
        std::optional<std::string> reportable;
    };
    const std::string dns = "Couldn't resolve \u201cm\u201d. Confirm your private network (such as Tailscale or "
                            "WireGuard) and MagicDNS/DNS are active.";
    const Row rows[] = {
        {std::make_exception_ptr(Failure::tlsNegotiationFailed("TLS status 48")),
         "Mutual TLS 1.3 negotiation failed: TLS status 48", "Mutual TLS 1.3 negotiation failed: TLS status 48"},
        {std::make_exception_ptr(Failure::invalidEndpointConfiguration("Bad host.")), "Bad host.", "Bad host."},
        {std::make_exception_ptr(Failure::dnsResolutionFailed("m", "x")), dns, dns},
        {std::make_exception_ptr(Failure::screenRecordingPermissionUnavailable()),
         "Screen Recording permission required on your Mac.", "Screen Recording permission required on your Mac."},
        {std::make_exception_ptr(Failure::connectionTimedOut()),
         "Connection timed out. Your Mac may be asleep, offline, or unreachable on the configured private network.",
         std::nullopt},
        {std::make_exception_ptr(Failure::connectionRefused("61")),
         "Connection was refused by the target address. Ensure Velorinth Host is open and Remote Access is enabled "
         "on your Mac.",
         std::nullopt},
        {std::make_exception_ptr(Failure::networkUnreachable("no route")),
         "Your Mac's private-network route is unreachable. Confirm your VPN or private network is connected on both "
         "devices.",
         std::nullopt},
        {std::make_exception_ptr(Failure::identityMismatch()),
         "Your Mac's identity could not be verified. Device identity verification failed \u2014 the host at this "
         "address did not match your paired Mac's cryptographic identity.",
         std::nullopt},
        {std::make_exception_ptr(Failure::hostAuthorizationDenied("")),
         "The Mac denied authorization for this session.", std::nullopt},
        {std::make_exception_ptr(Failure::trustedDeviceRevoked()), "Access for this iPad has been revoked.",
         std::nullopt},
        {std::make_exception_ptr(Failure::cancelled()), "Connection cancelled.", std::nullopt},
        {std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::timedOut)),
         "Couldn't establish a connection to your Mac.", std::nullopt},
        {std::make_exception_ptr(TLSSecurityError(TLSSecurityError::Case::exporterFailed)),
         "Failed to derive the TLS 1.3 channel binding secret.", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WakeConnectCoordinator::connectionFailureMessage(row.error), row.connection);
        EXPECT_EQ(WakeConnectCoordinator::reportableConnectFailureMessage(row.error), row.reportable) << row.connection;
    }
    EXPECT_FALSE(WakeConnectCoordinator::authenticationFailureMessage(
        std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::timedOut))));
}

TEST(WakeConnectModel, CandidatesWithAndWithoutAConfiguredEndpointDiffer) {
    using Candidate = WakeConnectCoordinator::EndpointCandidate;
    const ServiceEndpoint endpoint{HostPort{"mac.tailnet", 51891}};
    const Uuid id = Uuid::random();
    EXPECT_EQ((Candidate{endpoint, ConnectionRouteKind::privateNetwork, id}),
              (Candidate{endpoint, ConnectionRouteKind::privateNetwork, id}));
    EXPECT_NE((Candidate{endpoint, ConnectionRouteKind::privateNetwork, id}),
              (Candidate{endpoint, ConnectionRouteKind::privateNetwork, std::nullopt}));
}

TEST(WakeConnectModel, RelayClientErrorTextsAndEquality) {
    using E = WakeRelayClientError;
    EXPECT_EQ(std::string(E::relayUnreachable("no route").what()), "Wake relay is unreachable: no route");
    EXPECT_EQ(std::string(E::rateLimited("Slow down.").what()), "Slow down.");
    EXPECT_EQ(std::string(E::invalidInvitationFormat().what()),
              "Invalid Wake Relay pairing code. Copy the full vlrelay1|\u2026 invitation generated by "
              "VelorinthWakeRelay.");
    EXPECT_EQ(std::string(E::invitationTargetMismatch().what()), "This Wake Relay pairing code belongs to a different Mac.");
    EXPECT_EQ(E::relayIdentityMismatch(), E::relayIdentityMismatch());
    EXPECT_NE(E::permissionDenied("a"), E::permissionDenied("b"));
    EXPECT_NE(E::permissionDenied("a"), E::targetNotConfigured("a"));
}

TEST(FirstFrameGate, TheFirstOutcomeWinsAndOneResolutionWakesEveryWaiter) {
    LoopRunner loop;
    auto gate = std::make_shared<FirstFrameGate>();
    auto first = loop.spawn(gate->wait());
    auto second = loop.spawn(gate->wait());
    asio::cancellation_signal leave;
    auto leaving = loop.spawn(outcome(gate->wait()), leave.slot());
    loop.drain();
    leave.emit(asio::cancellation_type::terminal);
    EXPECT_NO_THROW(expectFailure<CancellationError>(loop.wait(leaving)));

    // From another thread, as the decode thread shows the first picture.
    std::thread decoder([&] {
        gate->resolve(Outcome::rendered());
        gate->resolve(Outcome::streamFailed("late"));
    });
    decoder.join();
    EXPECT_EQ(loop.wait(first), Outcome::rendered());
    EXPECT_EQ(loop.wait(second), Outcome::rendered());
    EXPECT_EQ(loop.run(gate->wait()), Outcome::rendered()); // at once
    gate->cancel();
    EXPECT_EQ(gate->resolvedOutcome(), Outcome::rendered());
}

} // namespace
