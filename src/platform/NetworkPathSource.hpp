#pragma once

#include "platform/NetworkPathReport.hpp"

#include <asio/any_io_executor.hpp>

#include <functional>
#include <memory>

namespace velorinth {

// The system's network path as it changes: a report after start, then one
// each time the path differs from the last one reported.
//
// start and cancel may be called from any thread; the handler runs on the
// event loop, one call at a time. Once cancel() has been called, no call that
// has not begun yet is made.
class NetworkPathSource {
public:
    using Handler = std::function<void(const NetworkPathReport&)>;
    using Factory = std::function<std::shared_ptr<NetworkPathSource>(const asio::any_io_executor&)>;

    virtual ~NetworkPathSource() = default;

    // Once per source.
    virtual void start(Handler handler) = 0;
    virtual void cancel() = 0;

    // The rtnetlink back-end, reading /sys for interface kinds.
    static std::shared_ptr<NetworkPathSource> create(const asio::any_io_executor& executor);
};

} // namespace velorinth
