// Decodes peer-supplied bytes as each record that arrives from the network or
// from disk. Decoding may refuse with our own error; anything else escaping,
// a crash, or a record that does not survive its own round trip is a bug. A
// wake configuration that decodes is also planned as a wake dispatch plans it.
#include "FuzzSupport.hpp"
#include "core/ControlProtocol.hpp"
#include "core/IdentityModels.hpp"
#include "core/InputEvent.hpp"
#include "core/TrustedDevice.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"
#include "transport/wake/LocalWakeError.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <asio/io_context.hpp>

#include <chrono>

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

template <class T>
void decodeAndRoundTrip(const Json& document) {
    requireRoundTripIfDecoded([&] { return json::decode<T>(document); });
}

// Decoded hardware addresses are unvalidated: planning must drop the bad
// ones, and every packet it makes is 102 bytes for a unicast address, to a
// non-zero port.
void planWake(const Json& document) {
    static asio::io_context loop;
    static const LocalWakeService wake(
        loop.get_executor(), nullptr,
        WakeDispatchPolicy({9, 7}, std::chrono::seconds(0), 6, std::chrono::seconds(0), true));
    std::optional<SavedWakeConfiguration> configuration;
    if (!accepts([&] { configuration = json::decode<SavedWakeConfiguration>(document); })) return;
    LocalWakeService::DispatchPlan plan;
    if (!accepts<LocalWakeError>([&] { plan = wake.resolveTargets(*configuration); })) return;
    for (const auto& planned : plan) {
        require(planned.packet.payload().size() == WakeMagicPacket::kPayloadLength && !planned.destinations.empty());
        require(accepts<WakeModelError>([&] { MACAddress checked(ByteView(planned.packet.targetMAC().bytes())); }));
        for (const auto& destination : planned.destinations) require(destination.port != 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json document;
    if (!accepts<JSONDecodingError>(
            [&] { document = json::parse(std::string_view(reinterpret_cast<const char*>(data), size)); })) {
        return 0;
    }
    decodeAndRoundTrip<ControlMessage>(document);
    decodeAndRoundTrip<InputEvent>(document);
    decodeAndRoundTrip<VideoStreamConfiguration>(document);
    decodeAndRoundTrip<SavedWakeConfiguration>(document);
    planWake(document);
    decodeAndRoundTrip<TrustedDevice>(document);
    decodeAndRoundTrip<std::vector<TrustedDevice>>(document);
    decodeAndRoundTrip<DeviceIdentity>(document);
    return 0;
}
