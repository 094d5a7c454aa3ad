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

// What a connection in its handshake has shown so far, least first. A
// handshake is never evicted for a newcomer that has shown less, and a paired
// device's is never evicted at all.
enum class HandshakeProof {
    accepted,           // a TCP connection that has sent nothing yet
    firstByte,          // it has sent something (a tablet's ClientHello comes with its accept); no TLS yet
    unknownCertificate, // TLS done with a certificate the host does not know
    pairedCertificate,  // TLS done with the certificate of a paired device
};

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
    // on a person: never evicted, and a later wait for the peer starts
    // afresh. The state of a slot as it is acquired.
    void workOnHost();
    // The peer showed `proof`: its first byte, or its certificate once TLS is
    // done. With places of their own for connections before TLS, a
    // certificate moves the slot to the handshakes' places, evicting one that
    // has shown less (or an equal, by the budget's rule) when they are full.
    // False, and the slot released, when no place can be made or the slot was
    // evicted meanwhile. The wait for the peer starts afresh; the rank never
    // falls.
    bool prove(HandshakeProof proof);

private:
    friend class HandshakeBudget;
    HandshakeSlot(std::shared_ptr<detail::HandshakeLedger> ledger, std::uint64_t id, TimePoint acceptedAt)
        : ledger_(std::move(ledger)), id_(id), acceptedAt_(acceptedAt) {}

    std::shared_ptr<detail::HandshakeLedger> ledger_;
    std::uint64_t id_ = 0;
    TimePoint acceptedAt_{};
};

// Hands out at most `capacity` places to handshakes, and at most
// `perSourceCapacity` (0: no such limit) to the connections of one source
// (connectionSource: an IPv4 address or an IPv6 /64); any thread.
//
// Eviction, when a full budget makes room instead of refusing: only from the
// least proven handshakes present that wait for their peer (never a paired
// device's). One that has shown less than the newcomer gives way at once; one
// that has shown more, never; an equal only when its source holds more places
// than the newcomer's will, or once it has waited `minimumAge` (`silentGrace`
// for one that has sent nothing, when set). Among those, the source holding
// the most places gives way first, then the longest wait. So a connection
// that has shown nothing cannot keep out one that has, a reopening flood
// cannot cycle the places faster than those ages, and a source that holds few
// is not pushed out by one that holds many.
class HandshakeBudget {
public:
    using Clock = std::function<HandshakeSlot::TimePoint()>;
    static constexpr std::size_t kDefaultCapacity = 32;

    struct Options {
        std::size_t capacity = kDefaultCapacity;
        // Places of their own for connections before TLS, which cost a socket
        // and little else (0: they take the handshakes' places).
        std::size_t openingCapacity = 0;
        std::size_t perSourceCapacity = 0;
        std::chrono::steady_clock::duration minimumAge{};
        // How long one that has sent nothing keeps its place against an equal
        // newcomer, whatever its source (zero: `minimumAge`, like the others).
        std::chrono::steady_clock::duration silentGrace{};
        Clock clock = [] { return std::chrono::steady_clock::now(); };
        // Places taken at once that make a busy spell (BusySpell; 0: none):
        // the release that ends one calls `onBusySpellEnded`, on the
        // releasing thread and outside the budget's lock.
        std::size_t busySpell = 0;
        std::function<void()> onBusySpellEnded{};
    };

    explicit HandshakeBudget(std::size_t capacity = kDefaultCapacity, std::size_t perSourceCapacity = 0);
    explicit HandshakeBudget(Options options);

    // A place, or none when the budget or the source's share is full.
    std::optional<HandshakeSlot> tryAcquire(const std::optional<asio::ip::address>& peer = std::nullopt);
    // The same, but a full budget makes room by evicting a handshake under
    // the rule above for a newcomer that has shown `shown` (its first byte,
    // when it arrived with the accept); none when the source's share is full
    // or no handshake may give way.
    std::optional<HandshakeSlot> acquireEvicting(const std::optional<asio::ip::address>& peer,
                                                 HandshakeProof shown = HandshakeProof::accepted);
    std::size_t inUse() const;

    const Options options;

private:
    std::optional<HandshakeSlot> acquire(const std::optional<asio::ip::address>& peer, bool evicting,
                                         HandshakeProof shown);

    std::shared_ptr<detail::HandshakeLedger> ledger_;
};

} // namespace velorinth
