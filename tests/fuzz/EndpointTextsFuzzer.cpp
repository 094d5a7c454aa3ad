// Reads the texts a user or a stored record gives for reaching or waking a
// Mac: a host and port, a whole "host:port" text with its label, a dotted
// IPv4 address and a MAC address. Refusals are the validators' own errors.
// What is accepted is canonical: validating it again gives it back, allowing
// loopback never refuses more, the display address reads back as the same
// endpoint, and addresses format to texts that parse to the same value.
#include "FuzzSupport.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/Text.hpp"
#include "core/WakeModels.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

void checkHost(const std::string& text, std::uint16_t port, bool allowLoopback) {
    RemoteEndpointValidator::Result result;
    if (!accepts<RemoteEndpointValidationError>(
            [&] { result = RemoteEndpointValidator::validate(text, port, allowLoopback); })) {
        return;
    }
    require(result.port == port && !result.host.empty());
    require(RemoteEndpointValidator::validate(result.host, port, allowLoopback) == result);
    if (!allowLoopback) require(RemoteEndpointValidator::validate(text, port, true) == result);
}

void checkEndpoint(const std::string& text, std::uint16_t defaultPort, const std::string& label, bool allowLoopback) {
    const auto validating = [&](std::string_view address) {
        return RemoteEndpoint::validating(address, defaultPort, RemoteTransportKind::privateNetwork, label,
                                          fixedUuid(1), Date(0), allowLoopback);
    };
    std::optional<RemoteEndpoint> endpoint;
    if (!accepts<RemoteEndpointValidationError>([&] { endpoint = validating(text); })) return;
    require(validating(endpoint->displayAddress()) == *endpoint);
    const auto result = RemoteEndpointValidator::validate(endpoint->host, endpoint->port, allowLoopback);
    require(result.host == endpoint->host && result.kind == endpoint->hostKind);
    const std::string_view trimmed = trimmedWhitespace(label);
    require(trimmed.empty() ? !endpoint->label : endpoint->label == trimmed);
}

void checkWakeAddresses(const std::string& text) {
    std::uint32_t address = 0;
    if (accepts<WakeModelError>([&] { address = LocalIPv4Validator::parse(text); })) {
        require(LocalIPv4Validator::parse(LocalIPv4Validator::format(address)) == address);
    }
    std::optional<MACAddress> mac;
    if (accepts<WakeModelError>([&] { mac.emplace(std::string_view(text)); })) {
        require(mac->bytes().size() == MACAddress::kLength);
        require(MACAddress(ByteView(mac->bytes())) == *mac);
        std::string hex = hexEncodedString(mac->bytes());
        for (std::size_t at = hex.size() - 2; at > 0; at -= 2) hex.insert(at, 1, '-');
        require(MACAddress(std::string_view(hex)) == *mac);
    }
    // A stored value of any length describes itself without failing.
    MACAddress::unvalidated(Bytes(text.begin(), text.end())).redactedDescription();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto port = input.ConsumeIntegral<std::uint16_t>();
    const bool allowLoopback = input.ConsumeBool();
    const std::string label = input.ConsumeRandomLengthString(40);
    const std::string text = input.ConsumeRemainingBytesAsString();
    checkHost(text, port, allowLoopback);
    checkEndpoint(text, port, label, allowLoopback);
    checkWakeAddresses(text);
    return 0;
}
