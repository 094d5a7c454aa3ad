#pragma once

#include "platform/NetworkPathSource.hpp"
#include "transport/discovery/NetworkPathObserving.hpp"

#include <asio/any_io_executor.hpp>

#include <memory>
#include <mutex>

namespace velorinth {

// Network path snapshots from the system: each start makes a fresh platform
// monitor (one netlink socket), whose reports reach the handler on the event
// loop, one call at a time. Start and stop may be called from any thread;
// `lock_` guards only the stored monitor and is never held while one is
// started or cancelled. Destroying the object stops monitoring, so the
// handler is never called after its owner is gone.
class LiveNetworkPathMonitor : public NetworkPathObserving {
public:
    explicit LiveNetworkPathMonitor(asio::any_io_executor executor,
                                    NetworkPathSource::Factory factory = &NetworkPathSource::create);
    ~LiveNetworkPathMonitor() override;

    LiveNetworkPathMonitor(const LiveNetworkPathMonitor&) = delete;
    LiveNetworkPathMonitor& operator=(const LiveNetworkPathMonitor&) = delete;

    void startMonitoring(Handler handler) override;
    void stopMonitoring() override;

private:
    asio::any_io_executor queue_;
    NetworkPathSource::Factory factory_;
    std::mutex lock_;
    std::shared_ptr<NetworkPathSource> monitor_;
};

} // namespace velorinth
