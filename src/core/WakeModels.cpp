#include "core/WakeModels.hpp"

#include "core/Text.hpp"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace velorinth {

namespace {

constexpr std::uint32_t kBroadcastAll = 0xFFFFFFFFu;

std::optional<std::uint32_t> parseIPv4(std::string_view text) {
    text = trimmedAsciiWhitespace(text);
    std::uint32_t address = 0;
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        auto dot = text.find('.', start);
        auto part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (part.empty() || ++parts > 4) return std::nullopt;
        unsigned value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255) return std::nullopt; // also stops long runs of digits
        }
        address = (address << 8) | value;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (parts != 4) return std::nullopt;
    return address;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Six two-digit octets with one separator style throughout: "aa:bb:cc:dd:ee:ff" or "aa-bb-cc-dd-ee-ff".
std::optional<Bytes> parseMAC(std::string_view text) {
    text = trimmedAsciiWhitespace(text);
    constexpr std::size_t kTextLength = 3 * MACAddress::kLength - 1;
    if (text.size() != kTextLength) return std::nullopt;
    const char separator = text[2];
    if (separator != ':' && separator != '-') return std::nullopt;
    Bytes bytes;
    bytes.reserve(MACAddress::kLength);
    for (std::size_t i = 0; i < MACAddress::kLength; ++i) {
        std::size_t at = i * 3;
        int high = hexDigit(text[at]);
        int low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        if (i + 1 < MACAddress::kLength && text[at + 2] != separator) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

Bytes validatedMAC(Bytes bytes) {
    if (bytes.size() != MACAddress::kLength) throw WakeModelError(WakeModelError::Case::invalidMACAddress);
    bool allZero = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
    // The group bit marks multicast, and with it broadcast (all 0xFF).
    if (allZero || (bytes[0] & 0x01) != 0) throw WakeModelError(WakeModelError::Case::nonUnicastMACAddress);
    return bytes;
}

void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class T>
std::size_t hashOptional(const std::optional<T>& value) {
    return value ? std::hash<T>{}(*value) : 0x5bd1e995u;
}

} // namespace

// ---- WakeModelError ---------------------------------------------------------

WakeModelError::WakeModelError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view WakeModelError::text(Case kind) {
    switch (kind) {
    case Case::invalidMACAddress: return "Wake target hardware address must be a 6-byte IEEE 802 MAC address.";
    case Case::nonUnicastMACAddress:
        return "Wake target hardware address must be a valid unicast MAC address (not broadcast, multicast, or "
               "zero).";
    case Case::invalidIPv4Address: return "Invalid IPv4 address or subnet mask.";
    case Case::nonLocalNetworkDestination:
        return "Local Wake-on-LAN targets must reside on a private LAN or link-local subnet.";
    }
    return {};
}

// ---- LocalIPv4Validator -----------------------------------------------------

std::uint32_t LocalIPv4Validator::parse(std::string_view text) {
    if (auto address = parseIPv4(text)) return *address;
    throw WakeModelError(WakeModelError::Case::invalidIPv4Address);
}

std::string LocalIPv4Validator::format(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool LocalIPv4Validator::isLocal(std::uint32_t address, bool allowLoopback) {
    if (address == 0 || address == kBroadcastAll) return false;
    if ((address & 0xFF000000u) == 0x0A000000u) return true;  // 10/8
    if ((address & 0xFFF00000u) == 0xAC100000u) return true;  // 172.16/12
    if ((address & 0xFFFF0000u) == 0xC0A80000u) return true;  // 192.168/16
    if ((address & 0xFFFF0000u) == 0xA9FE0000u) return true;  // 169.254/16
    if ((address & 0xFF000000u) == 0x7F000000u) return allowLoopback; // 127/8
    return false;
}

// ---- MACAddress -------------------------------------------------------------

MACAddress::MACAddress(ByteView bytes) : bytes_(validatedMAC(Bytes(bytes.begin(), bytes.end()))) {}

MACAddress::MACAddress(std::string_view text) {
    auto parsed = parseMAC(text);
    if (!parsed) throw WakeModelError(WakeModelError::Case::invalidMACAddress);
    bytes_ = validatedMAC(std::move(*parsed));
}

MACAddress MACAddress::unvalidated(Bytes bytes) { return MACAddress(UncheckedTag{}, std::move(bytes)); }

std::string MACAddress::redactedDescription() const {
    if (bytes_.size() != kLength) return "XX:XX:XX:XX:XX:XX";
    char text[40];
    std::snprintf(text, sizeof text, "%02X:%02X:\u2022\u2022:\u2022\u2022:\u2022\u2022:%02X", bytes_[0], bytes_[1],
                  bytes_[5]);
    return text;
}

// ---- WakeNetworkInterfaceTarget ---------------------------------------------

WakeNetworkInterfaceTarget::WakeNetworkInterfaceTarget(StoredTag, std::string interfaceName, WakeInterfaceKind kind,
                                                       MACAddress hardwareAddress,
                                                       std::optional<std::string> ipv4Address,
                                                       std::optional<std::string> subnetMask,
                                                       std::optional<std::string> directedBroadcastAddress)
    : interfaceName(std::move(interfaceName)), kind(kind), hardwareAddress(std::move(hardwareAddress)),
      ipv4Address(std::move(ipv4Address)), subnetMask(std::move(subnetMask)),
      directedBroadcastAddress(std::move(directedBroadcastAddress)) {}

WakeNetworkInterfaceTarget::WakeNetworkInterfaceTarget(std::string interfaceName, WakeInterfaceKind kind,
                                                       MACAddress hardwareAddress,
                                                       std::optional<std::string> ipv4Address,
                                                       std::optional<std::string> subnetMask,
                                                       std::optional<std::string> directedBroadcastAddress)
    : WakeNetworkInterfaceTarget(StoredTag{}, std::move(interfaceName), kind, std::move(hardwareAddress),
                                 std::move(ipv4Address), std::move(subnetMask), std::move(directedBroadcastAddress)) {
    if (!this->directedBroadcastAddress && this->ipv4Address && this->subnetMask) {
        this->directedBroadcastAddress = derivedBroadcastAddress(*this->ipv4Address, *this->subnetMask);
    }
}

WakeNetworkInterfaceTarget WakeNetworkInterfaceTarget::stored(std::string interfaceName, WakeInterfaceKind kind,
                                                              MACAddress hardwareAddress,
                                                              std::optional<std::string> ipv4Address,
                                                              std::optional<std::string> subnetMask,
                                                              std::optional<std::string> directedBroadcastAddress) {
    return WakeNetworkInterfaceTarget(StoredTag{}, std::move(interfaceName), kind, std::move(hardwareAddress),
                                      std::move(ipv4Address), std::move(subnetMask),
                                      std::move(directedBroadcastAddress));
}

std::optional<std::string> WakeNetworkInterfaceTarget::derivedBroadcastAddress(std::string_view ipv4Address,
                                                                               std::string_view subnetMask) {
    auto address = parseIPv4(ipv4Address);
    auto mask = parseIPv4(subnetMask);
    if (!address || !mask || !LocalIPv4Validator::isLocal(*address, false)) return std::nullopt;
    const std::uint32_t hostBits = ~*mask;
    const bool contiguous = (hostBits & (hostBits + 1)) == 0; // host bits are one run of low ones
    if (!contiguous || (*mask >> 24) != 0xFF || *mask == kBroadcastAll) return std::nullopt;
    const std::uint32_t broadcast = *address | hostBits;
    if (broadcast == kBroadcastAll || !LocalIPv4Validator::isLocal(broadcast, false)) return std::nullopt;
    return LocalIPv4Validator::format(broadcast);
}

// ---- SavedWakeConfiguration -------------------------------------------------

std::vector<WakeNetworkInterfaceTarget> SavedWakeConfiguration::sortedTargets() const {
    auto sorted = targets;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return std::tie(a.kind, a.interfaceName) < std::tie(b.kind, b.interfaceName);
    });
    return sorted;
}

