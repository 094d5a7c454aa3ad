#pragma once

// Value types describing how a Mac can be woken over its network: the saved
// interfaces, what the Mac last reported about its power and wake setting,
// and the outcome of wake attempts.

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/Error.hpp"
#include "core/Json.hpp"
#include "core/RemoteEndpoint.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velorinth {

enum class PowerSourceCondition { acPower, batteryPower, unknown };
enum class PowerStateEvidence { awake, displayAsleep, systemSleepReportedBeforeDisconnect, unknown };
// Declaration order is the order of SavedWakeConfiguration::sortedTargets.
enum class WakeInterfaceKind { ethernet, wifi, other };
enum class WakeRouteKind { directLocalNetwork, bonjourSleepProxy, externalWakeRelay, unavailable, unknown };
enum class WakeAttemptResultKind {
    wakeRequestSent,
    wakeConfirmedByAuthenticatedSession,
    wakeTimedOut,
    cancelled,
    failedToSend,
};
enum class WakeReadinessCategory { readyVerified, possibleUnverified, actionRequired, unsupported, unknown };
enum class WakeConfidence { high, medium, low, none };

class WakeModelError : public Error {
public:
    enum class Case { invalidMACAddress, nonUnicastMACAddress, invalidIPv4Address, nonLocalNetworkDestination };
    explicit WakeModelError(Case kind);
    static std::string_view text(Case kind);
    Case kind;
};

// What is known about a setting of the Mac: confirmed now, remembered from an
// earlier observation, not known, or not supported by the Mac at all.
template <class T>
class Evidence {
public:
    enum class Case { verified, lastKnown, unknown, unsupported };

    Evidence() = default; // unknown

    static Evidence verified(T value) { return Evidence(Case::verified, std::move(value), std::nullopt); }
    static Evidence lastKnown(T value, Date observedAt) {
        return Evidence(Case::lastKnown, std::move(value), observedAt);
    }
    static Evidence unknown() { return Evidence(); }
    static Evidence unsupported() { return Evidence(Case::unsupported, std::nullopt, std::nullopt); }

    Case kind() const noexcept { return kind_; }
    // The value of a verified or lastKnown evidence; nullopt otherwise.
    const std::optional<T>& value() const noexcept { return value_; }
    // The observation date of a lastKnown evidence; nullopt otherwise.
    const std::optional<Date>& observedAt() const noexcept { return observedAt_; }

    bool operator==(const Evidence&) const = default;

private:
    Evidence(Case kind, std::optional<T> value, std::optional<Date> observedAt)
        : kind_(kind), value_(std::move(value)), observedAt_(observedAt) {}

    Case kind_ = Case::unknown;
    std::optional<T> value_;
    std::optional<Date> observedAt_;
};

// Dotted-quad IPv4 text and the address ranges a wake packet may go to.
struct LocalIPv4Validator {
    // Trims whitespace and newlines; four "."-separated decimal parts 0-255,
    // first part in the high byte. Throws WakeModelError invalidIPv4Address.
    static std::uint32_t parse(std::string_view text);
    // Never fails; no leading zeros.
    static std::string format(std::uint32_t address);
    // Private (10/8, 172.16/12, 192.168/16) or link-local (169.254/16);
    // loopback (127/8) only when allowed.
    static bool isLocal(std::uint32_t address, bool allowLoopback);
};

// A hardware address. The constructors accept only a 6-byte unicast address;
// a decoded value is kept as stored (see unvalidated), so wake code validates
// again before use.
class MACAddress {
public:
    static constexpr std::size_t kLength = 6;

    // Throws WakeModelError invalidMACAddress (length) or nonUnicastMACAddress.
    explicit MACAddress(ByteView bytes);
    // Six two-digit hexadecimal octets separated by ":" or "-", surrounding
    // whitespace trimmed. Throws as above.
    explicit MACAddress(std::string_view text);

    // Keeps the bytes exactly as given, for values read back from storage or a peer.
    static MACAddress unvalidated(Bytes bytes);

    const Bytes& bytes() const noexcept { return bytes_; }
    // "AA:BB:••:••:••:FF"; "XX:XX:XX:XX:XX:XX" when the value is not 6 bytes.
    std::string redactedDescription() const;

    bool operator==(const MACAddress&) const = default;

private:
    struct UncheckedTag {};
    MACAddress(UncheckedTag, Bytes bytes) : bytes_(std::move(bytes)) {}

