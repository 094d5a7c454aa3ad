// Paired devices, the switches, the pairing decision and the identity reset, over fakes.

#include "support/HostModelRig.hpp"
#include "support/TLSTestIdentities.hpp"

#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

TrustedDevice pairedTablet(HostModelRig& h, DevicePermissions permissions, bool store = true) {
    DeviceIdentityService tablet(std::make_shared<InMemorySecureStore>(), [] { return std::string("iPad"); });
    TrustedDevice record = trustedRecord(tablet.publicIdentity(tablet.loadOrCreateRecord()), permissions);
    if (store) h.trust->trust(record);
    return record;
}

} // namespace

TEST(HostModelDevices, APermissionSwitchChangesOnlyItsBit) {
    struct Case {
        std::uint8_t stored;
        bool screenView; // else remote control
        bool allowed;
        std::uint8_t sent;
    };
    for (const Case& c : {Case{0x07, true, false, 0x05}, Case{0x01, true, true, 0x03}, Case{0x03, false, false, 0x03},
                          Case{0x03, false, true, 0x07}}) {
        HostModelRig h;
        HostModel& model = h.started();
        const TrustedDevice device = pairedTablet(h, DevicePermissions(c.stored));
        if (c.screenView) {
            h.run(model.setDeviceScreenViewing(c.allowed, device));
        } else {
            h.run(model.setDeviceRemoteControl(c.allowed, device));
        }
        ASSERT_EQ(h.server->permissionUpdates.size(), 1u);
        EXPECT_EQ(h.server->permissionUpdates[0].second.rawValue, c.sent);
        ASSERT_EQ(model.trustedDevices.get().size(), 1u);
        EXPECT_EQ(model.trustedDevices.get()[0].permissions.rawValue, c.sent);
        EXPECT_EQ(h.server->count("hasStreamingViewer") > 0, c.screenView); // only "View Screen" may end viewing
    }
}

TEST(HostModelDevices, TwoQuickChangesOnOneRowDoNotUndoEachOther) {
    HostModelRig h;
    HostModel& model = h.started();
    const TrustedDevice shown = pairedTablet(h, DevicePermissions::all);
    // Both clicks start from the row as it was drawn.
    auto view = h.spawn(model.setDeviceScreenViewing(false, shown));
    auto control = h.spawn(model.setDeviceRemoteControl(false, shown));
    h.wait(view);
    h.wait(control);
    EXPECT_EQ(h.trust->device(shown.id)->permissions.rawValue, 0x01);
}

TEST(HostModelDevices, RemovingRevokesOnlyAnAuthorizedDevice) {
    for (const DeviceAuthorization authorization : {DeviceAuthorization::authorized, DeviceAuthorization::revoked}) {
        HostModelRig h;
        HostModel& model = h.started();
        TrustedDevice device = pairedTablet(h, DevicePermissions::all);
        if (authorization == DeviceAuthorization::revoked) h.trust->revoke(device.id);
        device.authorization = authorization;
        h.run(model.removeDevice(device));
        EXPECT_EQ(h.server->revocations.size(), authorization == DeviceAuthorization::authorized ? 1u : 0u);
        EXPECT_TRUE(model.trustedDevices.get().empty());
        EXPECT_FALSE(h.trust->device(device.id));
    }
}

TEST(HostModelDevices, AFailedReloadKeepsTheOldList) {
    HostModelRig h;
    HostModel& model = h.make(); // not started: the store has not been read
    h.server->mirrorsTrustStore = false;
    TrustedDevice device = pairedTablet(h, DevicePermissions::all, false);
    model.trustedDevices.set({device});
    h.trustStorage->setFailure(InMemorySecureStore::Operation::load);
    h.run(model.revokeDevice(device));
    EXPECT_EQ(model.trustedDevices.get(), std::vector<TrustedDevice>{device});
    ASSERT_TRUE(model.networkError.get());
    EXPECT_NE(model.networkError.get()->find("Secure storage load failed"), std::string::npos);

    // A failing server call changes nothing either.
    h.trustStorage->clearFailure(InMemorySecureStore::Operation::load);
    h.server->nextDeviceFailure =
        std::make_exception_ptr(TrustedDeviceStoreError(TrustedDeviceStoreError::Case::untrustedDevice));
    h.run(model.setDeviceRemoteControl(false, device));
    EXPECT_EQ(model.networkError.get(), "An unpaired iPad attempted to reconnect without pairing first.");
    EXPECT_EQ(model.trustedDevices.get(), std::vector<TrustedDevice>{device});
}

