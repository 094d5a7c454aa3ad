#include "platform/SessionListener.hpp"

#include "platform/linux/LinuxSessionListener.hpp"

namespace velorinth {

HandshakeSlot& HandshakeSlot::operator=(HandshakeSlot&& other) noexcept {
    if (this != &other) {
        release();
        inUse_ = std::exchange(other.inUse_, nullptr);
    }
    return *this;
}

void HandshakeSlot::release() noexcept {
    if (auto inUse = std::exchange(inUse_, nullptr)) inUse->fetch_sub(1);
}

std::optional<HandshakeSlot> HandshakeBudget::tryAcquire() {
    std::size_t current = inUse_->load();
    do {
        if (current >= capacity) return std::nullopt;
    } while (!inUse_->compare_exchange_weak(current, current + 1));
    return HandshakeSlot(inUse_);
}

std::unique_ptr<SessionListener> SessionListener::create(const asio::any_io_executor& executor,
                                                         const TLSDeviceIdentity& identity, Options options,
                                                         Handlers handlers) {
    return std::make_unique<LinuxSessionListener>(executor, identity, std::move(options), std::move(handlers));
}

} // namespace velorinth
