#pragma once

#include <asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace velorinth {

namespace detail {
struct HandshakeLedger;
}

// One of a bounded number of places for connections that are still in their
// handshake. Handing it on keeps the place taken; dropping it frees it.
class HandshakeSlot {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    HandshakeSlot() = default;
    HandshakeSlot(HandshakeSlot&& other) noexcept;
    HandshakeSlot& operator=(HandshakeSlot&& other) noexcept;
    HandshakeSlot(const HandshakeSlot&) = delete;
    HandshakeSlot& operator=(const HandshakeSlot&) = delete;
    ~HandshakeSlot() { release(); }

    void release() noexcept;
    bool holds() const noexcept { return ledger_ != nullptr; }
    // When the connection was accepted: its deadlines count from here.
    TimePoint acceptedAt() const noexcept { return acceptedAt_; }

    // From now on (or still: the wait keeps its start) the holder waits for
    // its peer, and `evict` ends it when a newer connection needs the place;
    // it runs on the thread that acquires, outside the budget's lock. Without
    // `evict` the slot keeps its wait but cannot be evicted (a hand-over).
    void waitForPeer(std::function<void()> evict);
    // The peer made progress, or the holder waits on the host's own work or
    // on the person at the Mac: never evicted, and a later wait for the peer
    // starts afresh. The state of a slot as it is acquired.
    void workOnHost();

private:
    friend class HandshakeBudget;
    HandshakeSlot(std::shared_ptr<detail::HandshakeLedger> ledger, std::uint64_t id, TimePoint acceptedAt)
        : ledger_(std::move(ledger)), id_(id), acceptedAt_(acceptedAt) {}

    std::shared_ptr<detail::HandshakeLedger> ledger_;
    std::uint64_t id_ = 0;
    TimePoint acceptedAt_{};
};

// Hands out at most `capacity` slots at a time, and at most
// `perAddressCapacity` (0: no such limit) to connections from one source
// address; any thread.
class HandshakeBudget {
public:
    static constexpr std::size_t kDefaultCapacity = 32;

    explicit HandshakeBudget(std::size_t capacity = kDefaultCapacity, std::size_t perAddressCapacity = 0);

    // A place, or none when the budget or the source's share is full.
    std::optional<HandshakeSlot> tryAcquire(const std::optional<asio::ip::address>& source = std::nullopt);
    // The same, but a full budget makes room by evicting the holder that has
    // waited longest for its peer; none when the source's share is full or
    // every holder waits on the host.
    std::optional<HandshakeSlot> acquireEvicting(const std::optional<asio::ip::address>& source);
    std::size_t inUse() const;

    const std::size_t capacity;
    const std::size_t perAddressCapacity;

private:
    std::optional<HandshakeSlot> acquire(const std::optional<asio::ip::address>& source, bool evicting);

    std::shared_ptr<detail::HandshakeLedger> ledger_;
};

} // namespace velorinth
