// The tablet's relay client against the real relay server and against a
// relay that answers whatever the test makes: pairing, the pinned identity,
// each way an answer can be wrong, each refusal, the resolver and cancellation.

#include "support/RelayRig.hpp"
#include "support/ScriptedResolver.hpp"

#include "core/Cancellation.hpp"
#include "transport/relay/WakeRelayClient.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <asio/cancellation_signal.hpp>
#include <asio/ip/tcp.hpp>
#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Status = WakeRelayResponseStatus;
using Case = WakeRelayClientError::Case;
using namespace std::chrono_literals;

struct ClientEnd {
    ClientEnd(LoopRunner& loop, bool allowLoopback = true)
        : resolver(std::make_shared<ScriptedResolver>(loop.io.get_executor())),
          client(std::make_shared<WakeRelayClient>(loop.io.get_executor(), tablet, resolver, allowLoopback)) {}

    std::shared_ptr<DeviceIdentityService> tablet = memoryIdentity("Tablet");
    std::shared_ptr<ScriptedResolver> resolver;
    std::shared_ptr<WakeRelayClient> client;
};

RemoteEndpoint endpoint(const std::string& text, std::uint16_t port) {
    return RemoteEndpoint::validating(text, port, RemoteTransportKind::privateNetwork, std::nullopt, Uuid::random(),
                                      Date(0), true);
}

PairedWakeRelayConfiguration configuration(const DevicePublicIdentity& relay, RemoteEndpoint where, const Uuid& mac) {
    PairedWakeRelayConfiguration paired;
    paired.relayIdentity = relay;
    paired.endpoint = std::move(where);
    paired.targetMacDeviceID = mac;
    paired.pairedAt = Date(0);
    return paired;
}

template <class T>
WakeRelayClientError failure(LoopRunner& loop, asio::awaitable<T> operation) {
    return expectFailure<WakeRelayClientError>(loop.run(outcome(std::move(operation))));
}

TEST(LoopbackRelayClient, PairsWithTheRealRelayAndWakesThroughIt) {
    RelayRig h;
    ClientEnd end(h);
    const Uuid mac = Uuid::random();
    h.addTarget(mac);
    const WakeRelayPairingInvitation invitation = h.invite(mac);

    EXPECT_EQ(failure(h, end.client->pair(invitation, Uuid::random(), 2s)).kind(), Case::invitationTargetMismatch);
    h.idle();
    EXPECT_TRUE(h.store->auditLog().empty()); // nothing was sent

    WakeRelayPairingInvitation foreign = invitation;
    foreign.relayFingerprint = DeviceFingerprint::fromPublicKey(Bytes(65, 4));
    EXPECT_EQ(failure(h, end.client->pair(foreign, mac, 2s)).kind(), Case::relayIdentityMismatch);
    h.idle();
    EXPECT_TRUE(h.store->auditLog().empty()); // refused before any request

    const PairedWakeRelayConfiguration paired = h.run(end.client->pair(invitation, mac, 2s));
    EXPECT_EQ(paired.relayIdentity, h.relayPublicIdentity());
    EXPECT_EQ(paired.targetMacDeviceID, mac);
    EXPECT_EQ(paired.endpoint.host, "127.0.0.1");
    EXPECT_EQ(paired.endpoint.id, invitation.endpoint.id);
    ASSERT_TRUE(paired.lastVerifiedAt && paired.endpoint.lastVerifiedAt);
    EXPECT_EQ(*paired.lastVerifiedAt, paired.pairedAt);
    EXPECT_EQ(*paired.endpoint.lastVerifiedAt, paired.pairedAt);
    EXPECT_FALSE(paired.lastWakeDispatchedAt.has_value());

    const WakeDispatchOutcome woke = h.run(end.client->sendWakeSignal(paired, 2s));
    EXPECT_EQ(woke.routeUsed, WakeRouteKind::externalWakeRelay);
    EXPECT_EQ(woke.status, WakeSignalStatus::wakeRequestSent);
    EXPECT_EQ(woke.datagramsSent, 1);
    EXPECT_FALSE(woke.sleepProxyProbed);
    EXPECT_EQ(h.transmitter->sent().size(), 1u);
    // The spent ticket, again: the relay's refusal with its own words.
    const auto again = failure(h, end.client->pair(invitation, mac, 2s));
    EXPECT_EQ(again.kind(), Case::permissionDenied);
    EXPECT_EQ(again.text(), "Invalid, expired, or already-used wake relay pairing ticket.");
    EXPECT_TRUE(end.resolver->asked.empty());
}