    Bytes bytes_;
};

// One network interface of the Mac that a wake packet can reach.
struct WakeNetworkInterfaceTarget {
    std::string interfaceName;
    WakeInterfaceKind kind = WakeInterfaceKind::other;
    MACAddress hardwareAddress;
    std::optional<std::string> ipv4Address;
    std::optional<std::string> subnetMask;
    std::optional<std::string> directedBroadcastAddress;

    // Never fails. Without a broadcast address but with address and mask, it
    // derives the directed broadcast (see derivedBroadcastAddress).
    WakeNetworkInterfaceTarget(std::string interfaceName, WakeInterfaceKind kind, MACAddress hardwareAddress,
                               std::optional<std::string> ipv4Address = std::nullopt,
                               std::optional<std::string> subnetMask = std::nullopt,
                               std::optional<std::string> directedBroadcastAddress = std::nullopt);

    // Every field exactly as given; nothing derived. Used when decoding.
    static WakeNetworkInterfaceTarget stored(std::string interfaceName, WakeInterfaceKind kind,
                                             MACAddress hardwareAddress, std::optional<std::string> ipv4Address,
                                             std::optional<std::string> subnetMask,
                                             std::optional<std::string> directedBroadcastAddress);

    // address | ~mask, when the address is local (no loopback), the mask is a
    // contiguous netmask starting with 255 and shorter than /32, and the
    // result is local and not 255.255.255.255; nullopt otherwise.
    static std::optional<std::string> derivedBroadcastAddress(std::string_view ipv4Address,
                                                              std::string_view subnetMask);

    bool operator==(const WakeNetworkInterfaceTarget&) const = default;

private:
    struct StoredTag {};
    WakeNetworkInterfaceTarget(StoredTag, std::string interfaceName, WakeInterfaceKind kind,
                               MACAddress hardwareAddress, std::optional<std::string> ipv4Address,
                               std::optional<std::string> subnetMask,
                               std::optional<std::string> directedBroadcastAddress);
};

struct WakeAttemptOutcomeSummary {
    Date timestamp;
    WakeRouteKind routeUsed = WakeRouteKind::unknown;
    WakeAttemptResultKind result = WakeAttemptResultKind::wakeRequestSent;

    bool operator==(const WakeAttemptOutcomeSummary&) const = default;
};

// What the Mac last reported about waking it, as kept beside a trust record.
struct SavedWakeConfiguration {
    std::vector<WakeNetworkInterfaceTarget> targets;
    std::optional<std::uint16_t> bonjourServicePort; // absent and 0 differ
    bool sleepProxyEligible = false;
    Evidence<bool> wakeForNetworkAccess;
    bool wakeOnlyOnACPower = false;
    PowerSourceCondition lastKnownPowerSource = PowerSourceCondition::unknown;
    PowerStateEvidence lastKnownPowerState = PowerStateEvidence::unknown;
    Date updatedAt;
    std::optional<Date> lastVerifiedWakeAt;
    std::optional<WakeAttemptOutcomeSummary> lastAttempt;

    // Stable: by kind in declaration order, then by interfaceName.
    std::vector<WakeNetworkInterfaceTarget> sortedTargets() const;
    // Some target has an IPv4 or a directed-broadcast address.
    bool hasAddressedTarget() const;
    // Nothing known yet: no targets, no port, everything unknown.
    static SavedWakeConfiguration empty(Date updatedAt);

    bool operator==(const SavedWakeConfiguration&) const = default;
};

// The evaluator's judgement of how (and how surely) the Mac can be woken.
struct WakeCapabilityEvaluation {
    HostAvailability availability = HostAvailability::unknown;
    PowerStateEvidence powerState = PowerStateEvidence::unknown;
    WakeRouteKind route = WakeRouteKind::unknown;
    WakeConfidence confidence = WakeConfidence::none;
    PowerSourceCondition powerSource = PowerSourceCondition::unknown;
    WakeReadinessCategory category = WakeReadinessCategory::unknown;
    bool hasEthernetTarget = false;
    bool hasWiFiTarget = false;
    bool requiresExternalWakeAssistance = false;
    std::optional<Date> lastVerifiedWakeAt;
    bool isEvidenceExpired = false;
    std::string summary;
    std::string guidance;

