#pragma once

#include "core/Bytes.hpp"
#include "core/WakeModels.hpp"

#include <cstddef>
#include <string_view>

namespace velorinth {

// The Wake-on-LAN datagram body: six 0xFF bytes, then the hardware address
// sixteen times; no header, trailer or password.
class WakeMagicPacket {
public:
    static constexpr std::size_t kPayloadLength = 6 + 16 * MACAddress::kLength; // 102

    // Throws WakeModelError invalidMACAddress when `targetMAC` is not 6 bytes
    // (a decoded address is kept unvalidated), instead of reading past it.
    explicit WakeMagicPacket(MACAddress targetMAC);
    // Parses `text` as a MACAddress; throws that parse's WakeModelError.
    explicit WakeMagicPacket(std::string_view macText);

    const MACAddress& targetMAC() const noexcept { return targetMAC_; }
    const Bytes& payload() const noexcept { return payload_; }

    bool operator==(const WakeMagicPacket&) const = default;

private:
    MACAddress targetMAC_;
    Bytes payload_;
};

} // namespace velorinth
