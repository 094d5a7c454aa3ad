#pragma once

#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/Uuid.hpp"
#include "platform/SecureStore.hpp"
#include "transport/relay/WakeRelayPairingInvitation.hpp"
#include "transport/relay/WakeRelayRecords.hpp"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// The wake relay's whole memory as one JSON document in the secure store:
// targets, client authorizations, outstanding tickets, the replay ledger and
// the last 100 audit entries. Each operation is one load-modify-save under
// one mutex, so a request key is consumed and a ticket spent at most once;
// a change reaches the cache only after its save succeeded, and nothing is
// written for a read. The document is read once (a failed read is tried
// again next time; one that does not decode fails every operation and is
// never overwritten).
//
// Synchronous and callable from any thread; a save flushes to disk, so the
// relay server calls it on a store worker. Operations are virtual so a test
// can make one fail.
class WakeRelayConfigurationStore {
public:
    static constexpr std::string_view kServiceSuffix = ".wake-relay";
    static constexpr std::string_view kAccount = "relay-state-v1";
    static constexpr std::size_t kAuditLogLimit = 100;
    static constexpr double kReplayRetentionSeconds = 300;
    // A full ledger gives up entries at least this old: their timestamps lie
    // outside the request window, which alone refuses their replay.
    static constexpr double kLedgerEvictionAgeSeconds = 180;
    static constexpr std::size_t kDefaultMaxConsumedRequests = 4096;
    // kApplicationIdentifierPrefix + kServiceSuffix.
    static std::string service();

    struct PersistedState {
        std::map<Uuid, WakeRelayTargetRecord> targets;
        std::map<Uuid, WakeRelayClientAuthorization> clients;
        std::map<Uuid, WakeRelayTicketRecord> tickets;
        std::map<std::string, Date> consumedRequests;
        std::vector<WakeRelayAuditEntry> auditLog; // oldest first

        bool operator==(const PersistedState&) const = default;
    };

    explicit WakeRelayConfigurationStore(std::shared_ptr<SecureStore> secureStore,
                                         std::size_t maxConsumedRequests = kDefaultMaxConsumedRequests);
    virtual ~WakeRelayConfigurationStore() = default;
    WakeRelayConfigurationStore(const WakeRelayConfigurationStore&) = delete;
    WakeRelayConfigurationStore& operator=(const WakeRelayConfigurationStore&) = delete;

    // Every operation throws the load errors (the secure store's, or the
    // decoding error); every change the save errors too.

    // By createdAt, earliest first.
    virtual std::vector<WakeRelayTargetRecord> targets();
    virtual std::optional<WakeRelayTargetRecord> target(const Uuid& macDeviceID);
    // Stored under its macDeviceID, unchecked.
    virtual void upsertTarget(const WakeRelayTargetRecord& record);
    // Drops the target, its tickets and every client's grant for it (clients
    // stay); the ledger and the audit log are kept. Writes even for an unknown id.
    virtual void removeTarget(const Uuid& macDeviceID);
    // By pairedAt, earliest first.
    virtual std::vector<WakeRelayClientAuthorization> clients();
    // Creates the client, or re-authorizes a known one (same key and
    // fingerprint) for one more target, keeping its pairedAt. A known id with
    // other key material throws TrustedDeviceStoreError identityChanged.
    virtual void authorizeClient(const DevicePublicIdentity& client, const Uuid& targetMacDeviceID, Date pairedAt);
    // Keeps the allowed targets. TrustedDeviceStoreError untrustedDevice for an unknown id.
    virtual void revokeClient(const Uuid& clientID);
    // Known, authorized, same fingerprint and key, and the target granted.
    virtual bool isClientAuthorized(const DevicePublicIdentity& client, const Uuid& targetMacDeviceID);
    // A new ticket for a known target (else LocalWakeError
    // noSavedWakeConfiguration), saved before its invitation, the one place
    // its secret exists, is returned. An expiry an invitation cannot carry
    // throws WakeRelayClientError invalidInvitationFormat; nothing is written.
    virtual WakeRelayPairingInvitation issuePairingTicket(const RemoteEndpoint& endpoint,
                                                          const DevicePublicIdentity& relayIdentity,
                                                          const Uuid& targetMacDeviceID, Date issuedAt,
                                                          double lifetimeSeconds);
    // True when the ticket was good and the client is now authorized for the
    // target: the spent ticket and the authorization are saved together. A
    // wrong secret writes nothing and leaves the ticket usable. A client id
    // known with other key material spends the ticket and throws identityChanged.
    virtual bool redeemPairingTicket(const Uuid& ticketID, std::string_view secretHex, const Uuid& targetMacDeviceID,
                                     const DevicePublicIdentity& client, Date now);
    // Whether redeemPairingTicket would take this secret for this target at
    // `now`. Reads only.
    virtual bool isPairingTicketRedeemable(const Uuid& ticketID, std::string_view secretHex,
                                           const Uuid& targetMacDeviceID, Date now);
    // True when `key` was new and is now recorded; false for a replay, and
    // for a new key that meets a full ledger with nothing old enough to give up.
    virtual bool consumeRequest(const std::string& key, Date now);
    // Whether consumeRequest would find `key` in the ledger at `now`. Reads only.
    virtual bool isRequestConsumed(const std::string& key, Date now);
    // Appends and keeps the newest 100.
    virtual void appendAuditEntry(const WakeRelayAuditEntry& entry);
    virtual std::vector<WakeRelayAuditEntry> auditLog();

    // The cached document, else the stored one, else an empty one (cached, not written).
    virtual PersistedState load();
    // Writes the whole document, then caches it.
    virtual void save(const PersistedState& state);

    const std::size_t maxConsumedRequests;

private:
    const PersistedState& loadLocked();
    void saveLocked(PersistedState state);

    const std::shared_ptr<SecureStore> secureStore_;
    std::mutex mutex_;
    std::optional<PersistedState> cached_;
};

namespace json {

// The three maps as arrays of their records (each keyed by its own id; a
// repeated id fails), the ledger as an object from key to date.
template <>
struct Codec<WakeRelayConfigurationStore::PersistedState> {
    static Json encode(const WakeRelayConfigurationStore::PersistedState& value);
    static WakeRelayConfigurationStore::PersistedState decode(const Json& j);
};

} // namespace json
} // namespace velorinth
