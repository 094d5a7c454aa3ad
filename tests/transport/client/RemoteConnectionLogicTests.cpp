// The remote connection service's pure parts: the candidate list, the
// address gate of saved host names, and the classification of failures.

#include "transport/client/RemoteConnectionService.hpp"

#include "support/LoopRunner.hpp"
#include "support/ScriptedResolver.hpp"
#include "support/TLSTestIdentities.hpp"

#include "core/LoopSignal.hpp"
#include "platform/HostnameResolverError.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/tls/TLSSecurityError.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/session/SessionValueTypes.hpp"

#include <asio/error.hpp>
#include <gtest/gtest.h>

#include <cerrno>
#include <openssl/ssl.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Failure = RemoteConnectionFailure;
using Candidate = RemoteConnectionCandidate;
using Kind = ObservedNetworkError::Kind;

RemoteEndpoint saved(const std::string& host, std::uint16_t port = 51891, Date verified = Date(),
                     RemoteHostKind kind = RemoteHostKind::dnsHostname) {
    RemoteEndpoint endpoint{Uuid::random(), host, port, kind, RemoteTransportKind::privateNetwork, std::nullopt,
                            Date(10), std::nullopt, std::nullopt};
    if (verified != Date()) endpoint.lastVerifiedAt = verified;
    return endpoint;
}

WakeNetworkInterfaceTarget target(const std::string& name, WakeInterfaceKind kind, std::optional<std::string> ip) {
    return WakeNetworkInterfaceTarget(name, kind, MACAddress(std::string_view("00:11:22:33:44:55")), std::move(ip));
}

TEST(RemoteConnectionCandidates, OrderDuplicatesAndTheSavedAddressFallback) {
    TrustedDevice mac = trustedRecord(makeTestIdentity("Mac").publicIdentity);
    const RemoteEndpoint older = saved("old.tailnet");
    const RemoteEndpoint verified = saved("verified.tailnet", 51891, Date(500));
    const RemoteEndpoint sameAsTarget = saved("192.168.7.30", 51891, Date(), RemoteHostKind::ipv4Literal);
    mac.remoteEndpoints = {older, verified, older, sameAsTarget};
    SavedWakeConfiguration wake = SavedWakeConfiguration::empty(Date(1));
    wake.targets = {target("wlan0", WakeInterfaceKind::wifi, "192.168.7.40"),
                    target("en1", WakeInterfaceKind::ethernet, "192.168.7.30"), // a saved endpoint stands in for it
                    target("en0", WakeInterfaceKind::ethernet, "192.168.7.20"),
                    target("en2", WakeInterfaceKind::ethernet, "192.168.7.20"), // the same address again
                    target("en3", WakeInterfaceKind::ethernet, std::nullopt)};
    wake.bonjourServicePort = 51891;
    mac.wakeConfiguration = wake;
    const ServiceEndpoint bonjour{ServiceEndpoint::BonjourService{"Mac", "_velorinth._tcp", "local.", "eth0"}};

    EXPECT_EQ(RemoteConnectionService::candidates(mac, bonjour, true),
              (std::vector<Candidate>{Candidate::bonjourLocal(bonjour), Candidate::configuredRemote(verified),
                                      Candidate::configuredRemote(older), Candidate::configuredRemote(sameAsTarget),
                                      Candidate::savedLocalDirect("192.168.7.20", 51891),
                                      Candidate::savedLocalDirect("192.168.7.40", 51891)}));
    EXPECT_EQ(RemoteConnectionService::candidates(mac, std::nullopt, false).size(), 3u); // fallback off

    // The same address on another port does not stand in for the target.
    mac.remoteEndpoints = {saved("192.168.7.20", 5000, Date(), RemoteHostKind::ipv4Literal)};
    EXPECT_EQ(RemoteConnectionService::candidates(mac, std::nullopt, true).size(), 4u);
    for (const std::optional<std::uint16_t> port : {std::optional<std::uint16_t>(0), std::optional<std::uint16_t>()}) {
        mac.wakeConfiguration->bonjourServicePort = port;
        EXPECT_EQ(RemoteConnectionService::candidates(mac, std::nullopt, true).size(), 1u);
    }
    mac.remoteEndpoints.clear();
    EXPECT_TRUE(RemoteConnectionService::candidates(mac, std::nullopt, true).empty());

    EXPECT_EQ(Candidate::configuredRemote(saved("mac.tailnet", 0)).networkEndpoint(), std::nullopt);
    EXPECT_EQ(Candidate::savedLocalDirect("192.168.7.20", 51891).routeKind(), ConnectionRouteKind::localDirect);
    EXPECT_EQ(Candidate::configuredRemote(verified).routeKind(), ConnectionRouteKind::privateNetwork);
}

