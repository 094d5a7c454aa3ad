#include "platform/SessionListener.hpp"

#include "platform/linux/LinuxSessionListener.hpp"

namespace velorinth {

std::unique_ptr<SessionListener> SessionListener::create(const asio::any_io_executor& executor,
                                                         const TLSDeviceIdentity& identity, Options options,
                                                         Handlers handlers) {
    return std::make_unique<LinuxSessionListener>(executor, identity, std::move(options), std::move(handlers));
}

} // namespace velorinth
