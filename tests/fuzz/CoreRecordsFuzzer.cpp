// Decodes peer-supplied bytes as each record that arrives from the network or
// from disk. Decoding may refuse with our own error; anything else escaping,
// a crash, or a record that does not survive its own round trip is a bug.
#include "FuzzSupport.hpp"
#include "core/ControlProtocol.hpp"
#include "core/IdentityModels.hpp"
#include "core/InputEvent.hpp"
#include "core/TrustedDevice.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

template <class T>
void decodeAndRoundTrip(const Json& document) {
    requireRoundTripIfDecoded([&] { return json::decode<T>(document); });
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
    decodeAndRoundTrip<TrustedDevice>(document);
    decodeAndRoundTrip<std::vector<TrustedDevice>>(document);
    decodeAndRoundTrip<DeviceIdentity>(document);
    return 0;
}
