#include "platform/HandshakeBudget.hpp"

#include <map>
#include <mutex>
#include <utility>

namespace velorinth {

namespace detail {

struct HandshakeLedger {
    struct Entry {
        std::optional<asio::ip::address> source;
        std::optional<HandshakeSlot::TimePoint> waitingSince; // for its peer
        std::function<void()> evict;
    };

    // An entry evicted or released is gone: its slot's later release does nothing.
    void erase(std::uint64_t id) {
        std::lock_guard lock(mutex);
        eraseLocked(id);
    }

    void eraseLocked(std::uint64_t id) {
        auto found = entries.find(id);
        if (found == entries.end()) return;
        if (found->second.source) {
            auto count = perSource.find(*found->second.source);
            if (count != perSource.end() && --count->second == 0) perSource.erase(count);
        }
        entries.erase(found);
    }

    std::mutex mutex;
    std::uint64_t nextID = 1;
    std::map<std::uint64_t, Entry> entries;
    std::map<asio::ip::address, std::size_t> perSource;
};

} // namespace detail

HandshakeSlot::HandshakeSlot(HandshakeSlot&& other) noexcept
    : ledger_(std::exchange(other.ledger_, nullptr)), id_(other.id_), acceptedAt_(other.acceptedAt_) {}

HandshakeSlot& HandshakeSlot::operator=(HandshakeSlot&& other) noexcept {
    if (this != &other) {
        release();
        ledger_ = std::exchange(other.ledger_, nullptr);
        id_ = other.id_;
        acceptedAt_ = other.acceptedAt_;
    }
    return *this;
}

void HandshakeSlot::release() noexcept {
    if (auto ledger = std::exchange(ledger_, nullptr)) ledger->erase(id_);
}

void HandshakeSlot::waitForPeer(std::function<void()> evict) {
    if (!ledger_) return;
    std::lock_guard lock(ledger_->mutex);
    auto found = ledger_->entries.find(id_);
    if (found == ledger_->entries.end()) return;
    if (!found->second.waitingSince) found->second.waitingSince = std::chrono::steady_clock::now();
    found->second.evict = std::move(evict);
}

void HandshakeSlot::workOnHost() {
    if (!ledger_) return;
    std::lock_guard lock(ledger_->mutex);
    auto found = ledger_->entries.find(id_);
    if (found == ledger_->entries.end()) return;
    found->second.waitingSince.reset();
    found->second.evict = nullptr;
}

HandshakeBudget::HandshakeBudget(std::size_t capacity, std::size_t perAddressCapacity)
    : capacity(capacity), perAddressCapacity(perAddressCapacity),
      ledger_(std::make_shared<detail::HandshakeLedger>()) {}

std::optional<HandshakeSlot> HandshakeBudget::tryAcquire(const std::optional<asio::ip::address>& source) {
    return acquire(source, false);
}

std::optional<HandshakeSlot> HandshakeBudget::acquireEvicting(const std::optional<asio::ip::address>& source) {
    return acquire(source, true);
}

std::optional<HandshakeSlot> HandshakeBudget::acquire(const std::optional<asio::ip::address>& source,
                                                      bool evicting) {
    std::function<void()> evict;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(ledger_->mutex);
        if (source && perAddressCapacity != 0) {
            auto count = ledger_->perSource.find(*source);
            if (count != ledger_->perSource.end() && count->second >= perAddressCapacity) return std::nullopt;
        }
        if (ledger_->entries.size() >= capacity) {
            if (!evicting) return std::nullopt;
            auto victim = ledger_->entries.end();
            for (auto entry = ledger_->entries.begin(); entry != ledger_->entries.end(); ++entry) {
                const auto& since = entry->second.waitingSince;
                if (!since || !entry->second.evict) continue;
                if (victim == ledger_->entries.end() || *since < *victim->second.waitingSince) victim = entry;
            }
            if (victim == ledger_->entries.end()) return std::nullopt;
            evict = std::move(victim->second.evict);
            ledger_->eraseLocked(victim->first);
        }
        id = ledger_->nextID++;
        ledger_->entries.emplace(id, detail::HandshakeLedger::Entry{source, std::nullopt, nullptr});
        if (source) ++ledger_->perSource[*source];
    }
    if (evict) evict();
    return HandshakeSlot(ledger_, id, std::chrono::steady_clock::now());
}

std::size_t HandshakeBudget::inUse() const {
    std::lock_guard lock(ledger_->mutex);
    return ledger_->entries.size();
}

} // namespace velorinth
