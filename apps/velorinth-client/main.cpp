// velorinth-client: the tablet side on the command line. Parses the command
// line and hands it to the program.

#include "tablet/ClientProgram.hpp"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velorinth::ClientOptions;
using velorinth::UsageError;

constexpr const char* kUsage =
    "usage: velorinth-client [--state-dir DIR] [--allow-loopback-for-testing] COMMAND\n"
    "  pair HOST[:PORT]\n"
    "  list\n"
    "  connect [MAC-ID] [--frames N] [--save FILE.png] [--move X,Y]\n"
    "  wake    [MAC-ID] [--remote] [--wake-port PORT] [--frames N] [--save FILE.png] [--move X,Y]\n"
    "  relay-pair INVITATION [MAC-ID]";

template <class Number>
Number number(std::string_view text, Number least, Number most, const std::string& what) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < least || value > most) {
        throw UsageError("Not a valid " + what + ": " + std::string(text));
    }
    return value;
}

std::pair<double, double> point(std::string_view text) {
    const auto comma = text.find(',');
    if (comma == std::string_view::npos) throw UsageError("--move takes X,Y: " + std::string(text));
    return {number<double>(text.substr(0, comma), 0.0, 1.0, "coordinate"),
            number<double>(text.substr(comma + 1), 0.0, 1.0, "coordinate")};
}

ClientOptions parse(const std::vector<std::string>& arguments) {
    ClientOptions options;
    std::size_t at = 0;
    const auto value = [&](const std::string& option) -> const std::string& {
        if (at + 1 >= arguments.size()) throw UsageError(option + " needs a value.");
        return arguments[++at];
    };
    for (; at < arguments.size() && arguments[at].starts_with("--"); ++at) {
        if (arguments[at] == "--state-dir") {
            options.stateDirectory = value("--state-dir");
        } else if (arguments[at] == "--allow-loopback-for-testing") {
            options.allowLoopbackForTesting = true;
        } else {
            throw UsageError("Unknown option " + arguments[at] + ".");
        }
    }
    if (at == arguments.size()) throw UsageError("No command given.");
    const std::string command = arguments[at++];
    if (command == "pair") {
        options.command = ClientOptions::Command::pair;
        if (at + 1 != arguments.size()) throw UsageError("pair takes one HOST[:PORT].");
        options.pairTarget = arguments[at];
        return options;
    }
    if (command == "list") {
        options.command = ClientOptions::Command::list;
        if (at != arguments.size()) throw UsageError("list takes no arguments.");
        return options;
    }
    if (command == "relay-pair") {
        options.command = ClientOptions::Command::relayPair;
        if (at == arguments.size() || at + 2 < arguments.size()) {
            throw UsageError("relay-pair takes INVITATION and an optional MAC-ID.");
        }
        options.relayInvitation = arguments[at++];
        if (at < arguments.size()) {
            options.macID = velorinth::Uuid::fromString(arguments[at]);
            if (!options.macID) throw UsageError("Not a Mac identifier: " + arguments[at]);
        }
        return options;
    }
    if (command != "connect" && command != "wake") throw UsageError("Unknown command " + command + ".");
    options.command = command == "connect" ? ClientOptions::Command::connect : ClientOptions::Command::wake;
    const bool wake = options.command == ClientOptions::Command::wake;
    for (; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (argument == "--frames") {
            options.frames = number<std::uint64_t>(value(argument), 1, 1'000'000, "frame count");
        } else if (argument == "--save") {
            options.savePath = value(argument);
        } else if (argument == "--move") {
            options.pointerMove = point(value(argument));
        } else if (wake && argument == "--remote") {
            options.remote = true;
        } else if (wake && argument == "--wake-port") {
            options.wakePort = number<std::uint16_t>(value(argument), 1, 65'535, "port");
        } else if (!argument.starts_with("--") && !options.macID) {
            options.macID = velorinth::Uuid::fromString(argument);
            if (!options.macID) throw UsageError("Not a Mac identifier: " + argument);
        } else {
            throw UsageError("Unknown option " + argument + ".");
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const ClientOptions options = parse(std::vector<std::string>(argv + 1, argv + argc));
        velorinth::ClientProgram program(options, std::cout, std::cerr);
        return program.run();
    } catch (const UsageError& error) {
        std::cerr << error.what() << "\n" << kUsage << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
