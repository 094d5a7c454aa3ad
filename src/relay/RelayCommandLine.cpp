#include "relay/RelayCommandLine.hpp"

#include "core/Constants.hpp"

namespace velorinth {

namespace {

constexpr double kLongestLifetime = 30.0 * 24 * 3600;

std::vector<std::string> commaSeparated(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
        parts.push_back(text.substr(start, comma - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

RelayInterfaceOption interfaceOption(const std::string& text) {
    const std::vector<std::string> parts = commaSeparated(text);
    if (parts.size() != 4 && parts.size() != 5) throw UsageError("--interface takes NAME,KIND,MAC,IPV4[,MASK]: " + text);
    RelayInterfaceOption option;
    option.name = parts[0];
    if (parts[1] == "ethernet") {
        option.kind = WakeInterfaceKind::ethernet;
    } else if (parts[1] == "wifi") {
        option.kind = WakeInterfaceKind::wifi;
    } else if (parts[1] == "other") {
        option.kind = WakeInterfaceKind::other;
    } else {
        throw UsageError("Not an interface kind (ethernet, wifi or other): " + parts[1]);
    }
    option.hardwareAddress = parts[2];
    option.ipv4Address = parts[3];
    if (parts.size() == 5) option.subnetMask = parts[4];
    return option;
}

std::uint16_t port(const std::string& text, std::uint16_t least) {
    return CommandLineReader::number<std::uint16_t>(text, least, 65'535, "port");
}

} // namespace

CommandLineReader::Options RelayCommandLine::relayOptions(RelayOptions& options) {
    return {
        {"--port", "N", "listen on port N (" + std::to_string(VelorinthService::defaultRelayPort) + " when not given)",
         [&](const std::string& value) { options.port = port(value, 0); }},
        {"--listen-address", "ADDRESS", "listen on this address only (every interface when not given)",
         [&](const std::string& value) {
             std::error_code error;
             options.listenAddress = asio::ip::make_address(value, error);
             if (error) throw UsageError("Not an IP address: " + value);
         }},
        {"--state-dir", "DIR", "keep the relay's identity and state in DIR",
         [&](const std::string& value) { options.stateDirectory = value; }},
        {"--wake-port", "N", "send magic packets to UDP port N; may be repeated (9 when not given)",
         [&](const std::string& value) { options.wakePorts.push_back(port(value, 1)); }},
        {"--allow-loopback-for-testing", "", "accept hosts and tablets on this machine (127.0.0.1, ::1); for tests",
         [&](const std::string&) { options.allowLoopbackForTesting = true; }},
        CommandLineReader::helpOption(),
    };
}

CommandLineReader::Options RelayCommandLine::invitationOptions(RelayInvitationOptions& invite, bool& inviting,
                                                               bool& detail, bool& endpointGiven) {
    return {
        {"--invite", "MAC-ID", "print an invitation for a tablet paired with this Mac",
         [&](const std::string& value) {
             const std::optional<Uuid> mac = Uuid::fromString(value);
             if (!mac) throw UsageError("Not a Mac identifier: " + value);
             invite.macID = *mac;
             inviting = true;
         }},
        {"--endpoint", "HOST[:PORT]", "where tablets reach this relay (the listening port when no PORT)",
         [&](const std::string& value) {
             invite.endpoint = value;
             endpointGiven = detail = true;
         }},
        {"--interface", "NAME,KIND,MAC,IPV4[,MASK]", "one of the Mac's interfaces to wake; may be repeated",
         [&](const std::string& value) {
             invite.interfaces.push_back(interfaceOption(value));
             detail = true;
         }},
        {"--name", "TEXT", "the Mac's name",
         [&](const std::string& value) {
             invite.name = value;
             detail = true;
         }},
        {"--bonjour-port", "N", "the Mac's Bonjour service port",
         [&](const std::string& value) {
             invite.bonjourPort = port(value, 0);
             detail = true;
         }},
        {"--sleep-proxy", "", "the Mac's network has a Bonjour sleep proxy",
         [&](const std::string&) { invite.sleepProxy = detail = true; }},
        {"--lifetime", "SECONDS", "how long the invitation stays valid (900 when not given)",
         [&](const std::string& value) {
             invite.lifetimeSeconds = CommandLineReader::number<double>(value, 1.0, kLongestLifetime, "lifetime");
             detail = true;
         }},
    };
}

RelayOptions RelayCommandLine::parse(CommandLineReader& reader) {
    RelayOptions options;
    RelayInvitationOptions invite;
    bool inviting = false;
    bool detail = false;
    bool endpointGiven = false;
    CommandLineReader::Options accepted = relayOptions(options);
    for (CommandLineOption& option : invitationOptions(invite, inviting, detail, endpointGiven)) {
        accepted.push_back(std::move(option));
    }
    reader.read(accepted);
    if (const std::optional<std::string> operand = reader.take()) throw UsageError("Unknown option " + *operand + ".");
    if (detail && !inviting) throw UsageError("The invitation options need --invite MAC-ID.");
    if (inviting && !endpointGiven) throw UsageError("--invite needs --endpoint HOST[:PORT].");
    if (inviting) options.invite = std::move(invite);
    return options;
}

std::string RelayCommandLine::usage() {
    RelayOptions options;
    RelayInvitationOptions invite;
    bool unused = false;
    const CommandLineReader::Options relay = relayOptions(options);
    const CommandLineReader::Options invitation = invitationOptions(invite, unused, unused, unused);
    return "usage: VelorinthWakeRelay (velorinth-relay)\n"
           "  velorinth-relay " +
           CommandLineReader::synopsis(CommandLineReader::Options(relay.begin(), relay.end() - 1)) +
           "\n                  [--invite MAC-ID --endpoint HOST[:PORT] [INVITATION OPTION]...]\n"
           "Runs the wake relay until SIGTERM or SIGINT.\n"
           "Options:\n" +
           CommandLineReader::describe(relay) + "INVITATION OPTION, for the one invitation printed once the relay listens:\n" +
           CommandLineReader::describe(invitation) +
           "KIND is ethernet, wifi or other; the lifetime lies between 1 s and 30 days.\n"
           "Exit status: 0 after a signal; 1 with the error on standard error; 2 for a usage error.\n";
}

} // namespace velorinth