TEST(RemoteConnectionAddresses, LiteralsPassAndNamesAreResolvedWithinTheLimitAndFiltered) {
    LoopRunner loop;
    asio::thread_pool kdf{1}, store{1};
    auto resolver = std::make_shared<ScriptedResolver>(loop.io.get_executor());
    const auto service = [&](bool allowLoopback) {
        return std::make_shared<RemoteConnectionService>(
            loop.io.get_executor(), kdf, store,
            std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [] { return "iPad"; }),
            std::make_shared<TrustedDeviceStore>(std::make_shared<InMemorySecureStore>()), resolver, allowLoopback);
    };
    const auto strict = service(false);
    const auto resolve = [&](const std::shared_ptr<RemoteConnectionService>& s, const RemoteEndpoint& endpoint) {
        return loop.run(outcome(s->resolveAddresses(endpoint, std::chrono::milliseconds(50))));
    };

    EXPECT_EQ(loop.run(strict->resolveAddresses(saved("fd7a::1", 51891, Date(), RemoteHostKind::ipv6Literal), 50ms)),
              (std::vector<ResolvedIPAddress>{{"fd7a::1", true}}));
    EXPECT_TRUE(resolver->asked.empty()); // a literal is never looked up

    resolver->answer = {{"127.0.0.1", false}};
    const Failure loopbackOnly = expectFailure<Failure>(resolve(strict, saved("loop.example")));
    EXPECT_EQ(loopbackOnly, Failure::invalidEndpointConfiguration(
                                "Hostname \u201cloop.example\u201d resolved only to disallowed loopback, multicast, or "
                                "unspecified addresses."));
    EXPECT_EQ(loop.run(service(true)->resolveAddresses(saved("loop.example"), 50ms)), *resolver->answer);

    resolver->answer = {{"224.0.0.1", false}, {"100.64.0.7", false}, {"::", true}, {"fd7a::7", true}};
    EXPECT_EQ(loop.run(strict->resolveAddresses(saved("mac.tailnet"), 50ms)),
              (std::vector<ResolvedIPAddress>{{"100.64.0.7", false}, {"fd7a::7", true}}));

    resolver->answer.reset(); // never answers
    EXPECT_EQ(expectFailure<Failure>(resolve(strict, saved("slow.example"))),
              Failure::dnsResolutionFailed("slow.example", "DNS resolution timed out."));
    resolver->failure = std::make_exception_ptr(std::runtime_error("resolver broke"));
    EXPECT_EQ(expectFailure<Failure>(resolve(strict, saved("odd.example"))),
              Failure::dnsResolutionFailed("odd.example", "resolver broke"));
    resolver->failure = std::make_exception_ptr(HostnameResolverError::dnsResolutionFailed("gone.example", "NXDOMAIN"));
    EXPECT_EQ(expectFailure<Failure>(resolve(strict, saved("gone.example"))),
              Failure::dnsResolutionFailed("gone.example", "NXDOMAIN"));
}

