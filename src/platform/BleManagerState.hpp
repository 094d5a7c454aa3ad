#pragma once

#include <string_view>

namespace velorinth {

// The state of a Bluetooth peripheral or central manager.
enum class BleManagerState { unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn };

// Bluetooth UUIDs compare without regard to letter case.
bool sameBluetoothUUID(std::string_view a, std::string_view b) noexcept;

} // namespace velorinth