TEST(LoopbackRelayClient, OnlyAVerifiedAnswerOfThePinnedRelayCounts) {
    LoopRunner loop;
    ClientEnd end(loop);
    ScriptedRelay relay(loop.io.get_executor(), memoryIdentity("Scripted Relay"));
    auto stranger = memoryIdentity("Stranger");
    const Uuid mac = Uuid::random();
    const PairedWakeRelayConfiguration paired =
        configuration(relay.publicIdentity(), endpoint("127.0.0.1", relay.port()), mac);

    // What the relay answers next, built from the request and the connection.
    std::function<std::optional<Bytes>(const WakeRelayRequest&, const TLSChannelContext&)> next;
    relay.serve(
        [&](const WakeRelayRequest& request, const TLSChannelContext& context) { return next(request, context); });
    const auto answering = [&](Status status, std::int64_t count, const std::string& message,
                               std::function<void(WakeRelayResponse&)> edit = {},
                               DeviceIdentityService* signer = nullptr, Bytes binding = {}) {
        next = [&relay, status, count, message, edit, signer, binding](const WakeRelayRequest& request,
                                                                      const TLSChannelContext& context) {
            WakeRelayResponse response = relay.answer(
                request, binding.empty() ? context.exporterChannelBinding : binding, status, count, message, signer);
            if (edit) edit(response);
            return std::optional<Bytes>(json::encodeToBytes(response));
        };
    };

    answering(Status::wakePacketSent, 0, "Sent.");
    EXPECT_EQ(loop.run(end.client->sendWakeSignal(paired, 2s)).datagramsSent, 1);
    answering(Status::wakePacketSent, 3, "Sent.");
    EXPECT_EQ(loop.run(end.client->sendWakeSignal(paired, 2s)).datagramsSent, 3);
    ASSERT_EQ(relay.requests.size(), 2u);
    EXPECT_EQ(relay.requests[0].clientIdentity, end.tablet->publicIdentity(end.tablet->loadOrCreateRecord()));
    EXPECT_NE(relay.requests[0].nonce, relay.requests[1].nonce);

    const struct {
        const char* name;
        std::function<void()> script;
        Case kind;
        std::string text;
    } rows[] = {
        {"another request id",
         [&] { answering(Status::wakePacketSent, 1, "Sent.", [](auto& r) { r.requestID = Uuid::random(); }); },
         Case::relayUnreachable,
         std::string(PairingProtocolError::text(PairingProtocolError::Case::pairingIdentifierMismatch))},
        {"signed by another relay", [&] { answering(Status::wakePacketSent, 1, "Sent.", {}, stranger.get()); },
         Case::relayIdentityMismatch, ""},
        {"no signature", [&] { answering(Status::wakePacketSent, 1, "Sent.", [](auto& r) { r.signature.clear(); }); },
         Case::relayIdentityMismatch, ""},
        {"another connection's binding",
         [&] { answering(Status::wakePacketSent, 1, "Sent.", {}, nullptr, Bytes(32, 9)); }, Case::relayIdentityMismatch,
         ""},
        {"a throwaway identity",
         [&] {
             answering(Status::authenticationFailed, 0, "Internal signing failure.", [](auto& r) {
                 const auto throwaway = memoryIdentity("WakeRelay");
                 r.relayIdentity = throwaway->publicIdentity(throwaway->loadOrCreateRecord());
                 r.signature.clear();
             });
         },
         Case::relayIdentityMismatch, ""},
        {"the other operation's success", [&] { answering(Status::paired, 0, "Paired."); }, Case::malformedRequest,
         "Unexpected relay response status."},
        {"not JSON", [&] { next = [](auto&, auto&) { return std::optional<Bytes>(bytesOf("{")); }; },
         Case::relayUnreachable, ""},
        {"silence", [&] { next = [](auto&, auto&) { return std::optional<Bytes>(); }; }, Case::relayUnreachable,
         std::string(PairingProtocolError::text(PairingProtocolError::Case::timedOut))},
    };
    for (const auto& row : rows) {
        row.script();
        const auto error = failure(loop, end.client->sendWakeSignal(paired, 300ms));
        EXPECT_EQ(error.kind(), row.kind) << row.name;
        if (!row.text.empty()) {
            EXPECT_EQ(error.text(), row.text) << row.name;
        }
    }

    // Each refusal is its own case, carrying the relay's words.
    const std::pair<Status, Case> refusals[] = {
        {Status::packetTransmissionFailed, Case::packetTransmissionFailed},
        {Status::targetNotConfigured, Case::targetNotConfigured},
        {Status::permissionDenied, Case::permissionDenied},
        {Status::rateLimited, Case::rateLimited},
        {Status::replayRejected, Case::replayRejected},
        {Status::malformedRequest, Case::malformedRequest},
        {Status::authenticationFailed, Case::authenticationFailed},
    };
    for (const auto& [status, kind] : refusals) {
        const std::string words = "Relay says " + std::string(rawValue(status));
        answering(status, 0, words);
        const auto refused = failure(loop, end.client->sendWakeSignal(paired, 2s));
        EXPECT_EQ(refused.kind(), kind) << words;
        EXPECT_EQ(std::string(refused.what()), words);
    }
    // A pairing answered as a wake.
    answering(Status::wakePacketSent, 1, "Sent.");
    WakeRelayPairingInvitation invitation;
    invitation.endpoint = paired.endpoint;
    invitation.relayFingerprint = relay.publicIdentity().fingerprint;
    invitation.targetMacDeviceID = mac;
    invitation.ticketID = Uuid::random();
    invitation.secretHex = std::string(64, 'a');
    const auto asWake = failure(loop, end.client->pair(invitation, mac, 2s));
    EXPECT_EQ(asWake.kind(), Case::malformedRequest);
    EXPECT_EQ(asWake.text(), "Unexpected relay response status.");
    EXPECT_TRUE(end.resolver->asked.empty());
}

