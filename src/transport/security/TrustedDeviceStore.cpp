#include "transport/security/TrustedDeviceStore.hpp"

#include "core/Constants.hpp"
#include "core/Json.hpp"
#include "core/RemoteEndpointValidator.hpp"

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <utility>

namespace velorinth {

namespace {

using Case = TrustedDeviceStoreError::Case;

[[noreturn]] void fail(Case kind) { throw TrustedDeviceStoreError(kind); }

bool sameSigningIdentity(const DevicePublicIdentity& a, const DevicePublicIdentity& b) {
    return a.signingPublicKey == b.signingPublicKey && a.fingerprint == b.fingerprint;
}

bool storedOrder(const TrustedDevice& a, const TrustedDevice& b) {
    if (a.pairedAt != b.pairedAt) return a.pairedAt < b.pairedAt;
    return a.id < b.id;
}

// A record whose id differs from its identity's would make the whole stored
// array undecodable, so it is refused before anything is written. Callers
// build records from one identity: a mismatch is their fault.
void requireConsistent(const TrustedDevice& record) {
    assert(record.id == record.identity.id && "a trusted device's id is its identity's");
    if (record.id != record.identity.id) throw TrustedDeviceStoreError(TrustedDeviceStoreError::Case::corruptedStore);
}

std::optional<Date> later(const std::optional<Date>& a, const std::optional<Date>& b) {
    if (!a) return b;
    if (!b) return a;
    return std::max(*a, *b);
}

// The stored file is only as trustworthy as the disk it sits on: an endpoint
// the validator refuses is never dialled, but the device keeps its trust and
// its other endpoints (a relay at such an endpoint is forgotten). Loopback is
// left to the dialler, which knows whether it is allowed.
bool isDialable(const RemoteEndpoint& endpoint) {
    try {
        RemoteEndpointValidator::validate(endpoint.host, endpoint.port, true);
        return true;
    } catch (const RemoteEndpointValidationError&) {
        return false;
    }
}

void dropInvalidEndpoints(TrustedDevice& record) {
    std::erase_if(record.remoteEndpoints, [](const RemoteEndpoint& endpoint) { return !isDialable(endpoint); });
    if (record.wakeRelayConfiguration && !isDialable(record.wakeRelayConfiguration->endpoint)) {
        record.wakeRelayConfiguration.reset();
    }
}

TrustedDevice& knownRecord(std::map<Uuid, TrustedDevice>& records, const Uuid& id) {
    auto it = records.find(id);
    if (it == records.end()) fail(Case::untrustedDevice);
    return it->second;
}

// A known, unrevoked record; with a peer, also one of the peer's identity.
TrustedDevice& activeRecord(std::map<Uuid, TrustedDevice>& records, const Uuid& id,
                            const DevicePublicIdentity* peer = nullptr) {
    TrustedDevice& record = knownRecord(records, id);
    if (peer && !sameSigningIdentity(record.identity, *peer)) fail(Case::identityChanged);
    if (record.authorization == DeviceAuthorization::revoked) fail(Case::revokedDevice);
    return record;
}

} // namespace

TrustedDeviceStoreError::TrustedDeviceStoreError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view TrustedDeviceStoreError::text(Case kind) {
    switch (kind) {
    case Case::untrustedDevice: return "This device is not paired. Complete secure pairing first.";
    case Case::revokedDevice: return "Access for this device has been revoked.";
    case Case::identityChanged:
        return "The device's cryptographic identity changed unexpectedly. Remove the old trust record and pair "
               "again if you reinstalled Velorinth.";
    case Case::permissionDenied: return "This paired device does not have permission for the requested action.";
    case Case::endpointNotFound: return "The requested remote endpoint does not exist on this paired Mac.";
    case Case::endpointLimitReached:
        return "Maximum number of saved remote endpoints reached. Remove an unused endpoint first.";
    case Case::invalidRelayTargetBinding: return "The Wake Relay configuration does not match the intended paired Mac.";
    case Case::corruptedStore:
        return "Trusted device storage in Keychain is corrupted. Reset trusted devices to recover.";
    }
    return {};
}

std::string TrustedDeviceStore::service() {
    return applicationIdentifier(kServiceSuffix);
}

TrustedDeviceStore::TrustedDeviceStore(std::shared_ptr<SecureStore> secureStore)
    : secureStore_(std::move(secureStore)) {}

// ---- storage ----------------------------------------------------------------

TrustedDeviceStore::Records& TrustedDeviceStore::loadLocked() {
    if (records_) return *records_;
    // A read error propagates and is not remembered: the next call reads again.
    std::optional<Bytes> stored = secureStore_->load(service(), kAccount);
    Records records;
    if (stored) {
        std::optional<std::vector<TrustedDevice>> decoded =
            json::tryDecodeFromBytes<std::vector<TrustedDevice>>(*stored);
        if (!decoded) fail(Case::corruptedStore);
        for (auto& record : *decoded) {
            // Two records under one id cannot both be honoured; picking one
            // could resurrect a revoked device.
            if (!records.emplace(record.id, std::move(record)).second) fail(Case::corruptedStore);
        }
    }
    for (auto& [id, record] : records) dropInvalidEndpoints(record);
    records_ = std::move(records);
    return *records_;
}

void TrustedDeviceStore::save(const Records& records) {
    std::vector<TrustedDevice> ordered;
    ordered.reserve(records.size());
    for (const auto& [id, record] : records) ordered.push_back(record);
    std::sort(ordered.begin(), ordered.end(), storedOrder);
    secureStore_->save(json::encodeToBytes(ordered), service(), kAccount);
}

void TrustedDeviceStore::write(const Change& change) {
    std::lock_guard saving(saveMutex_);
    Records base;
    std::uint64_t version = 0;
    {
        std::lock_guard lock(stateMutex_);
        base = loadLocked();
        version = version_;
    }
    Records next = base;
    if (!change(next)) return;
    save(next);
    std::lock_guard lock(stateMutex_);
    if (version_ == version) {
        records_ = std::move(next);
    } else {
        // Access was taken away in memory while this was saved: that must not
        // be undone, so the change is applied again over it, and what was
        // taken away is taken away again from its result (a re-pairing saved
        // while its device was revoked stays revoked). The remover saves
        // memory after this. A change that no longer applies (its record was
        // revoked or removed) leaves memory as it is.
        Records current = *records_;
        try {
            if (change(current)) {
                keepRemovals(base, *records_, current);
                records_ = std::move(current);
            }
        } catch (...) {
        }
    }
    ++version_;
}

// What `now` has taken away since `before` (a record removed or revoked,
// permissions cleared) is taken away from `result` too.
void TrustedDeviceStore::keepRemovals(const Records& before, const Records& now, Records& result) {
    for (const auto& [id, old] : before) {
        auto kept = now.find(id);
        auto changed = result.find(id);
        if (changed == result.end()) continue;
        if (kept == now.end()) {
            result.erase(changed);
            continue;
        }
        if (kept->second.authorization == DeviceAuthorization::revoked &&
            old.authorization != DeviceAuthorization::revoked) {
            changed->second.authorization = DeviceAuthorization::revoked;
        }
        changed->second.permissions.remove(old.permissions.subtracting(kept->second.permissions));
    }
}

void TrustedDeviceStore::removeAccess(const std::function<void(Records&)>& removal) {
    {
        // In memory first, without waiting for a save in progress: sessions
        // re-check the record before every message.
        std::lock_guard lock(stateMutex_);
        removal(loadLocked());
        ++version_;
    }
    write([](Records&) { return true; });
}

template <class RecordChange>
TrustedDevice TrustedDeviceStore::updateActiveRecord(const Uuid& id, RecordChange&& change,
                                                     const DevicePublicIdentity* peer) {
    TrustedDevice result;
    write([&](Records& records) {
        TrustedDevice& record = activeRecord(records, id, peer);
        const bool changed = change(record);
        result = record;
        return changed;
    });
    return result;
}

// ---- reads ------------------------------------------------------------------

std::map<Uuid, TrustedDevice> TrustedDeviceStore::loadIfNeeded() {
    std::lock_guard lock(stateMutex_);
    return loadLocked();
}

std::vector<TrustedDevice> TrustedDeviceStore::allDevices() {
    std::lock_guard lock(stateMutex_);
    std::vector<TrustedDevice> devices;
    for (const auto& [id, record] : loadLocked()) devices.push_back(record);
    std::sort(devices.begin(), devices.end(), storedOrder);
    return devices;
}

std::optional<TrustedDevice> TrustedDeviceStore::device(const Uuid& id) {
    std::lock_guard lock(stateMutex_);
    const Records& records = loadLocked();
    auto it = records.find(id);
    if (it == records.end()) return std::nullopt;
    return it->second;
}

TrustedDevice TrustedDeviceStore::authorize(const DevicePublicIdentity& peer, DevicePermissions required) {
    std::lock_guard lock(stateMutex_);
    const Records& records = loadLocked();
    auto it = records.find(peer.id);
    if (it == records.end()) {
        // A reinstalled device keeps its discovery name but gets a new key.
        for (const auto& [id, record] : records) {
            if (record.identity.discoveryInstanceID == peer.discoveryInstanceID &&
                record.identity.fingerprint != peer.fingerprint) {
                fail(Case::identityChanged);
            }
        }
        fail(Case::untrustedDevice);
    }
    const TrustedDevice& record = it->second;
    if (!sameSigningIdentity(record.identity, peer)) fail(Case::identityChanged);
    if (record.authorization == DeviceAuthorization::revoked) fail(Case::revokedDevice);
    if (DevicePermissions::isMissingRequired(required, record.permissions)) fail(Case::permissionDenied);
    return record;
}

// ---- changes ----------------------------------------------------------------

void TrustedDeviceStore::trust(const TrustedDevice& record) {
    requireConsistent(record);
    write([&](Records& records) {
        auto existing = records.find(record.id);
        if (existing != records.end() && !sameSigningIdentity(existing->second.identity, record.identity)) {
            fail(Case::identityChanged);
        }
        records.insert_or_assign(record.id, record);
        return true;
    });
}

TrustedDevice TrustedDeviceStore::recordAuthenticatedConnection(const DevicePublicIdentity& peer, Date date) {
    return updateActiveRecord(
        peer.id,
        [&](TrustedDevice& record) {
            record.lastSuccessfulConnection = date;
            return true;
        },
        &peer);
}

void TrustedDeviceStore::revoke(const Uuid& id) {
    // Even if the save fails, the device is refused now.
    removeAccess([&](Records& records) { knownRecord(records, id).authorization = DeviceAuthorization::revoked; });
}

void TrustedDeviceStore::updatePermissions(const Uuid& id, DevicePermissions permissions) {
    {
        std::lock_guard lock(stateMutex_);
        TrustedDevice& record = knownRecord(loadLocked(), id);
        if (record.permissions == permissions) return; // nothing to write
        // A cleared bit bites at once; a granted one waits for a good save.
        const DevicePermissions kept = record.permissions & permissions;
        if (kept != record.permissions) {
            record.permissions = kept;
            ++version_;
        }
    }
    write([&](Records& records) {
        knownRecord(records, id).permissions = permissions;
        return true;
    });
}

void TrustedDeviceStore::remove(const Uuid& id) {
    // Gone from memory even when the save fails. The write happens for an
    // unknown id too, so retrying after a failed save still reaches storage.
    removeAccess([&](Records& records) { records.erase(id); });
}

void TrustedDeviceStore::deleteAll() {
    {
        std::lock_guard lock(stateMutex_);
        records_.emplace();
        ++version_;
    }
    std::lock_guard saving(saveMutex_);
    {
        // A change whose save was in progress has applied itself again over
        // the first clearing; it goes too, as storage is about to.
        std::lock_guard lock(stateMutex_);
        records_.emplace();
        ++version_;
    }
    secureStore_->deleteItem(service(), kAccount);
}

void TrustedDeviceStore::persist(const std::vector<TrustedDevice>& records) {
    Records replacement;
    for (const auto& record : records) {
        requireConsistent(record);
        replacement.insert_or_assign(record.id, record);
    }
    write([&](Records& current) {
        current = replacement;
        return true;
    });
}

// ---- wake and endpoint bookkeeping -------------------------------------------

void TrustedDeviceStore::recordVerifiedWake(const Uuid& id, Date date, std::optional<WakeRouteKind> route) {
    updateActiveRecord(id, [&](TrustedDevice& record) {
        auto& configuration = record.wakeConfiguration;
        // A repeated report of the same wake writes nothing.
        if (configuration && configuration->lastVerifiedWakeAt == date && !route) return false;
        if (!configuration) configuration = SavedWakeConfiguration::empty(date);
        configuration->lastVerifiedWakeAt = date;
        if (route) {
            configuration->lastAttempt =
                WakeAttemptOutcomeSummary{date, *route, WakeAttemptResultKind::wakeConfirmedByAuthenticatedSession};
        }
        return true;
    });
}

void TrustedDeviceStore::recordWakeAttempt(const Uuid& id, const WakeAttemptOutcomeSummary& summary) {
    updateActiveRecord(id, [&](TrustedDevice& record) {
        if (!record.wakeConfiguration) record.wakeConfiguration = SavedWakeConfiguration::empty(summary.timestamp);
        record.wakeConfiguration->lastAttempt = summary;
        return true;
    });
}

void TrustedDeviceStore::updatePowerState(const Uuid& id, PowerStateEvidence state, Date date) {
    updateActiveRecord(id, [&](TrustedDevice& record) {
        auto& configuration = record.wakeConfiguration;
        if (configuration && configuration->lastKnownPowerState == state) return false;
        if (!configuration) configuration = SavedWakeConfiguration::empty(date);
        configuration->lastKnownPowerState = state;
        configuration->updatedAt = date;
        return true;
    });
}

void TrustedDeviceStore::recordWakeRelayActivity(const Uuid& id, Date date) {
    updateActiveRecord(id, [&](TrustedDevice& record) {
        if (!record.wakeRelayConfiguration) return false;
        record.wakeRelayConfiguration->lastVerifiedAt = date;
        record.wakeRelayConfiguration->lastWakeDispatchedAt = date;
        return true;
    });
}

TrustedDevice TrustedDeviceStore::recordEndpointSuccess(const Uuid& id, const Uuid& endpointID, bool completed,
                                                        Date date) {
    return updateActiveRecord(id, [&](TrustedDevice& record) {
        auto endpoint = std::find_if(record.remoteEndpoints.begin(), record.remoteEndpoints.end(),
                                     [&](const RemoteEndpoint& candidate) { return candidate.id == endpointID; });
        if (endpoint == record.remoteEndpoints.end()) fail(Case::endpointNotFound);
        endpoint->lastVerifiedAt = date;
        if (completed) {
            endpoint->lastConnectedAt = date;
            record.lastSuccessfulEndpointID = endpointID;
            record.lastSuccessfulConnection = date;
        }
        const auto route = endpoint->transport == RemoteTransportKind::localDirect
                               ? ConnectionRouteKind::localDirect
                               : ConnectionRouteKind::privateNetwork;
        record.lastReachability = RemoteReachabilityObservation{endpointID, route, date};
        return true;
    });
}

void TrustedDeviceStore::recordReachability(const Uuid& id, const RemoteReachabilityObservation& observation) {
    updateActiveRecord(id, [&](TrustedDevice& record) {
        record.lastReachability = observation;
        return true;
    });
}

TrustedDevice TrustedDeviceStore::setWakeRelayConfiguration(
    const Uuid& id, const std::optional<PairedWakeRelayConfiguration>& configuration, bool allowLoopback) {
    return updateActiveRecord(id, [&](TrustedDevice& record) {
        if (configuration) {
            RemoteEndpointValidator::validate(configuration->endpoint.host, configuration->endpoint.port,
                                              allowLoopback);
            // A relay must wake this very Mac, and must not be the Mac itself.
            if (configuration->targetMacDeviceID != record.id ||
                configuration->relayIdentity.fingerprint == record.identity.fingerprint) {
                fail(Case::invalidRelayTargetBinding);
            }
        }
        record.wakeRelayConfiguration = configuration;
        return true;
    });
}

TrustedDevice TrustedDeviceStore::updateWakeConfiguration(const Uuid& id,
                                                          const SavedWakeConfiguration& configuration) {
    return updateActiveRecord(id, [&](TrustedDevice& record) {
        SavedWakeConfiguration merged = configuration;
        if (const auto& stored = record.wakeConfiguration) {
            merged.lastVerifiedWakeAt = later(stored->lastVerifiedWakeAt, configuration.lastVerifiedWakeAt);
            if (!merged.lastAttempt) merged.lastAttempt = stored->lastAttempt;
            if (merged == *stored) return false;
        }
        record.wakeConfiguration = std::move(merged);
        return true;
    });
}

} // namespace velorinth
