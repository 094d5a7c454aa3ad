#pragma once

#include "core/Date.hpp"
#include "core/Error.hpp"
#include "core/IdentityModels.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "core/WakeModels.hpp"
#include "platform/SecureStore.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

class TrustedDeviceStoreError : public Error {
public:
    enum class Case {
        untrustedDevice,
        revokedDevice,
        identityChanged,
        permissionDenied,
        endpointNotFound,
        endpointLimitReached,
        invalidRelayTargetBinding,
        corruptedStore,
    };

    explicit TrustedDeviceStoreError(Case kind);
    static std::string_view text(Case kind);

    Case kind;
};

// The trust records of paired devices, kept as one JSON array in the secure
// store. The array is read on first use (a failed read is retried next time)
// and written after every change, sorted by pairedAt and then id.
//
// A change is saved from a copy and reaches memory only once the save has
// succeeded, so memory never runs ahead of storage. The exception is a change
// that takes access away (revoke, remove, a permission cleared): it applies in
// memory even when the save fails, and the save error is still thrown, because
// sessions re-check the record before every message and must be cut off now.
//
// Synchronous and callable from any thread. Reads never wait for a save: the
// state mutex guards only the records in memory and is never held across a
// save. Writers are serialised by the save mutex from snapshot to commit; a
// writer commits its saved copy only if no access-removing change bit in
// memory meanwhile, and otherwise applies its change again over that one.
class TrustedDeviceStore {
public:
    static constexpr std::string_view kServiceSuffix = ".trusted-devices";
    static constexpr std::string_view kAccount = "trust-records-v1";
    // kApplicationIdentifierPrefix + kServiceSuffix.
    static std::string service();

    explicit TrustedDeviceStore(std::shared_ptr<SecureStore> secureStore);

    // Every record by identifier. Fails with the secure store's error, or with
    // corruptedStore when the stored array does not decode.
    std::map<Uuid, TrustedDevice> loadIfNeeded();
    // Every record, sorted by pairedAt (then id).
    std::vector<TrustedDevice> allDevices();
    std::optional<TrustedDevice> device(const Uuid& id);

    // The peer's record when its key and fingerprint match, it is not revoked
    // and it grants every `required` permission.
    TrustedDevice authorize(const DevicePublicIdentity& peer, DevicePermissions required);

    // Inserts the record or replaces the one with its id: one write, so a
    // re-pairing never passes through a state without the device. A stored
    // record of that id with another key or fingerprint fails with
    // identityChanged and nothing is written.
    void trust(const TrustedDevice& record);
    TrustedDevice recordAuthenticatedConnection(const DevicePublicIdentity& peer, Date date);

    void revoke(const Uuid& id);
    void updatePermissions(const Uuid& id, DevicePermissions permissions);
    // An unknown id is no error.
    void remove(const Uuid& id);
    // Deletes the stored item without reading it, so it also recovers a
    // corrupted store. Memory is emptied first, even if the delete fails.
    void deleteAll();
    // Replaces every record; prefer trust, which cannot drop other changes.
    void persist(const std::vector<TrustedDevice>& records);

    // Wake and endpoint bookkeeping: each fails with untrustedDevice for an
    // unknown id and revokedDevice for a revoked one, and writes once.
    //
    // Sets the wake configuration's lastVerifiedWakeAt and, with a route, its
    // lastAttempt as confirmed by an authenticated session.
    void recordVerifiedWake(const Uuid& id, Date date, std::optional<WakeRouteKind> route = std::nullopt);
    void recordWakeAttempt(const Uuid& id, const WakeAttemptOutcomeSummary& summary);
    // Writes nothing, and keeps updatedAt, when `state` is the stored one.
    void updatePowerState(const Uuid& id, PowerStateEvidence state, Date date);
    // Only when a relay is configured; otherwise nothing is written.
    void recordWakeRelayActivity(const Uuid& id, Date date);
    // Fails with endpointNotFound for an endpoint the record does not have.
    TrustedDevice recordEndpointSuccess(const Uuid& id, const Uuid& endpointID, bool completed, Date date);
    void recordReachability(const Uuid& id, const RemoteReachabilityObservation& observation);
    // Fails with the endpoint validator's error, or invalidRelayTargetBinding
    // when the relay is not for this device or claims the device's own key.
    TrustedDevice setWakeRelayConfiguration(const Uuid& id,
                                            const std::optional<PairedWakeRelayConfiguration>& configuration,
                                            bool allowLoopback);
    // Stores the host-sent configuration, keeping the later lastVerifiedWakeAt
    // and the stored lastAttempt when the sent one has none; writes nothing
    // when that is what is stored.
    TrustedDevice updateWakeConfiguration(const Uuid& id, const SavedWakeConfiguration& configuration);

private:
    using Records = std::map<Uuid, TrustedDevice>;
    // Applies a change to the records it is given; false when nothing changed.
    // Throws to refuse the change.
    using Change = std::function<bool(Records&)>;

    // With the state mutex held.
    Records& loadLocked();
    void save(const Records& records);
    // Under the save mutex: applies `change` to a snapshot, saves the result
    // when it changed, then commits it (see the class comment).
    void write(const Change& change);
    // Applies `removal` to memory at once, then saves memory as it now is.
    void removeAccess(const std::function<void(Records&)>& removal);
    static void keepRemovals(const Records& before, const Records& now, Records& result);
    // Looks up an unrevoked record (of `peer`'s identity when given), applies
    // `change` to it through write() and returns the record as it then is.
    template <class RecordChange>
    TrustedDevice updateActiveRecord(const Uuid& id, RecordChange&& change, const DevicePublicIdentity* peer = nullptr);

    std::shared_ptr<SecureStore> secureStore_;
    std::mutex saveMutex_;           // taken before stateMutex_, never by a reader
    std::mutex stateMutex_;          // guards records_ and version_
    std::optional<Records> records_; // nullopt until a load succeeds
    std::uint64_t version_ = 0;      // bumped by every change to records_
};

} // namespace velorinth
