#include "tablet/ClientCommandLine.hpp"

#include "core/Constants.hpp"

namespace velorinth {

namespace {

Uuid macIdentifier(const std::string& text) {
    const std::optional<Uuid> mac = Uuid::fromString(text);
    if (!mac) throw UsageError("Not a Mac identifier: " + text);
    return *mac;
}

std::pair<double, double> point(const std::string& text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) throw UsageError("--move takes X,Y: " + text);
    const std::string_view both(text);
    return {CommandLineReader::number<double>(both.substr(0, comma), 0.0, 1.0, "coordinate"),
            CommandLineReader::number<double>(both.substr(comma + 1), 0.0, 1.0, "coordinate")};
}

// The operands after a command, each checked as it comes.
std::vector<std::string> operands(CommandLineReader& reader, const CommandLineReader::Options& options,
                                  std::size_t most, const std::string& refusal) {
    std::vector<std::string> found;
    reader.read(options, [&](const std::string& operand) {
        if (found.size() == most) throw UsageError(refusal);
        found.push_back(operand);
        return true;
    });
    return found;
}

} // namespace

CommandLineReader::Options ClientCommandLine::globalOptions(ClientOptions& options) {
    return {
        {"--state-dir", "DIR", "keep this tablet's identity and paired Macs in DIR/secure-store",
         [&](const std::string& value) { options.stateDirectory = value; }},
        {"--allow-loopback-for-testing", "", "accept a host on this machine (127.0.0.1, ::1, localhost); for tests",
         [&](const std::string&) { options.allowLoopbackForTesting = true; }},
        CommandLineReader::helpOption(),
    };
}

CommandLineReader::Options ClientCommandLine::sessionOptions(ClientOptions& options) {
    return {
        {"--frames", "N", "wait for N decoded pictures of the Mac's desktop (1 with --save)",
         [&](const std::string& value) {
             options.frames = CommandLineReader::number<std::uint64_t>(value, 1, 1'000'000, "frame count");
         }},
        {"--save", "FILE.png", "save the last decoded picture",
         [&](const std::string& value) { options.savePath = value; }},
        {"--move", "X,Y", "move the Mac's pointer to X,Y, each between 0 and 1",
         [&](const std::string& value) { options.pointerMove = point(value); }},
    };
}

CommandLineReader::Options ClientCommandLine::wakeOptions(ClientOptions& options) {
    return {
        {"--remote", "", "away from the Mac's network: wake it through its wake relay only",
         [&](const std::string&) { options.remote = true; }},
        {"--wake-port", "PORT", "the UDP port of the magic packet (9 when not given)",
         [&](const std::string& value) {
             options.wakePort = CommandLineReader::number<std::uint16_t>(value, 1, 65'535, "port");
         }},
    };
}

ClientOptions ClientCommandLine::parse(CommandLineReader& reader) {
    ClientOptions options;
    reader.read(globalOptions(options));
    const std::optional<std::string> command = reader.take();
    if (!command) throw UsageError("No command given.");
    if (*command == "pair") {
        options.command = ClientOptions::Command::pair;
        const auto found = operands(reader, {}, 1, "pair takes one HOST[:PORT].");
        if (found.size() != 1) throw UsageError("pair takes one HOST[:PORT].");
        options.pairTarget = found[0];
    } else if (*command == "list") {
        options.command = ClientOptions::Command::list;
        operands(reader, {}, 0, "list takes no arguments.");
    } else if (*command == "relay-pair") {
        options.command = ClientOptions::Command::relayPair;
        const std::string refusal = "relay-pair takes INVITATION and an optional MAC-ID.";
        const auto found = operands(reader, {}, 2, refusal);
        if (found.empty()) throw UsageError(refusal);
        options.relayInvitation = found[0];
        if (found.size() == 2) options.macID = macIdentifier(found[1]);
    } else if (*command == "connect" || *command == "wake") {
        const bool wake = *command == "wake";
        options.command = wake ? ClientOptions::Command::wake : ClientOptions::Command::connect;
        CommandLineReader::Options accepted = wake ? wakeOptions(options) : CommandLineReader::Options{};
        for (CommandLineOption& option : sessionOptions(options)) accepted.push_back(std::move(option));
        const auto found = operands(reader, accepted, 1, *command + " takes one MAC-ID.");
        if (!found.empty()) options.macID = macIdentifier(found[0]);
    } else {
        throw UsageError("Unknown command " + *command + ".");
    }
    return options;
}

std::string ClientCommandLine::usage() {
    ClientOptions unused;
    const CommandLineReader::Options global = globalOptions(unused);
    const CommandLineReader::Options session = sessionOptions(unused);
    const CommandLineReader::Options wake = wakeOptions(unused);
    // --help stays out of the synopsis.
    const CommandLineReader::Options beforeCommand(global.begin(), global.end() - 1);
    return "usage: velorinth-client " + CommandLineReader::synopsis(beforeCommand) + " COMMAND\n" +
           "  pair HOST[:PORT]                pair with the Mac at HOST (port " +
           std::to_string(VelorinthService::defaultPort) + " when none), confirming its code\n" +
           "  list                            the paired Macs\n" +
           "  connect [MAC-ID] " + CommandLineReader::synopsis(session) + "\n" +
           "  wake    [MAC-ID] " + CommandLineReader::synopsis(wake) + " " + CommandLineReader::synopsis(session) +
           "\n" +
           "  relay-pair INVITATION [MAC-ID]  pair the Mac's wake relay from its vlrelay1|\u2026 line\n" +
           "Without MAC-ID, a command takes the one paired Mac.\n" +
           "Options, before the command:\n" + CommandLineReader::describe(global) +
           "connect and wake:\n" + CommandLineReader::describe(session) +
           "wake:\n" + CommandLineReader::describe(wake) +
           "Exit status: 0; 1 with the error on standard error; 2 for a usage error.\n";
}

} // namespace velorinth
