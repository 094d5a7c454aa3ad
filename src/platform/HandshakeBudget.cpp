#include "platform/HandshakeBudget.hpp"

#include "platform/BusySpell.hpp"
#include "platform/ConnectionSource.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace velorinth {

namespace detail {

struct HandshakeLedger {
    using TimePoint = HandshakeSlot::TimePoint;
    using Source = std::optional<asio::ip::address>;
    using PerSource = std::map<asio::ip::address, std::size_t>;

    struct Entry {
        Source source;
        // Its source's count of places, when it has a source: a full budget
        // reads it for every entry at each newcomer, too often to look it up.
        PerSource::iterator sourcePlaces;
        HandshakeProof proof = HandshakeProof::accepted;
        bool opening = false;                  // holds one of the places before TLS
        std::optional<TimePoint> waitingSince; // for its peer
        std::function<void()> evict;
    };
    using Entries = std::map<std::uint64_t, Entry>;

    // What an entry has shown: the lowest present goes first; kNever never goes.
    static constexpr int kNever = 3;
    static int rank(HandshakeProof proof) {
        switch (proof) {
        case HandshakeProof::accepted: return 0;
        case HandshakeProof::firstByte: return 1;
        case HandshakeProof::unknownCertificate: return 2;
        case HandshakeProof::pairedCertificate: break;
        }
        return kNever;
    }
    static int rank(const Entry& entry) {
        return entry.waitingSince && entry.evict ? rank(entry.proof) : kNever;
    }

    explicit HandshakeLedger(HandshakeBudget::Options o) : options(std::move(o)) {}

    bool split() const { return options.openingCapacity != 0; }
    std::size_t handshakes() const { return entries.size() - opening; }

    // The places a source holds; a connection without one holds only its own.
    std::size_t places(const Source& source) const {
        if (!source) return 1;
        auto found = perSource.find(*source);
        return found == perSource.end() ? 0 : found->second;
    }
    static std::size_t places(const Entry& entry) { return entry.source ? entry.sourcePlaces->second : 1; }

    // How long an entry keeps its place against an equal newcomer from a source holding as many.
    std::chrono::steady_clock::duration protectedFor(const Entry& entry) const {
        const bool silent = entry.proof == HandshakeProof::accepted;
        return silent && options.silentGrace > std::chrono::steady_clock::duration::zero() ? options.silentGrace
                                                                                           : options.minimumAge;
    }

    // The entry that gives way, among those holding places before TLS
    // (`openingPool`) or the handshakes', to an entrant of `proof` whose
    // source then holds `entrantPlaces`; end() when none may.
    Entries::iterator victim(bool openingPool, HandshakeProof proof, std::size_t entrantPlaces, TimePoint now) {
        int lowest = kNever;
        for (const auto& [id, entry] : entries) {
            if (entry.opening == openingPool) lowest = std::min(lowest, rank(entry));
        }
        // One that has shown more than the entrant never gives way to it.
        if (lowest == kNever || lowest > rank(proof)) return entries.end();
        auto chosen = entries.end();
        std::size_t chosenPlaces = 0;
        for (auto candidate = entries.begin(); candidate != entries.end(); ++candidate) {
            const Entry& entry = candidate->second;
            if (entry.opening != openingPool || rank(entry) != lowest) continue;
            const std::size_t held = places(entry);
            // An equal gives way only to fairness or with age; a lesser always.
            if (lowest == rank(proof) && held <= entrantPlaces && now - *entry.waitingSince < protectedFor(entry)) {
                continue;
            }
            if (chosen == entries.end() || held > chosenPlaces ||
                (held == chosenPlaces && *entry.waitingSince < *chosen->second.waitingSince)) {
                chosen = candidate;
                chosenPlaces = held;
            }
        }
        return chosen;
    }

    // An entry evicted or released is gone: its slot's later release changes
    // nothing, but is where the fall an eviction made is seen.
    void erase(std::uint64_t id) {
        bool spellEnded = false;
        {
            std::lock_guard lock(mutex);
            eraseLocked(id);
            spellEnded = spell.fell(entries.size());
        }
        if (spellEnded && options.onBusySpellEnded) options.onBusySpellEnded();
    }

    void eraseLocked(std::uint64_t id) {
        eraseLocked(entries.find(id));
    }

    void eraseLocked(Entries::iterator found) {
        if (found == entries.end()) return;
        if (found->second.source && --found->second.sourcePlaces->second == 0) {
            perSource.erase(found->second.sourcePlaces);
        }
        if (found->second.opening) --opening;
        entries.erase(found);
    }

