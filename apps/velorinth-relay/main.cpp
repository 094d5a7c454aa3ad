// velorinth-relay: the always-on wake relay. Parses the command line and
// hands it to the program.

#include "relay/RelayProgram.hpp"

#include <asio/ip/address.hpp>

#include <charconv>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velorinth::RelayInterfaceOption;
using velorinth::RelayInvitationOptions;
using velorinth::RelayOptions;
using velorinth::RelayUsageError;

constexpr const char* kUsage =
    "usage: VelorinthWakeRelay (velorinth-relay)\n"
    "  velorinth-relay [--port N] [--listen-address ADDRESS] [--state-dir DIR] [--wake-port N]...\n"
    "                  [--allow-loopback-for-testing]\n"
    "                  [--invite MAC-ID --endpoint HOST[:PORT] [--interface NAME,KIND,MAC,IPV4[,MASK]]...\n"
    "                   [--name TEXT] [--bonjour-port N] [--sleep-proxy] [--lifetime SECONDS]]\n"
    "  KIND is ethernet, wifi or other; the lifetime lies between 1 s and 30 days (default 900).";

constexpr double kLongestLifetime = 30.0 * 24 * 3600;

template <class Number>
Number number(std::string_view text, Number least, Number most, const std::string& what) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= least && value <= most)) {
        throw RelayUsageError("Not a valid " + what + ": " + std::string(text));
    }
    return value;
}

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
    if (parts.size() != 4 && parts.size() != 5)
        throw RelayUsageError("--interface takes NAME,KIND,MAC,IPV4[,MASK]: " + text);
    RelayInterfaceOption option;
    option.name = parts[0];
    if (parts[1] == "ethernet") {
        option.kind = velorinth::WakeInterfaceKind::ethernet;
    } else if (parts[1] == "wifi") {
        option.kind = velorinth::WakeInterfaceKind::wifi;
    } else if (parts[1] == "other") {
        option.kind = velorinth::WakeInterfaceKind::other;
    } else {
        throw RelayUsageError("Not an interface kind (ethernet, wifi or other): " + parts[1]);
    }
    option.hardwareAddress = parts[2];
    option.ipv4Address = parts[3];
    if (parts.size() == 5) option.subnetMask = parts[4];
    return option;
}

RelayOptions parse(const std::vector<std::string>& arguments) {
    RelayOptions options;
    RelayInvitationOptions invite;
    bool inviting = false;
    bool invitationDetail = false;
    bool endpointGiven = false;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        const auto value = [&]() -> const std::string& {
            if (at + 1 >= arguments.size()) throw RelayUsageError(argument + " needs a value.");
            return arguments[++at];
        };
        if (argument == "--port") {
            options.port = number<std::uint16_t>(value(), 0, 65'535, "port");
        } else if (argument == "--listen-address") {
            const std::string& text = value();
            std::error_code error;
            options.listenAddress = asio::ip::make_address(text, error);
            if (error) throw RelayUsageError("Not an IP address: " + text);
        } else if (argument == "--state-dir") {
            options.stateDirectory = value();
        } else if (argument == "--wake-port") {
            options.wakePorts.push_back(number<std::uint16_t>(value(), 1, 65'535, "port"));
        } else if (argument == "--allow-loopback-for-testing") {
            options.allowLoopbackForTesting = true;
        } else if (argument == "--invite") {
            const std::string& text = value();
            const std::optional<velorinth::Uuid> mac = velorinth::Uuid::fromString(text);
            if (!mac) throw RelayUsageError("Not a Mac identifier: " + text);
            invite.macID = *mac;
            inviting = true;
        } else if (argument == "--endpoint") {
            invite.endpoint = value();
            endpointGiven = invitationDetail = true;
        } else if (argument == "--interface") {
            invite.interfaces.push_back(interfaceOption(value()));
            invitationDetail = true;
        } else if (argument == "--name") {
            invite.name = value();
            invitationDetail = true;
        } else if (argument == "--bonjour-port") {
            invite.bonjourPort = number<std::uint16_t>(value(), 0, 65'535, "port");
            invitationDetail = true;
        } else if (argument == "--sleep-proxy") {
            invite.sleepProxy = invitationDetail = true;
        } else if (argument == "--lifetime") {
            invite.lifetimeSeconds = number<double>(value(), 1.0, kLongestLifetime, "lifetime");
            invitationDetail = true;
        } else {
            throw RelayUsageError("Unknown option " + argument + ".");
        }
    }
    if (invitationDetail && !inviting) throw RelayUsageError("The invitation options need --invite MAC-ID.");
    if (inviting && !endpointGiven) throw RelayUsageError("--invite needs --endpoint HOST[:PORT].");
    if (inviting) options.invite = std::move(invite);
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const RelayOptions options = parse(std::vector<std::string>(argv + 1, argv + argc));
        velorinth::RelayProgram program(options, std::cout, std::cerr);
        return program.run();
    } catch (const RelayUsageError& error) {
        std::cerr << error.what() << "\n" << kUsage << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