    bool operator==(const WakeCapabilityEvaluation&) const = default;
};

namespace json {

template <>
struct EnumNames<PowerSourceCondition> {
    static constexpr std::array<std::string_view, 3> names{"acPower", "batteryPower", "unknown"};
};
template <>
struct EnumNames<PowerStateEvidence> {
    static constexpr std::array<std::string_view, 4> names{"awake", "displayAsleep",
                                                           "systemSleepReportedBeforeDisconnect", "unknown"};
};
template <>
struct EnumNames<WakeInterfaceKind> {
    static constexpr std::array<std::string_view, 3> names{"ethernet", "wifi", "other"};
};
template <>
struct EnumNames<WakeRouteKind> {
    static constexpr std::array<std::string_view, 5> names{"directLocalNetwork", "bonjourSleepProxy",
                                                           "externalWakeRelay", "unavailable", "unknown"};
};
template <>
struct EnumNames<WakeAttemptResultKind> {
    static constexpr std::array<std::string_view, 5> names{"wakeRequestSent", "wakeConfirmedByAuthenticatedSession",
                                                           "wakeTimedOut", "cancelled", "failedToSend"};
};
template <>
struct EnumNames<WakeReadinessCategory> {
    static constexpr std::array<std::string_view, 5> names{"readyVerified", "possibleUnverified", "actionRequired",
                                                           "unsupported", "unknown"};
};
template <>
struct EnumNames<WakeConfidence> {
    static constexpr std::array<std::string_view, 4> names{"high", "medium", "low", "none"};
};

// {"verified":{"_0":v}}, {"lastKnown":{"_0":v,"observedAt":d}}, {"unknown":{}},
// {"unsupported":{}}; the value-less cases are also read from their bare name.
template <class T>
struct Codec<Evidence<T>> {
    static constexpr std::array<std::string_view, 4> kCaseNames{"verified", "lastKnown", "unknown", "unsupported"};
    static constexpr std::array<bool, 4> kValueLess{false, false, true, true};

    static Json encode(const Evidence<T>& evidence) {
        using Case = typename Evidence<T>::Case;
        Json payload = Json::object();
        switch (evidence.kind()) {
        case Case::verified:
            put(payload, "_0", *evidence.value());
            break;
        case Case::lastKnown:
            put(payload, "_0", *evidence.value());
            put(payload, "observedAt", *evidence.observedAt());
            break;
        case Case::unknown:
        case Case::unsupported:
            break;
        }
        return encodeCase(kCaseNames[static_cast<std::size_t>(evidence.kind())], std::move(payload));
    }

    static Evidence<T> decode(const Json& j) {
        auto selection = decodeCase(j, kCaseNames, kValueLess);
        switch (selection.index) {
        case 0: return Evidence<T>::verified(field<T>(selection.payload, "_0"));
        case 1:
            return Evidence<T>::lastKnown(field<T>(selection.payload, "_0"),
                                          field<Date>(selection.payload, "observedAt"));
        case 2: return Evidence<T>::unknown();
        default: return Evidence<T>::unsupported();
        }
    }
};

// {"bytes": Base64}, read back without validation.
template <>
struct Codec<MACAddress> {
    static Json encode(const MACAddress& value);
    static MACAddress decode(const Json& j);
};

template <>
struct Codec<WakeNetworkInterfaceTarget> {
    static Json encode(const WakeNetworkInterfaceTarget& value);
    static WakeNetworkInterfaceTarget decode(const Json& j);
};

template <>
struct JsonFields<WakeAttemptOutcomeSummary> {
    static constexpr auto fields = std::make_tuple(
        member("timestamp", &WakeAttemptOutcomeSummary::timestamp),
        member("routeUsed", &WakeAttemptOutcomeSummary::routeUsed),
        member("result", &WakeAttemptOutcomeSummary::result));
};

template <>
struct Codec<SavedWakeConfiguration> {
    static Json encode(const SavedWakeConfiguration& value);
    static SavedWakeConfiguration decode(const Json& j);
};

} // namespace json
} // namespace velorinth

template <>
struct std::hash<velorinth::MACAddress> {
    std::size_t operator()(const velorinth::MACAddress& value) const noexcept;
};

template <>
struct std::hash<velorinth::WakeNetworkInterfaceTarget> {
    std::size_t operator()(const velorinth::WakeNetworkInterfaceTarget& value) const noexcept;
};
