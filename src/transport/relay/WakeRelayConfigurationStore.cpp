#include "transport/relay/WakeRelayConfigurationStore.hpp"

#include "core/Constants.hpp"
#include "core/Digest.hpp"
#include "core/Text.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/TrustedDeviceStore.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <algorithm>
#include <utility>

namespace velorinth {

namespace {

using State = WakeRelayConfigurationStore::PersistedState;

bool sameKeyMaterial(const DevicePublicIdentity& stored, const DevicePublicIdentity& presented) {
    return stored.fingerprint == presented.fingerprint && stored.signingPublicKey == presented.signingPublicKey;
}

// Adds the grant to `state`; throws identityChanged for a known id with other key material.
void authorizeInto(State& state, const DevicePublicIdentity& client, const Uuid& target, Date pairedAt) {
    const auto known = state.clients.find(client.id);
    if (known == state.clients.end()) {
        state.clients.emplace(
            client.id, WakeRelayClientAuthorization{client, {target}, DeviceAuthorization::authorized, pairedAt});
        return;
    }
    WakeRelayClientAuthorization& record = known->second;
    if (!sameKeyMaterial(record.clientIdentity, client)) {
        throw TrustedDeviceStoreError(TrustedDeviceStoreError::Case::identityChanged);
    }
    record.clientIdentity.displayName = client.displayName;
    record.authorization = DeviceAuthorization::authorized;
    record.allowedTargetMacIDs.insert(target);
}

Bytes secretDigest(std::string_view secretHex) {
    Bytes text = bytesOf(lowercased(secretHex));
    Bytes digest = sha256(text);
    secureWipe(text);
    return digest;
}

// Kept, for the target, and carrying this secret's digest; the comparison
// takes the same time wherever the digests differ.
bool ticketRedeems(const WakeRelayTicketRecord& ticket, std::string_view secretHex, const Uuid& target, Date now) {
    return !(ticket.expiresAt < now) && ticket.targetMacDeviceID == target &&
           WakeRelayCrypto::constantTimeEquals(secretDigest(secretHex), ticket.secretSHA256);
}

// Within the retention; a key recorded later than `now` is kept too.
bool retained(Date recordedAt, Date now) {
    return !(now.timeIntervalSince(recordedAt) > WakeRelayConfigurationStore::kReplayRetentionSeconds);
}

template <class Record>
std::vector<Record> valuesSortedBy(const std::map<Uuid, Record>& records, Date Record::*when) {
    std::vector<Record> out;
    out.reserve(records.size());
    for (const auto& [id, record] : records) out.push_back(record);
    std::stable_sort(out.begin(), out.end(),
                     [when](const Record& a, const Record& b) { return a.*when < b.*when; });
    return out;
}

} // namespace

std::string WakeRelayConfigurationStore::service() { return applicationIdentifier(kServiceSuffix); }

WakeRelayConfigurationStore::WakeRelayConfigurationStore(std::shared_ptr<SecureStore> secureStore,
                                                         std::size_t maxConsumedRequests)
    : maxConsumedRequests(std::max<std::size_t>(maxConsumedRequests, 1)), secureStore_(std::move(secureStore)) {}

const State& WakeRelayConfigurationStore::loadLocked() {
    if (cached_) return *cached_;
    const std::optional<Bytes> stored = secureStore_->load(service(), kAccount);
    cached_ = stored ? json::decodeFromBytes<State>(*stored) : State{};
    return *cached_;
}

void WakeRelayConfigurationStore::saveLocked(State state) {
    const Bytes encoded = json::encodeToBytes(state);
    secureStore_->save(encoded, service(), kAccount);
    cached_ = std::move(state);
}

State WakeRelayConfigurationStore::load() {
    std::lock_guard lock(mutex_);
    return loadLocked();
}

void WakeRelayConfigurationStore::save(const State& state) {
    std::lock_guard lock(mutex_);
    saveLocked(state);
}

std::vector<WakeRelayTargetRecord> WakeRelayConfigurationStore::targets() {
    std::lock_guard lock(mutex_);
    return valuesSortedBy(loadLocked().targets, &WakeRelayTargetRecord::createdAt);
}

std::optional<WakeRelayTargetRecord> WakeRelayConfigurationStore::target(const Uuid& macDeviceID) {
    std::lock_guard lock(mutex_);
    const State& state = loadLocked();
    const auto found = state.targets.find(macDeviceID);
    if (found == state.targets.end()) return std::nullopt;
    return found->second;
}

void WakeRelayConfigurationStore::upsertTarget(const WakeRelayTargetRecord& record) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    state.targets.insert_or_assign(record.macDeviceID, record);
    saveLocked(std::move(state));
}

