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
        {Case::wakeUnavailable, false, std::string(WakeConnectMessages::wakeUnavailable), "Your Mac is unreachable."},
        {Case::waitingForHost, true, "Attempting to wake your Mac" + ellipsis, "Waiting for your Mac" + ellipsis},
        {Case::wakeRequestSent, true, "Wake request sent.", "Wake request sent."},
        {Case::waitingForFirstFrame, true, "Starting your Mac desktop" + ellipsis, "Starting desktop" + ellipsis},
        {Case::connected, false, "Connected", "Connected"},
        {Case::wakeTimedOut, false, std::string(WakeConnectMessages::wakeNotConfirmed),
         std::string(WakeConnectMessages::wakeNotConfirmed)},
        {Case::cancelled, false, "Connection cancelled.", "Connection cancelled."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.state.isInProgress(), row.inProgress) << row.state.name();
        EXPECT_EQ(row.state.detailedStatusText(), row.detailed) << row.state.name();
        EXPECT_EQ(row.state.compactStatusText(), row.compact) << row.state.name();
    }
    EXPECT_EQ(WakeConnectMessages::wakeFailureCauses[2],
              "\u201cWake for network access\u201d may be disabled in macOS System Settings.");
    EXPECT_NE(State::connectionFailed("a"), State::connectionFailed("b"));
    EXPECT_NE(State::reconnecting(1), State::reconnecting(2));
}

TEST(WakeConnectModel, TheInitializerClampsBurstsAndAssignmentDoesNot) {
    const auto policy = [](int bursts) {
        return WakeConnectTimingPolicy(std::chrono::seconds(3), std::chrono::seconds(60), BackoffPolicy{}, std::nullopt,
                                       bursts, std::chrono::seconds(10), std::chrono::seconds(10), true);
    };
    const std::pair<int, int> rows[] = {{0, 1}, {-1, 1}, {7, 3}, {2, 2}};
    for (const auto& [given, kept] : rows) EXPECT_EQ(policy(given).maxWakeBursts, kept) << given;
    WakeConnectTimingPolicy assigned = policy(2);
    assigned.maxWakeBursts = 7;
    EXPECT_EQ(assigned.maxWakeBursts, 7);
}

TEST(WakeConnectModel, ConnectionAndReportableFailureTexts) {
    const auto tls = Failure::tlsNegotiationFailed("TLS status 48");
    struct Row {
        std::exception_ptr error;
        std::string connection;
        std::optional<std::string> reportable;
    };
    const Row rows[] = {
        {std::make_exception_ptr(tls), tls.what(), std::string(tls.what())},
        {std::make_exception_ptr(Failure::invalidEndpointConfiguration("Bad host.")), "Bad host.", "Bad host."},
        {std::make_exception_ptr(Failure::dnsResolutionFailed("m", "x")), Failure::dnsResolutionFailed("m", "x").what(),
         std::string(Failure::dnsResolutionFailed("m", "x").what())},
        {std::make_exception_ptr(Failure::screenRecordingPermissionUnavailable()),
         "Screen Recording permission required on your Mac.", "Screen Recording permission required on your Mac."},
        {std::make_exception_ptr(Failure::connectionTimedOut()), Failure::connectionTimedOut().what(), std::nullopt},
        {std::make_exception_ptr(Failure::connectionRefused("61")), Failure::connectionRefused("61").what(),
         std::nullopt},
        {std::make_exception_ptr(Failure::identityMismatch()), Failure::identityMismatch().what(), std::nullopt},
        {std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::timedOut)),
         "Couldn't establish a connection to your Mac.", std::nullopt},
        {std::make_exception_ptr(TLSSecurityError(TLSSecurityError::Case::exporterFailed)),
         TLSSecurityError(TLSSecurityError::Case::exporterFailed).what(), std::nullopt},
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
