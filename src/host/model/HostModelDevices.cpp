// The user's controls: the Accessibility request, the wake test, a paired
// device's rights, revocation and removal, the remote-access switch, the
// session disconnects, the pairing decision and the identity reset.

#include "host/model/HostModel.hpp"

#include "core/KeepAlive.hpp"

namespace velorinth {

void HostModel::requestAccessibilityPermission() {
    accessibilityGranted.set(platform.accessibility->isTrustedWithPrompt());
    pushHostState();
}

asio::awaitable<void> HostModel::runWakePreflightTest() {
    return keepAlive(shared_from_this(), runWakePreflightBody());
}

asio::awaitable<void> HostModel::runWakePreflightBody() {
    isRunningWakePreflightTest.set(true);
    co_await refreshWakeSnapshot();
    isRunningWakePreflightTest.set(false);
}

asio::awaitable<void> HostModel::setDeviceScreenViewing(bool allowed, TrustedDevice device) {
    return keepAlive(shared_from_this(), setDevicePermissionBody(allowed, std::move(device), DevicePermissions::screenView));
}

asio::awaitable<void> HostModel::setDeviceRemoteControl(bool allowed, TrustedDevice device) {
    return keepAlive(shared_from_this(),
                     setDevicePermissionBody(allowed, std::move(device), DevicePermissions::remoteControl));
}

asio::awaitable<void> HostModel::setDevicePermissionBody(bool allowed, TrustedDevice device, DevicePermissions bit) {
    co_await permissionChain_.acquire();
    FifoLock::Holder holder(permissionChain_);
    auto change = [](HostModel& self, bool allowed, Uuid id, DevicePermissions shown,
                     DevicePermissions bit) -> asio::awaitable<void> {
        // From the stored record, so two quick changes on one row do not undo
        // each other; from the row when the store has none.
        const std::optional<TrustedDevice> stored = self.trustedDeviceStore->device(id);
        DevicePermissions permissions = stored ? stored->permissions : shown;
        if (allowed) {
            permissions.insert(bit);
        } else {
            permissions.remove(bit);
        }
        co_await self.sessionServer->updateDevicePermissions(id, permissions);
        self.trustedDevices.set(self.trustedDeviceStore->allDevices());
    };
    const bool changed = co_await succeeds(change(*this, allowed, device.id, device.permissions, bit));
    if (changed && bit == DevicePermissions::screenView) co_await stopStreamingIfUnwatched();
}

asio::awaitable<void> HostModel::revokeDevice(TrustedDevice device) {
    return keepAlive(shared_from_this(), revokeDeviceBody(std::move(device)));
}

asio::awaitable<void> HostModel::revokeDeviceBody(TrustedDevice device) {
    auto revoke = [](HostModel& self, Uuid id) -> asio::awaitable<void> {
        co_await self.sessionServer->revokeDevice(id);
        self.trustedDevices.set(self.trustedDeviceStore->allDevices());
    };
    const bool revoked = co_await succeeds(revoke(*this, device.id));
    if (revoked) co_await stopStreamingIfUnwatched();
}

asio::awaitable<void> HostModel::removeDevice(TrustedDevice device) {
    return keepAlive(shared_from_this(), removeDeviceBody(std::move(device)));
}

asio::awaitable<void> HostModel::removeDeviceBody(TrustedDevice device) {
    auto remove = [](HostModel& self, Uuid id, bool authorized) -> asio::awaitable<void> {
        if (authorized) co_await self.sessionServer->revokeDevice(id);
        self.trustedDeviceStore->remove(id);
        self.trustedDevices.set(self.trustedDeviceStore->allDevices());
    };
    const bool removed =
        co_await succeeds(remove(*this, device.id, device.authorization == DeviceAuthorization::authorized));
    if (removed) co_await stopStreamingIfUnwatched();
}

void HostModel::setRemoteAccessEnabled(bool enabled) {
    if (enabled == remoteAccessEnabled.get()) return;
    remoteAccessEnabled.set(enabled);
    if (restartTask.get()) {
        restartTask.get().cancel();
        restartTask.set({});
    }
    restartAttempt.set(0);
    spawn(keepAlive(shared_from_this(), remoteAccessBody(enabled)));
}

asio::awaitable<void> HostModel::remoteAccessBody(bool enabled) {
    // One after another with every other listener operation, in the order the
    // switch was flipped.
    co_await listenerChain_.acquire();
    FifoLock::Holder holder(listenerChain_);
    if (!enabled) {
        co_await stopVideoStream(VideoStreamState::idle());
        co_await sessionServer->stop();
        listenerStatus.set(ListenerStatus::stopped());
        co_return;
    }
    auto enable = [](HostModel& self) -> asio::awaitable<void> {
        self.hostIdentity.set(self.identityService->renameDevice());
        if (self.remoteAccessEnabled.get()) co_await self.startListener(false);
    };
    co_await succeeds(enable(*this));
}

asio::awaitable<void> HostModel::disconnectSession(ActiveSessionDescriptor session) {
    return keepAlive(shared_from_this(), disconnectSessionBody(std::move(session)));
}

asio::awaitable<void> HostModel::disconnectSessionBody(ActiveSessionDescriptor session) {
    co_await sessionServer->disconnectSession(session.peerIdentity.id, std::string(kDisconnectedByUserReason));
    co_await stopStreamingIfUnwatched();
}

asio::awaitable<void> HostModel::disconnectAllSessions() { return keepAlive(shared_from_this(), disconnectAllBody()); }

asio::awaitable<void> HostModel::disconnectAllBody() {
    co_await stopVideoStream(VideoStreamState::idle());
    co_await sessionServer->disconnectAll(std::string(kDisconnectedByUserReason));
}

asio::awaitable<void> HostModel::approvePendingPairing(Uuid pairingID) {
    return keepAlive(sessionServer, sessionServer->resolvePendingPairing(true, pairingID));
}

asio::awaitable<void> HostModel::rejectPendingPairing(Uuid pairingID) {
    return keepAlive(sessionServer, sessionServer->resolvePendingPairing(false, pairingID));
}

asio::awaitable<void> HostModel::resetIdentity() { return keepAlive(shared_from_this(), resetIdentityBody()); }

asio::awaitable<void> HostModel::resetIdentityBody() {
    // Before the wait for the listener's turn: a restart whose delay ended
    // meanwhile would queue behind this reset and, if it failed, start the
    // listener under the old identity and wipe the reset's error.
    if (restartTask.get()) {
        restartTask.get().cancel();
        restartTask.set({});
    }
    co_await listenerChain_.acquire();
    FifoLock::Holder holder(listenerChain_);
    co_await stopVideoStream(VideoStreamState::idle());
    co_await sessionServer->stop();
    DevicePublicIdentity identity;
    try {
        trustedDeviceStore->deleteAll();
    } catch (...) {
        networkError.set(userFacingMessage(std::current_exception()));
        co_return;
    }
    // The records are gone: buttons on rows of them would only fail.
    trustedDevices.set({});
    wakeReadinessService->clearVerifiedWake();
    try {
        identity = identityService->resetIdentity();
    } catch (...) {
        networkError.set(userFacingMessage(std::current_exception()));
        co_return;
    }
    hostIdentity.set(std::move(identity));
    trustedDevices.set({});
    activeSessionList.set({});
    if (!remoteAccessEnabled.get()) {
        listenerStatus.set(ListenerStatus::stopped());
        co_await refreshWakeSnapshot();
        co_return;
    }
    const bool listening = co_await succeeds(startListener(false));
    if (listening) co_await refreshWakeSnapshot();
}

} // namespace velorinth
