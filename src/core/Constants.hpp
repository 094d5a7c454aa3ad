#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velorinth {

// Prefix of store services, preference keys and thread names.
inline constexpr std::string_view kApplicationIdentifierPrefix = "org.velorinth";

// The prefix followed by `suffix` (which starts with "."), e.g. "org.velorinth.identity".
std::string applicationIdentifier(std::string_view suffix);

struct VelorinthService {
    static constexpr std::string_view serviceType = "_velorinth._tcp";
    static constexpr std::string_view applicationProtocol = "velorinth/1";
    static constexpr std::string_view relayApplicationProtocol = "velorinth-relay/1";
    static constexpr std::uint16_t defaultPort = 51891;
    static constexpr std::uint16_t defaultRelayPort = 51892;
    // The largest frame either end of a session accepts.
    static constexpr std::size_t maximumFrameSize = 65'536;
};

struct ProtocolVersion {
    static constexpr std::uint16_t current = 1;
    struct Range {
        std::uint16_t lowerBound;
        std::uint16_t upperBound;
        constexpr bool contains(std::uint16_t v) const { return v >= lowerBound && v <= upperBound; }
    };
    static constexpr Range supportedRange{1, 1};
};

} // namespace velorinth
