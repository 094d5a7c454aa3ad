#pragma once

// Model states the host views are checked against: peers, sessions, trust
// records and wake snapshots, and one populated host.

#include "core/IdentityModels.hpp"
#include "core/TrustedDevice.hpp"
#include "core/WakeModels.hpp"
#include "host/model/HostModel.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "support/TLSTestIdentities.hpp"
#include "transport/session/SessionValueTypes.hpp"
#include "transport/wake/WakeReadinessService.hpp"

#include <string>
#include <vector>

namespace velorinth::testing {

inline DevicePublicIdentity peerNamed(const std::string& name) {
    return DevicePublicIdentity::fromPublicKey(Uuid::random(), name, Uuid::random(),
                                               P256SigningKey::generate().publicKeyX963());
}

inline ActiveSessionDescriptor sessionOf(const DevicePublicIdentity& peer, bool streaming,
                                         DevicePermissions permissions = DevicePermissions::all) {
    ActiveSessionDescriptor session;
    session.id = Uuid::random();
    session.peerIdentity = peer;
    session.negotiatedProtocolVersion = 1;
    session.grantedPermissions = permissions;
    session.isVideoStreaming = streaming;
    session.connectedAt = Date(800'000'000);
    session.sentVideoFrames = 123456;
    session.droppedVideoFrames = 7;
    session.receivedInputEvents = 42;
    return session;
}

inline HostWakeDiagnosticsSnapshot wakeSnapshotWith(Evidence<bool> setting, bool adapterOnly,
                                                    PowerSourceCondition power,
                                                    std::vector<WakeNetworkInterfaceTarget> targets) {
    HostWakeDiagnosticsSnapshot snapshot;
    snapshot.configuration.targets = std::move(targets);
    snapshot.configuration.wakeForNetworkAccess = setting;
    snapshot.configuration.wakeOnlyOnACPower = adapterOnly;
    snapshot.configuration.lastKnownPowerSource = power;
    snapshot.evaluation.category = WakeReadinessCategory::possibleUnverified;
    snapshot.evaluation.summary = "Wake is possible but has not been verified.";
    snapshot.evaluation.guidance = "Put the computer to sleep and wake it from the tablet.";
    snapshot.preflightGuidanceSteps = {"Connect power.", "Sleep the computer.", "Wake it from the tablet."};
    return snapshot;
}

inline WakeNetworkInterfaceTarget ethernetTarget(std::optional<std::string> ipv4 = std::string("192.168.1.5")) {
    return WakeNetworkInterfaceTarget("eth0", WakeInterfaceKind::ethernet,
                                      MACAddress(std::string_view("02:11:22:33:44:55")), std::move(ipv4));
}

// What a populated host shows.
struct PopulatedHost {
    DevicePublicIdentity streamingPeer = peerNamed("Office iPad");
    DevicePublicIdentity viewingPeer = peerNamed("Kitchen iPad");
    DevicePublicIdentity revokedPeer = peerNamed("Old iPad");
    std::vector<ActiveSessionDescriptor> sessions;
    std::vector<TrustedDevice> devices;

    // Two sessions, one streaming; three trusted devices, one revoked and
    // connected; a wake snapshot; tunnel addresses; an error; capture running.
    void apply(HostModel& model) {
        sessions = {sessionOf(streamingPeer, true), sessionOf(viewingPeer, false, DevicePermissions{0x03})};
        devices = {trustedRecord(streamingPeer, DevicePermissions::all, Date(790'000'000)),
                   trustedRecord(viewingPeer, DevicePermissions{0x03}, Date(790'000'000)),
                   trustedRecord(revokedPeer, DevicePermissions::all, Date(790'000'000))};
        devices[0].lastSuccessfulConnection = Date(800'000'000);
        devices[2].authorization = DeviceAuthorization::revoked;
        // The revoked device is connected too: "Connected" wins over "Revoked".
        sessions.push_back(sessionOf(revokedPeer, false, DevicePermissions{0x01}));
        model.activeSessionList.set(sessions);
        model.trustedDevices.set(devices);
        model.wakeSnapshot.set(wakeSnapshotWith(Evidence<bool>::verified(true), false, PowerSourceCondition::acPower,
                                                {ethernetTarget()}));
        model.detectedPrivateTunnelAddresses.set({"100.101.102.103"});
        model.networkError.set("A replayed handshake request was detected and blocked.");
        model.captureState.set(HostModel::CaptureState::capturing());
        VideoStreamDiagnostics diagnostics;
        diagnostics.videoWidth = 1920;
        diagnostics.videoHeight = 1080;
        diagnostics.capturedFPS = 59.94;
        diagnostics.encodedFPS = 59.5;
        diagnostics.bitrateBps = 12'345'678;
        model.streamDiagnostics.set(diagnostics);
        model.capturedFrames.set(1234567);
    }
};

} // namespace velorinth::testing
