// velorinth-relay and velorinth-client as their users run them: the relay
// invites the tablet for the host of the host rig, the tablet pairs with it
// by the printed line and wakes the stopped host through it with one real
// magic packet; a cut invitation, a second relay on the same directory, a
// signal and a restart.

#include "support/ClientProgramRig.hpp"

#include "core/Text.hpp"
#include "core/WakeModels.hpp"
#include "transport/relay/WakeRelayClientError.hpp"

#include <asio/ip/udp.hpp>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

struct RelayProgramRig : ClientProgramRig {
    TemporaryDirectory relayState{"velorinth-relay"};
    asio::ip::udp::socket wakes{io, {asio::ip::make_address("127.0.0.1"), 0}};
    std::vector<Bytes> packets;

    std::unique_ptr<ChildProcess> relay(std::vector<std::string> arguments = {}, const std::string& port = "0") {
        arguments.insert(arguments.begin(), {"--state-dir", relayState.path.string(), "--port", port,
                                             "--listen-address", "127.0.0.1", "--allow-loopback-for-testing",
                                             "--wake-port", std::to_string(wakes.local_endpoint().port())});
        return std::make_unique<ChildProcess>(programPath("velorinth-relay"), arguments);
    }
    // The first match of `pattern` in what `child` printed, once it is there.
    std::string printed(ChildProcess& child, const std::string& pattern) {
        const std::regex expression(pattern);
        std::smatch found;
        until([&] { return std::regex_search(child.out(), found, expression) || child.poll(); }, 30s);
        const std::string out = child.out();
        return std::regex_search(out, found, expression) ? found[1].str() : "";
    }
    // Stops the host; its listener comes back once a magic packet reached it.
    void sleepHost() {
        run(server->stop());
        auto packet = std::make_shared<Bytes>(200);
        auto from = std::make_shared<asio::ip::udp::endpoint>();
        wakes.async_receive_from(asio::buffer(*packet), *from,
                                 [this, packet, from](const asio::error_code& error, std::size_t length) {
                                     if (error) return;
                                     packet->resize(length);
                                     packets.push_back(*packet);
                                     server->startListening(port, false);
                                 });
    }
    void stop(ChildProcess& child) {
        child.signal(SIGTERM);
        finish(child);
    }
};