TEST(HostModelDevices, ADecisionAnswersThePromptThatWasShown) {
    HostModelRig h;
    HostModel& model = h.started();
    const Uuid shown = Uuid::random();
    h.run(model.approvePendingPairing(shown));
    h.run(model.rejectPendingPairing(shown));
    EXPECT_EQ(h.server->resolutions, (std::vector<std::pair<bool, Uuid>>{{true, shown}, {false, shown}}));
}

TEST(HostModelDevices, AccessibilityRequestAndWakeTestPushWhatTheyRead) {
    HostModelRig h;
    HostModel& model = h.started();
    const std::size_t pushes = h.server->count("updateHostState");
    model.requestAccessibilityPermission(); // pushes even when nothing changed
    h.drain();
    EXPECT_EQ(h.grants->prompts, 1);
    EXPECT_EQ(h.server->count("updateHostState"), pushes + 1);

    h.changes.clear();
    h.run(model.runWakePreflightTest());
    EXPECT_FALSE(model.isRunningWakePreflightTest.get());
    EXPECT_EQ(std::count(h.changes.begin(), h.changes.end(), HostModelField::isRunningWakePreflightTest), 2);
}

TEST(HostModelReset, WithRemoteAccessOffTheResetEndsStoppedWithASnapshotWithoutPort) {
    HostModelRig h;
    HostModel& model = h.started();
    pairedTablet(h, DevicePermissions::all);
    h.wake->recordVerifiedWake(Date(799'000'000));
    model.setRemoteAccessEnabled(false);
    h.drain();
    const DevicePublicIdentity old = *model.hostIdentity.get();
    const std::size_t stops = h.server->count("stop");

    h.run(model.resetIdentity());
    EXPECT_EQ(h.server->count("stop"), stops + 1);
    EXPECT_NE(model.hostIdentity.get()->id, old.id);
    EXPECT_NE(model.hostIdentity.get()->fingerprint, old.fingerprint);
    EXPECT_TRUE(model.trustedDevices.get().empty());
    EXPECT_TRUE(h.trust->allDevices().empty());
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::stopped());
    EXPECT_EQ(model.wakeSnapshot.get()->configuration.bonjourServicePort, std::nullopt);
    EXPECT_EQ(model.wakeSnapshot.get()->configuration.lastVerifiedWakeAt, std::nullopt);
}

TEST(HostModelReset, AFailedStepStopsTheResetWithItsText) {
    struct Case {
        bool trustFails; // else the identity fails
        bool listEmptied;
    };
    for (const Case& c : {Case{true, false}, Case{false, true}}) {
        HostModelRig h;
        HostModel& model = h.started();
        const TrustedDevice device = pairedTablet(h, DevicePermissions::all);
        model.trustedDevices.set({device});
        const DevicePublicIdentity old = *model.hostIdentity.get();
        if (c.trustFails) {
            h.trustStorage->setFailure(InMemorySecureStore::Operation::deleteItem);
        } else {
            h.identityStorage->setFailure(InMemorySecureStore::Operation::deleteItem);
        }
        h.run(model.resetIdentity());
        ASSERT_TRUE(model.networkError.get());
        EXPECT_NE(model.networkError.get()->find("Secure storage delete failed"), std::string::npos);
        EXPECT_EQ(*model.hostIdentity.get(), old);
        // Deleted records are not left on screen.
        EXPECT_EQ(model.trustedDevices.get().empty(), c.listEmptied);
        EXPECT_FALSE(h.server->listening);
    }
}

TEST(HostModelReset, ACorruptedTrustStoreNoLongerStopsTheReset) {
    HostModelRig h;
    h.trustStorage->save(Bytes{'x'}, TrustedDeviceStore::service(), TrustedDeviceStore::kAccount);
    HostModel& model = h.started();
    EXPECT_EQ(model.networkError.get(),
              "Trusted device storage in Keychain is corrupted. Reset Identity & Trust to recover.");
    const DevicePublicIdentity old = *model.hostIdentity.get();
    h.run(model.resetIdentity());
    EXPECT_NE(model.hostIdentity.get()->id, old.id);
    EXPECT_EQ(model.listenerStatus.get(), ListenerStatus::advertising(51891));
    EXPECT_EQ(model.networkError.get(), std::nullopt);
    EXPECT_TRUE(h.trust->allDevices().empty());
}
