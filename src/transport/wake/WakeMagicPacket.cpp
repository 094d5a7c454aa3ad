#include "transport/wake/WakeMagicPacket.hpp"

#include <utility>

namespace velorinth {

WakeMagicPacket::WakeMagicPacket(MACAddress targetMAC) : targetMAC_(std::move(targetMAC)) {
    const Bytes& mac = targetMAC_.bytes();
    if (mac.size() != MACAddress::kLength) throw WakeModelError(WakeModelError::Case::invalidMACAddress);
    payload_.reserve(kPayloadLength);
    payload_.assign(6, 0xFF);
    for (int repeat = 0; repeat < 16; ++repeat) payload_.insert(payload_.end(), mac.begin(), mac.end());
}

WakeMagicPacket::WakeMagicPacket(std::string_view macText) : WakeMagicPacket(MACAddress(macText)) {}

} // namespace velorinth
