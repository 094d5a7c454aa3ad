#include "platform/BleManagerState.hpp"

#include <algorithm>
#include <cctype>

namespace velorinth {

bool sameBluetoothUUID(std::string_view a, std::string_view b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace velorinth
