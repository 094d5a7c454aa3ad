// Decodes peer-supplied bytes as each record that arrives from the network or
// from disk. Decoding may refuse with our own error; anything else escaping,
// a crash, or a record that does not survive its own round trip is a bug.
#include "core/ControlProtocol.hpp"
#include "core/InputEvent.hpp"
#include "core/Json.hpp"
#include "core/TrustedDevice.hpp"
#include "core/VideoModels.hpp"
#include "core/WakeModels.hpp"

#include <cstdlib>

using namespace velorinth;

namespace {

template <class T>
void decodeAndRoundTrip(const Json& document) {
    std::optional<T> value;
    try {
        value = json::decode<T>(document);
    } catch (const Error&) {
        return;
    }
    std::string text;
    try {
        text = json::encodeToString(*value);
    } catch (const JSONEncodingError&) {
        return; // e.g. a non-finite number cannot be written back; refusing is correct
    }
    if (!(json::decodeFromString<T>(text) == *value)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Json document;
    try {
        document = json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const JSONDecodingError&) {
        return 0;
    }
    decodeAndRoundTrip<ControlMessage>(document);
    decodeAndRoundTrip<InputEvent>(document);
    decodeAndRoundTrip<VideoStreamConfiguration>(document);
    decodeAndRoundTrip<SavedWakeConfiguration>(document);
    decodeAndRoundTrip<TrustedDevice>(document);
    decodeAndRoundTrip<std::vector<TrustedDevice>>(document);
    return 0;
}
