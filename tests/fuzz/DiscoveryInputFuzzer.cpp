// Reads what a tablet gets from the air and the local network: a BLE beacon's
// payload (any bytes a peripheral serves) and a DNS-SD TXT record (the same
// bytes as entries, one per line). A payload is refused with a decoding error
// or survives its own encoding, and its served form fits the ATT limit or has
// no address left to drop; a TXT record is dropped exactly for a "role" other
// than "host", and what it keeps reads back the same through the map.
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "transport/discovery/BLEHostPayload.hpp"
#include "transport/discovery/DiscoveryNormalizer.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

const Tally payloads("beacon payloads", {"decoded", "refused"});
const Tally records("TXT records", {"kept", "dropped"});
const Tally fields("TXT fields", {"identifier", "version"}, Tally::Need::informational);

void checkPayload(ByteView data) {
    std::optional<BLEHostPayload> payload;
    if (!accepts([&] { payload.emplace(BLEHostPayload::decode(data)); })) {
        payloads.count("refused");
        return;
    }
    payloads.count("decoded");
    requireRoundTrip(*payload);
    const BLEHostPayload served = BLEHostPayload::decode(payload->encodedWithin(BLEHostPayload::kMaximumServedSize));
    require(served.encoded().size() <= BLEHostPayload::kMaximumServedSize || served.addresses.empty());
    require(std::equal(served.addresses.begin(), served.addresses.end(), payload->addresses.begin()));
}

void checkTxt(ByteView data) {
    std::vector<std::string> entries(1);
    for (const std::uint8_t byte : data) {
        if (byte == '\n') {
            entries.emplace_back();
        } else {
            entries.back().push_back(static_cast<char>(byte));
        }
    }
    const auto map = DiscoveryNormalizer::txtMap(entries);
    require(map.size() <= 3);
    const auto result = DiscoveryNormalizer::parseTXT(map);
    const auto role = map.find("role");
    require(result.has_value() == (role == map.end() || role->second == "host"));
    if (!result) {
        records.count("dropped");
        return;
    }
    records.count("kept");
    if (result->discoveryInstanceID) {
        fields.count("identifier");
        require(Uuid::fromString(result->discoveryInstanceID->uuidString()) == result->discoveryInstanceID);
    }
    if (result->protocolVersion) {
        fields.count("version");
        require(DiscoveryNormalizer::parseProtocolVersion(std::to_string(*result->protocolVersion)) ==
                result->protocolVersion);
    }
    // The same record as a browse result becomes a host or nothing, never a failure.
    const BonjourBrowsing::Result browsed{
        ServiceEndpoint{ServiceEndpoint::BonjourService{entries.front(), "_velorinth._tcp", "local", "eth0"}}, entries};
    const auto service = DiscoveryNormalizer::service(browsed);
    require(service.has_value() && !service->name.empty() && !service->id.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    checkPayload(input);
    checkTxt(input);
    return 0;
}
