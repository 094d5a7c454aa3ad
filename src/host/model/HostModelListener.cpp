// The listener: its start and restart, the preferred port, the restart after
// a failure with its backoff, and how the beacon follows the listener.

#include "host/model/HostModel.hpp"

#include "core/KeepAlive.hpp"

namespace velorinth {

void HostModel::updatePreferredListenerPort(std::uint16_t port) {
    if (port < 1024 || port == preferredListenerPort.get()) return;
    preferredListenerPort.set(port);
    platform.preferences->setInteger(preferredPortKey(), port);
    if (remoteAccessEnabled.get() && started.get()) spawn(restartListener());
}

asio::awaitable<void> HostModel::restartListener() { return keepAlive(shared_from_this(), restartListenerBody()); }

asio::awaitable<void> HostModel::restartListenerBody() {
    co_await listenerChain_.acquire();
    FifoLock::Holder holder(listenerChain_);
    co_await sessionServer->stop();
    // Remote access may have been turned off while this waited its turn.
    if (remoteAccessEnabled.get()) co_await succeeds(startListener(false));
}

asio::awaitable<void> HostModel::startListener(bool useAnyPort) {
    return keepAlive(shared_from_this(), startListenerBody(useAnyPort));
}

asio::awaitable<void> HostModel::startListenerBody(bool useAnyPort) {
    refreshAddresses();
    // The new listener's publisher reports afresh: an old one's failure must not
    // colour it (the stop before every restart let its last report through).
    servicePublished.set(std::nullopt);
    const std::uint16_t port = useAnyPort ? 0 : preferredListenerPort.get();
    bool started = false;
    try {
        co_await sessionServer->startListening(port, true);
        started = true;
    } catch (...) {
        // Asked once more on any port below.
    }
    if (!started) co_await sessionServer->startListening(0, true);
}

void HostModel::scheduleListenerRestart(bool immediate) {
    if (!remoteAccessEnabled.get() || restartTask.get()) return;
    const ListenerRestartPlan plan = immediate
                                         ? ListenerRestartPlan{ListenerRestartPlan::addressInUseDelay, true}
                                         : ListenerRestartPlan::forFailure({}, restartAttempt.get());
    restartAttempt.set(restartAttempt.get() + 1);
    const HostModelTask task(mainExecutor_);
    restartTask.set(task);
    spawn(restartTaskBody(weak_from_this(), task, plan.delay, plan.anyPort));
}

asio::awaitable<void> HostModel::restartTaskBody(std::weak_ptr<HostModel> weak, HostModelTask task, Duration delay,
                                                 bool useAnyPort) {
    SleepFunction sleep;
    {
        const std::shared_ptr<HostModel> self = weak.lock();
        if (!self) co_return;
        sleep = self->sleep_;
        co_await self->sessionServer->stop();
    }
    co_await task.sleep(sleep, delay);
    if (task.isCancelled()) co_return; // the canceller clears restartTask
    const std::shared_ptr<HostModel> self = weak.lock();
    if (!self || !self->remoteAccessEnabled.get()) co_return;
    self->restartTask.set({});
    co_await self->listenerChain_.acquire();
    FifoLock::Holder holder(self->listenerChain_);
    if (self->remoteAccessEnabled.get()) co_await self->succeeds(self->startListener(useAnyPort));
}

void HostModel::handleListenerStatus(const ListenerStatus& status) {
    listenerStatus.set(status);
    switch (status.kind()) {
    case ListenerStatus::Case::advertising: {
        restartAttempt.set(0);
        networkError.set(std::nullopt);
        refreshAddresses();
        if (const std::optional<DevicePublicIdentity>& identity = hostIdentity.get()) {
            const std::uint16_t port = status.port() == 0 ? preferredListenerPort.get() : status.port();
            bleAdvertiser->start(identity->discoveryInstanceID, identity->displayName, port,
                                 platform.localIPv4Addresses());
        }
        spawnHoldingWeakly([](HostModel& model) { return model.refreshWakeSnapshot(); });
        break;
    }
    case ListenerStatus::Case::failed: {
        // The plan's immediate restart is its address-in-use test; at attempt 0
        // any other failure waits a whole second.
        const bool addressInUse =
            ListenerRestartPlan::forFailure(status.text(), 0).delay == ListenerRestartPlan::addressInUseDelay;
        if (!addressInUse) networkError.set(std::string(kListenerFailedPrefix) + status.text());
        scheduleListenerRestart(addressInUse);
        break;
    }
    case ListenerStatus::Case::permissionDenied: networkError.set(std::string(kLocalNetworkDeniedText)); break;
    case ListenerStatus::Case::stopped:
        bleAdvertiser->stop();
        spawnHoldingWeakly([](HostModel& model) { return model.refreshWakeSnapshot(); });
        break;
    case ListenerStatus::Case::idle:
    case ListenerStatus::Case::starting: break;
    }
}

void HostModel::pushHostState() {
    const DisplayDescriptor display = hostDisplayDescriptor();
    const bool accessibility = platform.accessibility->isTrusted();
    accessibilityGranted.set(accessibility);
    std::optional<SavedWakeConfiguration> wake;
    if (wakeSnapshot.get()) wake = wakeSnapshot.get()->configuration;
    spawn(keepAlive(sessionServer, sessionServer->updateHostState(display, accessibility, std::move(wake))));
}

} // namespace velorinth