// The mode bits of `path` (the sticky bit included).
unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(LoopbackRelayProgram, InvitesPairsAndWakesTheStoppedHostThroughTheRelay) {
    RelayProgramRig h;
    // A state folder given to the relay that other users can write is refused
    // in one line before anything is made, and keeps its mode.
    ASSERT_EQ(::chmod(h.relayState.path.c_str(), 01777), 0);
    auto shared = h.relay();
    h.finish(*shared);
    EXPECT_EQ(shared->exitCode(), 1);
    EXPECT_EQ(shared->err(), "Refusing " + h.relayState.path.string() +
                                 ": it is writable by other users (mode 1777). Run chmod go-w " +
                                 h.relayState.path.string() + ", or give a folder of your own.\n");
    EXPECT_EQ(shared->out(), "");
    EXPECT_EQ(modeOf(h.relayState.path), 01777u);
    EXPECT_TRUE(std::filesystem::is_empty(h.relayState.path));
    // One of the user's own that only they can write serves, and keeps its mode.
    ASSERT_EQ(::chmod(h.relayState.path.c_str(), 0755), 0);
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->out() << pairing->err();
    const Uuid mac = h.hostIdentity->loadOrCreateRecord().id;

    auto relay = h.relay({"--invite", mac.uuidString(), "--endpoint", "127.0.0.1", "--interface",
                          "eth0,ethernet,02:00:00:AA:BB:CC,127.0.0.1"});
    const std::string listening = h.printed(*relay, "(Wake relay listening on port [0-9]+; fingerprint [0-9A-F ]+)\n");
    const std::string relayPort = h.printed(*relay, "listening on port ([0-9]+);");
    const std::string fingerprint = listening.substr(listening.find("fingerprint ") + 12);
    const std::string invitation = h.printed(*relay, "(vlrelay1\\|[^\n]+)\n");
    ASSERT_FALSE(invitation.empty()) << relay->out() << relay->err();
    EXPECT_EQ(fingerprint.size(), 79u);

    auto cut = h.runProgram({"relay-pair", invitation.substr(0, invitation.size() / 2)});
    EXPECT_EQ(cut->exitCode(), 1);
    EXPECT_NE(cut->err().find(WakeRelayClientError::invalidInvitationFormat().what()), std::string::npos) << cut->err();
    ASSERT_TRUE(h.savedMac().has_value());
    EXPECT_FALSE(h.savedMac()->wakeRelayConfiguration.has_value());

    auto paired = h.runProgram({"relay-pair", invitation});
    ASSERT_EQ(paired->exitCode(), 0) << paired->out() << paired->err();
    const std::optional<PairedWakeRelayConfiguration> saved = h.savedMac()->wakeRelayConfiguration;
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->relayIdentity.fingerprint.groupedHexString(), fingerprint);
    EXPECT_NE(paired->out().find(saved->relayIdentity.fingerprint.shortDisplayText()), std::string::npos);

    auto rival = h.relay();
    h.finish(*rival);
    EXPECT_EQ(rival->exitCode(), 1);
    EXPECT_NE(rival->err().find("Another velorinth-relay process is using " + h.relayState.path.string() + "."),
              std::string::npos)
        << rival->err();

    h.sleepHost();
    auto wake = h.runProgram({"wake", "--remote"});
    ASSERT_EQ(wake->exitCode(), 0) << wake->out() << wake->err();
    EXPECT_NE(wake->out().find("Wake route: externalWakeRelay"), std::string::npos) << wake->out();
    ASSERT_EQ(h.packets.size(), 1u);
    EXPECT_EQ(h.packets[0].size(), 102u);
    h.stop(*relay);
    EXPECT_EQ(relay->exitCode(), 0) << relay->err();

    // Restarted on its port without an invitation: the same relay, and the tablet still wakes through it.
    auto again = h.relay({}, relayPort);
    EXPECT_EQ(h.printed(*again, "(Wake relay listening on port [0-9]+; fingerprint [0-9A-F ]+)\n"), listening);
    h.sleepHost();
    auto second = h.runProgram({"wake", "--remote"});
    ASSERT_EQ(second->exitCode(), 0) << second->out() << second->err();
    EXPECT_EQ(h.packets.size(), 2u);
    h.stop(*again);
    EXPECT_EQ(again->exitCode(), 0) << again->err();

    // What the relay made in it stays its own.
    EXPECT_EQ(modeOf(h.relayState.path), 0755u);
    int made = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(h.relayState.path)) {
        ++made;
        EXPECT_EQ(modeOf(entry.path()), entry.is_directory() ? 0700u : 0600u) << entry.path();
    }
    EXPECT_GE(made, 3); // the lock, a store's folder and an item in it
}