void WakeRelayConfigurationStore::removeTarget(const Uuid& macDeviceID) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    state.targets.erase(macDeviceID);
    std::erase_if(state.tickets, [&](const auto& entry) { return entry.second.targetMacDeviceID == macDeviceID; });
    for (auto& [id, client] : state.clients) client.allowedTargetMacIDs.erase(macDeviceID);
    saveLocked(std::move(state));
}

std::vector<WakeRelayClientAuthorization> WakeRelayConfigurationStore::clients() {
    std::lock_guard lock(mutex_);
    return valuesSortedBy(loadLocked().clients, &WakeRelayClientAuthorization::pairedAt);
}

void WakeRelayConfigurationStore::authorizeClient(const DevicePublicIdentity& client, const Uuid& targetMacDeviceID,
                                                  Date pairedAt) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    authorizeInto(state, client, targetMacDeviceID, pairedAt);
    saveLocked(std::move(state));
}

void WakeRelayConfigurationStore::revokeClient(const Uuid& clientID) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    const auto found = state.clients.find(clientID);
    if (found == state.clients.end()) throw TrustedDeviceStoreError(TrustedDeviceStoreError::Case::untrustedDevice);
    found->second.authorization = DeviceAuthorization::revoked;
    saveLocked(std::move(state));
}

bool WakeRelayConfigurationStore::isClientAuthorized(const DevicePublicIdentity& client,
                                                     const Uuid& targetMacDeviceID) {
    std::lock_guard lock(mutex_);
    const State& state = loadLocked();
    const auto found = state.clients.find(client.id);
    if (found == state.clients.end()) return false;
    const WakeRelayClientAuthorization& record = found->second;
    return record.authorization == DeviceAuthorization::authorized &&
           record.clientIdentity.fingerprint == client.fingerprint &&
           record.clientIdentity.signingPublicKey == client.signingPublicKey &&
           record.allowedTargetMacIDs.contains(targetMacDeviceID);
}

WakeRelayPairingInvitation WakeRelayConfigurationStore::issuePairingTicket(const RemoteEndpoint& endpoint,
                                                                           const DevicePublicIdentity& relayIdentity,
                                                                           const Uuid& targetMacDeviceID,
                                                                           Date issuedAt, double lifetimeSeconds) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    if (!state.targets.contains(targetMacDeviceID)) {
        throw LocalWakeError(LocalWakeError::Case::noSavedWakeConfiguration);
    }
    const Date expiresAt = issuedAt.addingTimeInterval(lifetimeSeconds);
    // An invitation that could not be written must not exist as a ticket either.
    WakeRelayPairingInvitation::expirySeconds(expiresAt);
    Bytes random = WakeRelayCrypto::randomBytes(WakeRelayCrypto::kNonceSize);
    WakeRelayPairingInvitation invitation;
    invitation.secretHex = lowercaseHexString(random);
    secureWipe(random);
    invitation.endpoint = endpoint;
    invitation.relayFingerprint = relayIdentity.fingerprint;
    invitation.targetMacDeviceID = targetMacDeviceID;
    invitation.ticketID = Uuid::random();
    invitation.expiresAt = expiresAt;
    state.tickets.insert_or_assign(invitation.ticketID,
                                   WakeRelayTicketRecord{invitation.ticketID, secretDigest(invitation.secretHex),
                                                         targetMacDeviceID, expiresAt});
    saveLocked(std::move(state));
    return invitation;
}

bool WakeRelayConfigurationStore::redeemPairingTicket(const Uuid& ticketID, std::string_view secretHex,
                                                      const Uuid& targetMacDeviceID,
                                                      const DevicePublicIdentity& client, Date now) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    std::erase_if(state.tickets, [&](const auto& entry) { return entry.second.expiresAt < now; });
    const auto ticket = state.tickets.find(ticketID);
    if (ticket == state.tickets.end() || ticket->second.targetMacDeviceID != targetMacDeviceID) {
        saveLocked(std::move(state));
        return false;
    }
    // A wrong secret spends nothing and writes nothing: the holder of the real one can still pair.
    if (!WakeRelayCrypto::constantTimeEquals(secretDigest(secretHex), ticket->second.secretSHA256)) return false;
    state.tickets.erase(ticket);
    const auto known = state.clients.find(client.id);
    if (known != state.clients.end() && !sameKeyMaterial(known->second.clientIdentity, client)) {
        // The ticket is spent either way: a device claiming another's id gets no second try.
        saveLocked(std::move(state));
        throw TrustedDeviceStoreError(TrustedDeviceStoreError::Case::identityChanged);
    }
    // One save for both: a ticket is never spent without its authorization.
    authorizeInto(state, client, targetMacDeviceID, now);
    saveLocked(std::move(state));
    return true;
}

bool WakeRelayConfigurationStore::isPairingTicketRedeemable(const Uuid& ticketID, std::string_view secretHex,
                                                            const Uuid& targetMacDeviceID, Date now) {
    std::lock_guard lock(mutex_);
    const State& state = loadLocked();
    const auto ticket = state.tickets.find(ticketID);
    return ticket != state.tickets.end() && ticketRedeems(ticket->second, secretHex, targetMacDeviceID, now);
}

