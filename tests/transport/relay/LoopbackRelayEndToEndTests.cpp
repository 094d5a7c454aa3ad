// The acceptance test, in one process: a tablet pairs with the relay by its
// invitation text and wakes the Mac with one real magic packet on
// 127.0.0.1; then every kind of refused request is answered, sends nothing,
// and leaves exactly one audit line.

#include "support/RelayRig.hpp"
#include "support/ScriptedResolver.hpp"
#include "support/UdpReceiver.hpp"

#include "transport/relay/WakeRelayClient.hpp"
#include "transport/relay/WakeRelayClientError.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Status = WakeRelayResponseStatus;
using namespace std::chrono_literals;

TEST(LoopbackRelayEndToEnd, PairsByInvitationWakesOnceAndRefusesEveryForgery) {
    UdpReceiver socket;
    RelayRigOptions options;
    options.realTransmitter = true;
    options.udpPorts = {socket.port()};
    options.cooldown = 60s; // so that no case depends on speed
    RelayRig h(options);
    const Uuid mac = Uuid::random();
    h.addTarget(mac); // eth0, ethernet, 02:00:00:AA:BB:CC, 127.0.0.1
    const std::string text = h.invite(mac).encodedString();

    const auto tabletIdentity = memoryIdentity("Tablet");
    auto client = std::make_shared<WakeRelayClient>(h.io.get_executor(), tabletIdentity,
                                                    std::make_shared<ScriptedResolver>(h.io.get_executor()), true);
    const WakeRelayPairingInvitation invitation = WakeRelayPairingInvitation::fromEncodedString(text, true);
    const PairedWakeRelayConfiguration paired = h.run(client->pair(invitation, mac, 5s));
    EXPECT_EQ(h.run(client->sendWakeSignal(paired, 5s)).datagramsSent, 1);
    const Bytes packet = socket.next();
    ASSERT_EQ(packet.size(), 102u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(packet[i], 0xFF);
    const Bytes hardware = {0x02, 0x00, 0x00, 0xAA, 0xBB, 0xCC};
    for (std::size_t copy = 0; copy < 16; ++copy) {
        EXPECT_TRUE(std::equal(hardware.begin(), hardware.end(), packet.begin() + 6 + 6 * copy)) << copy;
    }
    EXPECT_TRUE(socket.nothingArrived());

    ScriptedRelayPeer tablet(h.io.get_executor(), tabletIdentity);
    ScriptedRelayPeer secondTablet(h.io.get_executor(), "Second Tablet");
    ScriptedRelayPeer impostor(h.io.get_executor(), "Impostor");
    const Uuid requestID = Uuid::random();
    const Bytes nonce = WakeRelayCrypto::randomBytes(32);
    const auto fixedKey = [&](WakeRelayRequest& r) {
        r.requestID = requestID;
        r.nonce = nonce;
    };
    Bytes captured;
    const auto signedOver = [&](const TLSChannelContext& context) {
        captured = json::encodeToBytes(tablet.request(mac, WakeRelayAction::sendWakeSignal(), Date::now(),
                                                      context.exporterChannelBinding, fixedKey));
        return captured;
    };

    const std::string me = tablet.publicIdentity().fingerprint.shortDisplayText();
    const struct {
        const char* name;
        std::function<std::optional<Status>()> act;
        Status status;
        std::string detail;
        std::string fingerprint;
    } refusals[] = {
        {"a second genuine wake within the cooldown", [&] { return h.exchange(tablet, signedOver).response()->status; },
         Status::rateLimited, "Rate-limited repeated wake request.", me},
        {"the same request re-signed", [&] { return h.exchange(tablet, signedOver).response()->status; },
         Status::replayRejected, "Blocked replayed wake relay request.", me},
        {"the captured bytes on a new connection",
         [&] { return h.exchange(tablet, [&](const TLSChannelContext&) { return captured; }).response()->status; },
         Status::authenticationFailed, "Client signature or TLS certificate binding failed.", me},
        {"stale",
         [&] {
             return h.send(tablet, mac, WakeRelayAction::sendWakeSignal(), Date::now().addingTimeInterval(-61))
                 .response()
                 ->status;
         },
         Status::replayRejected, "Rejected expired or out-of-window wake relay request.", me},
        {"unauthorized",
         [&] { return h.send(secondTablet, mac, WakeRelayAction::sendWakeSignal()).response()->status; },
         Status::permissionDenied, "Unauthorized client attempted to wake Mac.",
         secondTablet.publicIdentity().fingerprint.shortDisplayText()},
        {"tampered target",
         [&] {
             return h.send(tablet, mac, WakeRelayAction::sendWakeSignal(), Date::now(),
                           [](auto& r) { r.targetMacDeviceID = Uuid::random(); })
                 .response()
                 ->status;
         },
         Status::authenticationFailed, "Client signature or TLS certificate binding failed.", me},
        {"signed by a key other than the TLS peer's",
         [&] {
             return h
                 .exchange(tablet,
                           [&](const TLSChannelContext& context) {
                               return json::encodeToBytes(impostor.request(mac, WakeRelayAction::sendWakeSignal(),
                                                                           Date::now(),
                                                                           context.exporterChannelBinding));
                           })
                 .response()
                 ->status;
         },
         Status::authenticationFailed, "Client signature or TLS certificate binding failed.", me},
        {"the spent invitation again",
         [&] {
             const auto error = expectFailure<WakeRelayClientError>(h.run(outcome(client->pair(invitation, mac, 5s))));
             EXPECT_EQ(error.kind(), WakeRelayClientError::Case::permissionDenied);
             h.idle();
             return std::optional(Status::permissionDenied);
         },
         Status::permissionDenied, "Invalid, expired, or already-used wake relay pairing ticket.", me},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(refusal.act(), refusal.status) << refusal.name;
        EXPECT_TRUE(socket.nothingArrived()) << refusal.name;
    }

    const std::vector<WakeRelayAuditEntry> audit = h.store->auditLog();
    ASSERT_EQ(audit.size(), 2 + std::size(refusals));
    EXPECT_EQ(audit[0].status, Status::paired);
    EXPECT_EQ(audit[1].status, Status::wakePacketSent);
    EXPECT_EQ(audit[1].detail, "Authenticated wake request; sent 1 local wake packet(s).");
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(audit[i].clientFingerprintShort, me);
        EXPECT_EQ(audit[i].targetMacDeviceID, mac);
    }
    for (std::size_t i = 0; i < std::size(refusals); ++i) {
        EXPECT_EQ(audit[2 + i].status, refusals[i].status) << refusals[i].name;
        EXPECT_EQ(audit[2 + i].detail, refusals[i].detail) << refusals[i].name;
        EXPECT_EQ(audit[2 + i].clientFingerprintShort, refusals[i].fingerprint) << refusals[i].name;
    }
}

} // namespace
