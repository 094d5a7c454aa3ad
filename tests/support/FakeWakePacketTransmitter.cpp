#include "support/FakeWakePacketTransmitter.hpp"

#include "core/Cancellation.hpp"
#include "core/Error.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/this_coro.hpp>

namespace velorinth::testing {

asio::awaitable<void> FakeWakePacketTransmitter::send(WakeMagicPacket packet, WakeUDPTarget target) {
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    const std::size_t index = attempts_.size();
    attempts_.push_back(Send{packet, target});
    calls_.emplace_back("send");
    if (holding_) {
        ++held_;
        while (holding_ && !isCancelled(caller)) co_await released_.wait();
        --held_;
    }
    if (isCancelled(caller)) throw CancellationError();
    if (const auto failure = failures_.find(index); failure != failures_.end()) std::rethrow_exception(failure->second);
    if (everySendFails_) std::rethrow_exception(everySendFails_);
    sent_.push_back(Send{std::move(packet), std::move(target)});
    if (afterSend_) afterSend_(sent_.back());
}

asio::awaitable<void> FakeWakePacketTransmitter::probeSleepProxy(std::string host, std::uint16_t port,
                                                                 std::chrono::nanoseconds timeout) {
    probes_.push_back(Probe{std::move(host), port, timeout});
    calls_.emplace_back("probe");
    co_return;
}

void FakeWakePacketTransmitter::releaseSends() {
    holding_ = false;
    released_.notifyAll();
}

} // namespace velorinth::testing