bool SavedWakeConfiguration::hasAddressedTarget() const {
    return std::any_of(targets.begin(), targets.end(), [](const auto& target) {
        return target.ipv4Address.has_value() || target.directedBroadcastAddress.has_value();
    });
}

SavedWakeConfiguration SavedWakeConfiguration::empty(Date updatedAt) {
    SavedWakeConfiguration configuration;
    configuration.updatedAt = updatedAt;
    return configuration;
}

// ---- JSON -------------------------------------------------------------------

namespace json {

Json Codec<MACAddress>::encode(const MACAddress& value) {
    Json out = Json::object();
    put(out, "bytes", value.bytes());
    return out;
}

MACAddress Codec<MACAddress>::decode(const Json& j) {
    return MACAddress::unvalidated(field<Bytes>(expectObject(j, "MACAddress"), "bytes"));
}

Json Codec<WakeNetworkInterfaceTarget>::encode(const WakeNetworkInterfaceTarget& value) {
    Json out = Json::object();
    put(out, "interfaceName", value.interfaceName);
    put(out, "kind", value.kind);
    put(out, "hardwareAddress", value.hardwareAddress);
    put(out, "ipv4Address", value.ipv4Address);
    put(out, "subnetMask", value.subnetMask);
    put(out, "directedBroadcastAddress", value.directedBroadcastAddress);
    return out;
}

WakeNetworkInterfaceTarget Codec<WakeNetworkInterfaceTarget>::decode(const Json& j) {
    const auto& o = expectObject(j, "WakeNetworkInterfaceTarget");
    return WakeNetworkInterfaceTarget::stored(
        field<std::string>(o, "interfaceName"), field<WakeInterfaceKind>(o, "kind"),
        field<MACAddress>(o, "hardwareAddress"), field<std::optional<std::string>>(o, "ipv4Address"),
        field<std::optional<std::string>>(o, "subnetMask"),
        field<std::optional<std::string>>(o, "directedBroadcastAddress"));
}

Json Codec<SavedWakeConfiguration>::encode(const SavedWakeConfiguration& value) {
    Json out = Json::object();
    put(out, "targets", value.targets);
    put(out, "bonjourServicePort", value.bonjourServicePort);
    put(out, "sleepProxyEligible", value.sleepProxyEligible);
    put(out, "wakeForNetworkAccess", value.wakeForNetworkAccess);
    put(out, "wakeOnlyOnACPower", value.wakeOnlyOnACPower);
    put(out, "lastKnownPowerSource", value.lastKnownPowerSource);
    put(out, "lastKnownPowerState", value.lastKnownPowerState);
    put(out, "updatedAt", value.updatedAt);
    put(out, "lastVerifiedWakeAt", value.lastVerifiedWakeAt);
    put(out, "lastAttempt", value.lastAttempt);
    return out;
}

SavedWakeConfiguration Codec<SavedWakeConfiguration>::decode(const Json& j) {
    const auto& o = expectObject(j, "SavedWakeConfiguration");
    SavedWakeConfiguration value;
    value.targets = field<std::vector<WakeNetworkInterfaceTarget>>(o, "targets");
    value.bonjourServicePort = field<std::optional<std::uint16_t>>(o, "bonjourServicePort");
    value.sleepProxyEligible = field<bool>(o, "sleepProxyEligible");
    value.wakeForNetworkAccess = field<Evidence<bool>>(o, "wakeForNetworkAccess");
    value.wakeOnlyOnACPower = field<bool>(o, "wakeOnlyOnACPower");
    value.lastKnownPowerSource = field<PowerSourceCondition>(o, "lastKnownPowerSource");
    value.lastKnownPowerState = field<PowerStateEvidence>(o, "lastKnownPowerState");
    value.updatedAt = field<Date>(o, "updatedAt");
    value.lastVerifiedWakeAt = field<std::optional<Date>>(o, "lastVerifiedWakeAt");
    value.lastAttempt = field<std::optional<WakeAttemptOutcomeSummary>>(o, "lastAttempt");
    return value;
}

} // namespace json
} // namespace velorinth

std::size_t std::hash<velorinth::MACAddress>::operator()(const velorinth::MACAddress& value) const noexcept {
    std::size_t seed = value.bytes().size();
    for (auto b : value.bytes()) velorinth::hashCombine(seed, b);
    return seed;
}

std::size_t std::hash<velorinth::WakeNetworkInterfaceTarget>::operator()(
    const velorinth::WakeNetworkInterfaceTarget& value) const noexcept {
    using velorinth::hashCombine;
    std::size_t seed = std::hash<std::string>{}(value.interfaceName);
    hashCombine(seed, static_cast<std::size_t>(value.kind));
    hashCombine(seed, std::hash<velorinth::MACAddress>{}(value.hardwareAddress));
    hashCombine(seed, velorinth::hashOptional(value.ipv4Address));
    hashCombine(seed, velorinth::hashOptional(value.subnetMask));
    hashCombine(seed, velorinth::hashOptional(value.directedBroadcastAddress));
    return seed;
}