bool WakeRelayConfigurationStore::consumeRequest(const std::string& key, Date now) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    auto& ledger = state.consumedRequests;
    const std::size_t before = ledger.size();
    std::erase_if(ledger, [&](const auto& entry) { return !retained(entry.second, now); });
    if (ledger.contains(key)) {
        saveLocked(std::move(state));
        return false;
    }
    if (ledger.size() >= maxConsumedRequests) {
        std::vector<std::map<std::string, Date>::const_iterator> old;
        for (auto entry = ledger.cbegin(); entry != ledger.cend(); ++entry) {
            if (now.timeIntervalSince(entry->second) >= kLedgerEvictionAgeSeconds) old.push_back(entry);
        }
        std::sort(old.begin(), old.end(), [](const auto& a, const auto& b) { return a->second < b->second; });
        for (auto entry = old.begin(); entry != old.end() && ledger.size() >= maxConsumedRequests; ++entry) {
            ledger.erase(*entry);
        }
        if (ledger.size() >= maxConsumedRequests) {
            // Full of keys still inside the window: refusing is the safe answer.
            if (ledger.size() != before) saveLocked(std::move(state));
            return false;
        }
    }
    ledger.emplace(key, now);
    saveLocked(std::move(state));
    return true;
}

bool WakeRelayConfigurationStore::isRequestConsumed(const std::string& key, Date now) {
    std::lock_guard lock(mutex_);
    const State& state = loadLocked();
    const auto found = state.consumedRequests.find(key);
    return found != state.consumedRequests.end() && retained(found->second, now);
}

void WakeRelayConfigurationStore::appendAuditEntry(const WakeRelayAuditEntry& entry) {
    std::lock_guard lock(mutex_);
    State state = loadLocked();
    state.auditLog.push_back(entry);
    if (state.auditLog.size() > kAuditLogLimit) {
        state.auditLog.erase(state.auditLog.begin(),
                             state.auditLog.begin() +
                                 static_cast<std::ptrdiff_t>(state.auditLog.size() - kAuditLogLimit));
    }
    saveLocked(std::move(state));
}

std::vector<WakeRelayAuditEntry> WakeRelayConfigurationStore::auditLog() {
    std::lock_guard lock(mutex_);
    return loadLocked().auditLog;
}

namespace json {

namespace {

template <class Record>
Json encodeRecords(const std::map<Uuid, Record>& records) {
    Json out = Json::array();
    for (const auto& [id, record] : records) out.push_back(Codec<Record>::encode(record));
    return out;
}

template <class Record, class Id>
std::map<Uuid, Record> decodeRecords(const Json& object, const char* key, Id id) {
    std::map<Uuid, Record> out;
    for (Record& record : field<std::vector<Record>>(object, key)) {
        const Uuid recordID = id(record);
        if (!out.emplace(recordID, std::move(record)).second) {
            failCorrupted(std::string("The wake relay state lists ") + key + " " + recordID.uuidString() + " twice.");
        }
    }
    return out;
}

} // namespace

Json Codec<State>::encode(const State& value) {
    Json out = Json::object();
    out["targets"] = encodeRecords(value.targets);
    out["clients"] = encodeRecords(value.clients);
    out["tickets"] = encodeRecords(value.tickets);
    Json ledger = Json::object();
    for (const auto& [key, date] : value.consumedRequests) ledger[key] = Codec<Date>::encode(date);
    out["consumedRequests"] = std::move(ledger);
    put(out, "auditLog", value.auditLog);
    return out;
}

State Codec<State>::decode(const Json& j) {
    const Json& object = expectObject(j, "PersistedState");
    State state;
    state.targets = decodeRecords<WakeRelayTargetRecord>(object, "targets",
                                                         [](const WakeRelayTargetRecord& r) { return r.macDeviceID; });
    state.clients = decodeRecords<WakeRelayClientAuthorization>(
        object, "clients", [](const WakeRelayClientAuthorization& r) { return r.clientIdentity.id; });
    state.tickets = decodeRecords<WakeRelayTicketRecord>(object, "tickets",
                                                         [](const WakeRelayTicketRecord& r) { return r.ticketID; });
    const auto ledger = object.find("consumedRequests");
    if (ledger == object.end()) failKeyNotFound("consumedRequests");
    if (!ledger->is_object()) failTypeMismatch("a dictionary", *ledger);
    for (const auto& [key, date] : ledger->items()) state.consumedRequests.emplace(key, Codec<Date>::decode(date));
    state.auditLog = field<std::vector<WakeRelayAuditEntry>>(object, "auditLog");
    return state;
}

} // namespace json
} // namespace velorinth
