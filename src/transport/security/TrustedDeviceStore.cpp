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

void TrustedDeviceStore::saveLocked(const Records& records) {
    std::vector<TrustedDevice> ordered;
    ordered.reserve(records.size());
    for (const auto& [id, record] : records) ordered.push_back(record);
    std::sort(ordered.begin(), ordered.end(), storedOrder);
    secureStore_->save(json::encodeToBytes(ordered), service(), kAccount);
}

template <class Change>
TrustedDevice TrustedDeviceStore::updateActiveRecordLocked(const Uuid& id, Change&& change) {
    Records& records = loadLocked();
    auto it = records.find(id);
    if (it == records.end()) fail(Case::untrustedDevice);
    if (it->second.authorization == DeviceAuthorization::revoked) fail(Case::revokedDevice);
    TrustedDevice updated = it->second;
    if (!change(updated)) return updated;
    Records next = records;
    next[id] = updated;
    saveLocked(next);
    records = std::move(next);
    return updated;
}

// ---- reads ------------------------------------------------------------------

std::map<Uuid, TrustedDevice> TrustedDeviceStore::loadIfNeeded() {
    std::lock_guard lock(mutex_);
    return loadLocked();
}

std::vector<TrustedDevice> TrustedDeviceStore::allDevices() {
    std::lock_guard lock(mutex_);
    std::vector<TrustedDevice> devices;
    for (const auto& [id, record] : loadLocked()) devices.push_back(record);
    std::sort(devices.begin(), devices.end(), storedOrder);
    return devices;
}

std::optional<TrustedDevice> TrustedDeviceStore::device(const Uuid& id) {
    std::lock_guard lock(mutex_);
    const Records& records = loadLocked();
    auto it = records.find(id);
    if (it == records.end()) return std::nullopt;
    return it->second;
}

TrustedDevice TrustedDeviceStore::authorize(const DevicePublicIdentity& peer, DevicePermissions required) {
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    Records& records = loadLocked();
    auto existing = records.find(record.id);
    if (existing != records.end() && !sameSigningIdentity(existing->second.identity, record.identity)) {
        fail(Case::identityChanged);
    }
    Records next = records;
    next.insert_or_assign(record.id, record);
    saveLocked(next);
    records = std::move(next);
}

TrustedDevice TrustedDeviceStore::recordAuthenticatedConnection(const DevicePublicIdentity& peer, Date date) {
    std::lock_guard lock(mutex_);
    Records& records = loadLocked();
    auto it = records.find(peer.id);
    if (it == records.end()) fail(Case::untrustedDevice);
    if (!sameSigningIdentity(it->second.identity, peer)) fail(Case::identityChanged);
    return updateActiveRecordLocked(peer.id, [&](TrustedDevice& record) {
        record.lastSuccessfulConnection = date;
        return true;
    });
}

void TrustedDeviceStore::revoke(const Uuid& id) {
    std::lock_guard lock(mutex_);
    Records& records = loadLocked();
    auto it = records.find(id);
    if (it == records.end()) fail(Case::untrustedDevice);
    // Revoked in memory first: even if the save fails, the device is refused now.
    it->second.authorization = DeviceAuthorization::revoked;
    saveLocked(records);
}

void TrustedDeviceStore::updatePermissions(const Uuid& id, DevicePermissions permissions) {
    std::lock_guard lock(mutex_);
    Records& records = loadLocked();
    auto it = records.find(id);
    if (it == records.end()) fail(Case::untrustedDevice);
    const DevicePermissions previous = it->second.permissions;
    if (previous == permissions) return; // nothing to write
    Records next = records;
    next[id].permissions = permissions;
    try {
        saveLocked(next);
    } catch (...) {
        // A cleared bit bites at once; a granted one waits for a good save.
        it->second.permissions = previous & permissions;
        throw;
    }
    records = std::move(next);
}

void TrustedDeviceStore::remove(const Uuid& id) {
    std::lock_guard lock(mutex_);
    Records& records = loadLocked();
    // Gone from memory even when the save fails. The write happens for an
    // unknown id too, so retrying after a failed save still reaches storage.
    records.erase(id);
    saveLocked(records);
}

void TrustedDeviceStore::deleteAll() {
    std::lock_guard lock(mutex_);
    secureStore_->deleteItem(service(), kAccount);
    records_.reset();
}

void TrustedDeviceStore::persist(const std::vector<TrustedDevice>& records) {
    Records next;
    for (const auto& record : records) {
        requireConsistent(record);
        next.insert_or_assign(record.id, record);
    }
    std::lock_guard lock(mutex_);
    saveLocked(next);
    records_ = std::move(next);
}

// ---- wake and endpoint bookkeeping -------------------------------------------

void TrustedDeviceStore::recordVerifiedWake(const Uuid& id, Date date, std::optional<WakeRouteKind> route) {
    std::lock_guard lock(mutex_);
    updateActiveRecordLocked(id, [&](TrustedDevice& record) {
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
    std::lock_guard lock(mutex_);
    updateActiveRecordLocked(id, [&](TrustedDevice& record) {
        if (!record.wakeConfiguration) record.wakeConfiguration = SavedWakeConfiguration::empty(summary.timestamp);
        record.wakeConfiguration->lastAttempt = summary;
        return true;
    });
}

void TrustedDeviceStore::updatePowerState(const Uuid& id, PowerStateEvidence state, Date date) {
    std::lock_guard lock(mutex_);
    updateActiveRecordLocked(id, [&](TrustedDevice& record) {
        if (!record.wakeConfiguration) record.wakeConfiguration = SavedWakeConfiguration::empty(date);
        record.wakeConfiguration->lastKnownPowerState = state;
        record.wakeConfiguration->updatedAt = date;
        return true;
    });
}

void TrustedDeviceStore::recordWakeRelayActivity(const Uuid& id, Date date) {
    std::lock_guard lock(mutex_);
    updateActiveRecordLocked(id, [&](TrustedDevice& record) {
        if (!record.wakeRelayConfiguration) return false;
        record.wakeRelayConfiguration->lastVerifiedAt = date;
        record.wakeRelayConfiguration->lastWakeDispatchedAt = date;
        return true;
    });
}

TrustedDevice TrustedDeviceStore::recordEndpointSuccess(const Uuid& id, const Uuid& endpointID, bool completed,
                                                        Date date) {
    std::lock_guard lock(mutex_);
    return updateActiveRecordLocked(id, [&](TrustedDevice& record) {
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
    std::lock_guard lock(mutex_);
    updateActiveRecordLocked(id, [&](TrustedDevice& record) {
        record.lastReachability = observation;
        return true;
    });
}

TrustedDevice TrustedDeviceStore::setWakeRelayConfiguration(
    const Uuid& id, const std::optional<PairedWakeRelayConfiguration>& configuration, bool allowLoopback) {
    std::lock_guard lock(mutex_);
    return updateActiveRecordLocked(id, [&](TrustedDevice& record) {
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
    std::lock_guard lock(mutex_);
    return updateActiveRecordLocked(id, [&](TrustedDevice& record) {
        SavedWakeConfiguration merged = configuration;
        if (const auto& stored = record.wakeConfiguration) {
            merged.lastVerifiedWakeAt = later(stored->lastVerifiedWakeAt, configuration.lastVerifiedWakeAt);
            if (!merged.lastAttempt) merged.lastAttempt = stored->lastAttempt;
        }
        record.wakeConfiguration = std::move(merged);
        return true;
    });
}

} // namespace velorinth
