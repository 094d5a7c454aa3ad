#pragma once

#include "platform/SessionListener.hpp"

#include <memory>

namespace velorinth {

// The session listener over an Asio acceptor (IPv6 dual-stack when the system
// has IPv6, else IPv4) and OpenSSL, publishing through Avahi.
class LinuxSessionListener final : public SessionListener {
public:
    LinuxSessionListener(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity, Options options,
                         Handlers handlers);
    // Without a stop before, silent: no handler runs afterwards.
    ~LinuxSessionListener() override;

    std::error_code start() override;
    void stop() override;
    std::optional<std::uint16_t> port() const override;

private:
    class Core;
    std::shared_ptr<Core> core_;
};

} // namespace velorinth