TEST(LoopbackRelayClient, AddressesNamesAndCancellation) {
    LoopRunner loop;
    ClientEnd end(loop);
    ClientEnd strict(loop, false);
    const auto relayDevice = memoryIdentity("Relay");
    const DevicePublicIdentity relay = relayDevice->publicIdentity(relayDevice->loadOrCreateRecord());
    const Uuid mac = Uuid::random();

    // Loopback only with the flag: the validator's own words.
    const auto loopback =
        failure(loop, strict.client->sendWakeSignal(configuration(relay, endpoint("127.0.0.1", 9), mac), 1s));
    EXPECT_EQ(loopback.kind(), Case::relayUnreachable);
    EXPECT_EQ(std::string(loopback.what()),
              "Wake relay is unreachable: " +
                  RemoteEndpointValidationError::text(RemoteEndpointValidationError::Case::loopbackAddressNotAllowed));

    // Literals never reach the resolver; nothing listens there.
    asio::ip::tcp::acceptor closed(loop.io, {asio::ip::make_address("127.0.0.1"), 0});
    const std::uint16_t nobody = closed.local_endpoint().port();
    closed.close();
    for (const std::string host : {"127.0.0.1", "[::1]"}) {
        EXPECT_EQ(
            failure(loop, end.client->sendWakeSignal(configuration(relay, endpoint(host, nobody), mac), 1s)).kind(),
            Case::relayUnreachable);
    }
    EXPECT_TRUE(end.resolver->asked.empty());

    // A name whose lookup never ends: unreachable at the limit.
    const auto named = configuration(relay, endpoint("relay.example", 51892), mac);
    const auto unresolved = failure(loop, end.client->sendWakeSignal(named, 100ms));
    EXPECT_EQ(std::string(unresolved.what()),
              "Wake relay is unreachable: Couldn't resolve relay hostname \u201crelay.example\u201d.");
    EXPECT_EQ(end.resolver->asked, std::vector<std::string>{"relay.example"});

    // Cancelled while resolving, or while TLS starts: the cancellation itself.
    const auto cancelledDuring = [&](const PairedWakeRelayConfiguration& target, std::function<bool()> started) {
        asio::cancellation_signal cancel;
        auto future = loop.spawn(outcome(end.client->sendWakeSignal(target, 10s)), cancel.slot());
        loop.until(std::move(started));
        cancel.emit(asio::cancellation_type::terminal);
        return loop.wait(future);
    };
    const std::exception_ptr duringLookup =
        cancelledDuring(named, [&] { return end.resolver->asked.size() == 2; });
    EXPECT_TRUE(isCancellationError(duringLookup)) << describeError(duringLookup);

    asio::ip::tcp::acceptor silent(loop.io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::socket held(loop.io);
    bool accepted = false;
    silent.async_accept(held, [&](const asio::error_code& error) { accepted = !error; });
    const std::exception_ptr duringTLS = cancelledDuring(
        configuration(relay, endpoint("127.0.0.1", silent.local_endpoint().port()), mac), [&] { return accepted; });
    EXPECT_TRUE(isCancellationError(duringTLS)) << describeError(duringTLS);
}

} // namespace