TEST(RemoteConnectionClassification, EachRuleInOrder) {
    const auto posix = [](int code, const char* text) { return ObservedNetworkError{Kind::posix, code, text}; };
    const ObservedNetworkError refused = posix(ECONNREFUSED, "Connection refused");
    const auto network = std::make_exception_ptr(NetworkConnectionError::network("boom"));
    const auto timedOut = std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::timedOut));
    struct Row {
        const char* name;
        std::exception_ptr error;
        std::optional<ObservedNetworkError> observed;
        std::optional<std::string> host;
        Failure expected;
    };
    const Row rows[] = {
        {"itself", std::make_exception_ptr(Failure::identityMismatch()), refused, {}, Failure::identityMismatch()},
        {"cancellation", std::make_exception_ptr(CancellationError()), refused, {}, Failure::cancelled()},
        {"asio aborted", std::make_exception_ptr(asio::system_error(asio::error::operation_aborted)), refused, {},
         Failure::cancelled()},
        {"connection cancelled", std::make_exception_ptr(NetworkConnectionError(NetworkConnectionError::Case::cancelled)),
         refused, {}, Failure::cancelled()},
        {"timeout after a refusal", timedOut, refused, {}, Failure::connectionRefused("Connection refused")},
        {"timeout, nothing observed", timedOut, {}, {}, Failure::connectionTimedOut()},
        {"timeout, an unlisted errno", timedOut, posix(EPIPE, "Broken pipe"), {}, Failure::connectionTimedOut()},
        {"pairing identity", std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::identityMismatch)),
         {}, {}, Failure::identityMismatch()},
        {"pairing other",
         std::make_exception_ptr(PairingProtocolError(PairingProtocolError::Case::transcriptMismatch)), refused, {},
         Failure::tlsNegotiationFailed(PairingProtocolError::text(PairingProtocolError::Case::transcriptMismatch).data())},
        {"TLS pin", std::make_exception_ptr(TLSSecurityError(TLSSecurityError::Case::pinnedFingerprintMismatch)), {},
         {}, Failure::identityMismatch()},
        {"store revoked", std::make_exception_ptr(TrustedDeviceStoreError(TrustedDeviceStoreError::Case::revokedDevice)),
         {}, {}, Failure::trustedDeviceRevoked()},
        {"store key changed",
         std::make_exception_ptr(TrustedDeviceStoreError(TrustedDeviceStoreError::Case::identityChanged)), {}, {},
         Failure::identityMismatch()},
        {"host revoked", std::make_exception_ptr(SessionHandshakeError(SessionHandshakeError::Case::revokedOnHost)),
         {}, {}, Failure::trustedDeviceRevoked()},
        {"host approval timeout",
         std::make_exception_ptr(SessionHandshakeError(SessionHandshakeError::Case::approvalTimedOut)), {}, {},
         Failure::connectionTimedOut()},
        {"host rejected", std::make_exception_ptr(SessionHandshakeError::rejectedByHost("Not now.")), refused, {},
         Failure::hostAuthorizationDenied("Not now.")},
        {"unreachable", network, posix(EHOSTUNREACH, "No route to host"), {},
         Failure::networkUnreachable("No route to host")},
        {"errno timeout", network, posix(ETIMEDOUT, "Connection timed out"), {}, Failure::connectionTimedOut()},
        {"errno cancelled", network, posix(ECANCELED, "Operation canceled"), {}, Failure::cancelled()},
        {"DNS with the host", network, ObservedNetworkError{Kind::dns, -2, "Name or service not known"},
         "mac.tailnet", Failure::dnsResolutionFailed("mac.tailnet", "Name or service not known")},
        {"DNS without one", network, ObservedNetworkError{Kind::dns, -2, "gone"}, {},
         Failure::dnsResolutionFailed("host", "gone")},
        {"TLS alert", network, ObservedNetworkError{Kind::tls, SSL_AD_REASON_OFFSET + 42, "bad certificate"}, {},
         Failure::tlsNegotiationFailed("TLS status 42")},
        {"TLS reason", network, ObservedNetworkError{Kind::tls, 134, "bad"}, {},
         Failure::tlsNegotiationFailed("TLS status 134")},
        {"text: screen recording", std::make_exception_ptr(std::runtime_error("Screen Recording is off")),
         posix(EPIPE, "Broken pipe"), {}, Failure::screenRecordingPermissionUnavailable()},
        {"text: refused", std::make_exception_ptr(std::runtime_error("Connection REFUSED")), {}, {},
         Failure::connectionRefused("Connection REFUSED")},
        {"text: 61", std::make_exception_ptr(std::runtime_error("POSIX error 61")), {}, {},
         Failure::connectionRefused("POSIX error 61")},
        {"text: down", std::make_exception_ptr(std::runtime_error("Network is down")), {}, {},
         Failure::networkUnreachable("Network is down")},
        {"text: timed out", std::make_exception_ptr(std::runtime_error("It timed out")), {}, {},
         Failure::connectionTimedOut()},
        {"text: anything else", network, {}, {}, Failure::networkUnreachable("Network connection failed: boom")},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(RemoteConnectionService::classifyFailure(row.error, row.observed, row.host), row.expected)
            << row.name << ": " << RemoteConnectionService::classifyFailure(row.error, row.observed, row.host).what();
    }
}

} // namespace