    // Takes `victim` out; its eviction is the caller's to run, unlocked.
    std::function<void()> evictLocked(Entries::iterator victim) {
        std::function<void()> evict = std::move(victim->second.evict);
        eraseLocked(victim);
        return evict;
    }

    const HandshakeBudget::Options options;
    std::mutex mutex;
    BusySpell spell{options.busySpell};
    std::uint64_t nextID = 1;
    Entries entries;
    PerSource perSource;
    std::size_t opening = 0; // entries holding a place before TLS
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
    if (!found->second.waitingSince) found->second.waitingSince = ledger_->options.clock();
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

bool HandshakeSlot::prove(HandshakeProof proof) {
    if (!ledger_) return false;
    std::function<void()> evict;
    bool placed = false;
    {
        std::lock_guard lock(ledger_->mutex);
        detail::HandshakeLedger& ledger = *ledger_;
        auto found = ledger.entries.find(id_);
        if (found != ledger.entries.end()) {
            detail::HandshakeLedger::Entry& entry = found->second;
            const auto now = ledger.options.clock();
            // Only a certificate (TLS done) moves a connection out of the places before TLS.
            const bool moves = entry.opening && proof >= HandshakeProof::unknownCertificate;
            placed = !moves || ledger.handshakes() < ledger.options.capacity;
            if (!placed) {
                auto victim = ledger.victim(false, proof, ledger.places(entry), now);
                if (victim != ledger.entries.end()) {
                    evict = ledger.evictLocked(victim);
                    placed = true;
                }
            }
            if (placed) {
                if (moves) {
                    --ledger.opening;
                    entry.opening = false;
                }
                entry.proof = std::max(entry.proof, proof);
                if (entry.waitingSince) entry.waitingSince = now;
            }
        }
    }
    if (evict) evict();
    if (!placed) release();
    return placed;
}

HandshakeBudget::HandshakeBudget(std::size_t capacity, std::size_t perSourceCapacity)
    : HandshakeBudget(Options{.capacity = capacity, .perSourceCapacity = perSourceCapacity}) {}

HandshakeBudget::HandshakeBudget(Options options)
    : options(std::move(options)), ledger_(std::make_shared<detail::HandshakeLedger>(this->options)) {}

std::optional<HandshakeSlot> HandshakeBudget::tryAcquire(const std::optional<asio::ip::address>& peer) {
    return acquire(peer, false, HandshakeProof::accepted);
}

std::optional<HandshakeSlot> HandshakeBudget::acquireEvicting(const std::optional<asio::ip::address>& peer,
                                                              HandshakeProof shown) {
    // Nothing proven by TLS yet: at most its first byte.
    return acquire(peer, true, std::min(shown, HandshakeProof::firstByte));
}

std::optional<HandshakeSlot> HandshakeBudget::acquire(const std::optional<asio::ip::address>& peer, bool evicting,
                                                      HandshakeProof shown) {
    detail::HandshakeLedger::Source source;
    if (peer) source = connectionSource(*peer);
    std::function<void()> evict;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(ledger_->mutex);
        detail::HandshakeLedger& ledger = *ledger_;
        const std::size_t held = source ? ledger.places(source) : 0;
        if (source && options.perSourceCapacity != 0 && held >= options.perSourceCapacity) return std::nullopt;
        const bool split = ledger.split();
        const std::size_t used = split ? ledger.opening : ledger.entries.size();
        if (used >= (split ? options.openingCapacity : options.capacity)) {
            if (!evicting) return std::nullopt;
            auto victim = ledger.victim(split, shown, held + 1, options.clock());
            if (victim == ledger.entries.end()) return std::nullopt;
            evict = ledger.evictLocked(victim);
        }
        id = ledger.nextID++;
        detail::HandshakeLedger::Entry entry{source, {}, shown, split, {}, nullptr};
        if (source) {
            entry.sourcePlaces = ledger.perSource.try_emplace(*source, 0).first;
            ++entry.sourcePlaces->second;
        }
        ledger.entries.emplace(id, std::move(entry));
        if (split) ++ledger.opening;
        ledger.spell.rose(ledger.entries.size());
    }
    if (evict) evict();
    // Deadlines run on the real clock, whatever the budget's ages run on.
    return HandshakeSlot(ledger_, id, std::chrono::steady_clock::now());
}

std::size_t HandshakeBudget::inUse() const {
    std::lock_guard lock(ledger_->mutex);
    return ledger_->entries.size();
}

} // namespace velorinth
