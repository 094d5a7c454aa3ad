#include "transport/discovery/LiveNetworkPathMonitor.hpp"

#include <utility>

namespace velorinth {

LiveNetworkPathMonitor::LiveNetworkPathMonitor(asio::any_io_executor executor, NetworkPathSource::Factory factory)
    : queue_(std::move(executor)), factory_(std::move(factory)) {}

LiveNetworkPathMonitor::~LiveNetworkPathMonitor() {
    try {
        stopMonitoring();
    } catch (...) {
        // Posting to a loop that is going away: nothing is left to stop.
    }
}

void LiveNetworkPathMonitor::startMonitoring(Handler handler) {
    std::shared_ptr<NetworkPathSource> monitor = factory_(queue_);
    std::shared_ptr<NetworkPathSource> previous;
    {
        const std::lock_guard guard(lock_);
        previous = std::exchange(monitor_, monitor);
    }
    if (previous) previous->cancel();
    monitor->start([handler = std::move(handler)](const NetworkPathReport& report) {
        if (handler) handler(NetworkPathSnapshot(report));
    });
}

void LiveNetworkPathMonitor::stopMonitoring() {
    std::shared_ptr<NetworkPathSource> monitor;
    {
        const std::lock_guard guard(lock_);
        monitor = std::move(monitor_);
        monitor_.reset();
    }
    if (monitor) monitor->cancel();
}

} // namespace velorinth
