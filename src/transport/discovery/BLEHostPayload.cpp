#include "transport/discovery/BLEHostPayload.hpp"

namespace velorinth {

Bytes BLEHostPayload::encoded() const { return json::encodeToBytes(*this); }

BLEHostPayload BLEHostPayload::decode(ByteView data) { return json::decodeFromBytes<BLEHostPayload>(data); }

Bytes BLEHostPayload::encodedWithin(std::size_t maximumSize) const {
    BLEHostPayload served = *this;
    Bytes bytes = served.encoded();
    while (bytes.size() > maximumSize && !served.addresses.empty()) {
        served.addresses.pop_back();
        bytes = served.encoded();
    }
    return bytes;
}

} // namespace velorinth
