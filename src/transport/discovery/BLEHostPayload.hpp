#pragma once

#include "core/Bytes.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// The identifiers of the host's BLE proximity beacon.
struct BLEProximityConstants {
    // The advertised primary service.
    static constexpr std::string_view serviceUUID = "9B15D79B-89E2-4C70-983F-3164F0A91D3C";
    // The payload characteristic (the service's UUID with C for B in the eighth digit).
    static constexpr std::string_view characteristicUUID = "9B15D79C-89E2-4C70-983F-3164F0A91D3C";
};

// What the beacon serves: the host's discovery instance identifier, display
// name, session port and IPv4 addresses (most preferred first). JSON with the
// keys "id", "name", "port", "addresses", "v", all required; unknown keys
// are ignored. It carries no secret and grants nothing.
struct BLEHostPayload {
    Uuid id;
    std::string name;
    std::uint16_t port = 0;
    std::vector<std::string> addresses;
    std::uint16_t v = 1;

    // The ATT limit: BlueZ silently cuts a longer read reply.
    static constexpr std::size_t kMaximumServedSize = 512;

    Bytes encoded() const;
    // JSONDecodingError for anything that is not a complete payload.
    static BLEHostPayload decode(ByteView data);

    // The JSON with addresses dropped from the end until it fits in
    // `maximumSize` (with none left it is returned whatever its size).
    Bytes encodedWithin(std::size_t maximumSize) const;

    bool operator==(const BLEHostPayload&) const = default;
};

namespace json {
template <>
struct JsonFields<BLEHostPayload> {
    static constexpr auto fields =
        std::make_tuple(member("id", &BLEHostPayload::id), member("name", &BLEHostPayload::name),
                        member("port", &BLEHostPayload::port), member("addresses", &BLEHostPayload::addresses),
                        member("v", &BLEHostPayload::v));
};
} // namespace json

} // namespace velorinth