TEST(LoopbackRelayProgram, HelpListsEveryOptionOptionsTakeTheirValueEitherWayAndLoopbackIsExplained) {
    RelayProgramRig h;
    for (const char* help : {"--help", "-h"}) {
        auto child = h.runAsGiven("velorinth-relay", {"--port", "1", help});
        EXPECT_EQ(child->exitCode(), 0) << help;
        EXPECT_TRUE(child->out().starts_with("usage: VelorinthWakeRelay (velorinth-relay)")) << child->out();
        EXPECT_EQ(child->err(), "");
        for (const char* option :
             {"--port N", "--listen-address ADDRESS", "--state-dir DIR", "--wake-port N", "--allow-loopback-for-testing",
              "--invite MAC-ID", "--endpoint HOST[:PORT]", "--interface NAME,KIND,MAC,IPV4[,MASK]", "--name TEXT",
              "--bonjour-port N", "--sleep-proxy", "--lifetime SECONDS", "--help"}) {
            EXPECT_NE(child->out().find(option), std::string::npos) << option;
        }
    }
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"--bogus"}, {"--port=65536"}, {"--sleep-proxy=1"}, {"--lifetime=nan"}, {"serve"}}) {
        auto child = h.runAsGiven("velorinth-relay", refused);
        EXPECT_EQ(child->exitCode(), 2) << refused.front();
        EXPECT_NE(child->err().find("\nusage: VelorinthWakeRelay"), std::string::npos) << child->err();
    }

    const std::string mac = Uuid::random().uuidString();
    const std::filesystem::path state = h.relayState.path / "state";
    const std::vector<std::string> options{"--state-dir=" + state.string(), "--port=0", "--listen-address=127.0.0.1",
                                           "--invite=" + mac, "--endpoint=127.0.0.1"};
    // The refusal stays as it is; the next line says how to reach this machine.
    const std::string loopbackRefusal =
        RemoteEndpointValidationError::text(RemoteEndpointValidationError::Case::loopbackAddressNotAllowed) +
        "\nFor a tablet or Mac on this machine, add --allow-loopback-for-testing (for testing only).\n";
    // A bad invitation, or a state folder that cannot be made, is refused in
    // the relay's words before it listens, and nothing is made.
    std::ofstream(h.relayState.path / "file") << "not a folder";
    const std::filesystem::path underAFile = h.relayState.path / "file" / "state";
    // Each on loopback, should it listen after all.
    const std::vector<std::string> onLoopback{"--port=0", "--listen-address=127.0.0.1", "--invite=" + mac};
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"--state-dir=" + state.string(), "--endpoint=127.0.0.1"}, loopbackRefusal},
        {{"--state-dir=" + state.string(), "--endpoint=https://mac.example"},
         RemoteEndpointValidationError::text(RemoteEndpointValidationError::Case::urlSchemeNotAllowed) + "\n"},
        {{"--state-dir=" + state.string(), "--endpoint=mac.example:0"},
         RemoteEndpointValidationError::text(RemoteEndpointValidationError::Case::invalidPort) + "\n"},
        {{"--state-dir=" + state.string(), "--endpoint=mac.example",
          "--interface=eth0,ethernet,02:00:00:AA:BB,192.168.1.20"},
         std::string(WakeModelError(WakeModelError::Case::invalidMACAddress).what()) + "\n"},
        {{"--state-dir=" + underAFile.string(), "--endpoint=mac.example"},
         "Cannot make the state folder " + underAFile.string() + ": Not a directory.\n"},
    };
    for (auto [arguments, text] : refusals) {
        SCOPED_TRACE(arguments.back());
        arguments.insert(arguments.end(), onLoopback.begin(), onLoopback.end());
        auto refused = h.runAsGiven("velorinth-relay", arguments);
        EXPECT_EQ(refused->exitCode(), 1);
        EXPECT_EQ(refused->err(), text);
        EXPECT_EQ(refused->out(), "");
        EXPECT_FALSE(std::filesystem::exists(state));
    }

    std::vector<std::string> loopback = options;
    loopback.insert(loopback.end(), {"--interface=eth0,ethernet,02:00:00:AA:BB:CC,127.0.0.1", "--allow-loopback-for-testing"});
    auto relay = std::make_unique<ChildProcess>(programPath("velorinth-relay"), loopback);
    const std::string invitation = h.printed(*relay, "(vlrelay1\\|[^\n]+)\n");
    EXPECT_NE(invitation.find(lowercased(mac)), std::string::npos) << relay->out() << relay->err();
    h.stop(*relay);
    EXPECT_EQ(relay->exitCode(), 0) << relay->err();
}

} // namespace
