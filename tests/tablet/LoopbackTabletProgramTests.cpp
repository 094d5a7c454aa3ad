// velorinth-client as a user runs it, against the real host on 127.0.0.1:
// pairing with the code, listing, connecting with frames, a saved picture
// and a pointer move, waking a stopped host; and bad input refused cleanly.

#include "support/ClientProgramRig.hpp"
#include "support/ReadOnlyBind.hpp"

#include "core/BigEndian.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "transport/client/VideoStreamTransportError.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/ip/udp.hpp>
#include <asio/redirect_error.hpp>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

namespace fs = std::filesystem;

const MACAddress kHardware(std::string_view("00:11:22:33:44:55"));

Bytes fileBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(LoopbackTabletProgram, PairsListsConnectsWithVideoAndInputAndWakesAStoppedHost) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> pairing;
    const std::string code = h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->out() << pairing->err();
    ASSERT_FALSE(h.prompts.empty());
    ASSERT_TRUE(h.prompts.front().has_value());
    EXPECT_EQ(code, h.prompts.front()->verificationCode);
    EXPECT_NE(pairing->out().find("Paired with Test Mac ("), std::string::npos) << pairing->out();

    auto list = h.runProgram({"list"});
    EXPECT_EQ(list->exitCode(), 0) << list->err();
    EXPECT_NE(list->out().find("Test Mac"), std::string::npos);
    EXPECT_NE(list->out().find("endpoints: 127.0.0.1:" + std::to_string(h.port)), std::string::npos) << list->out();

    // The Mac now tells its tablets how to wake it.
    SavedWakeConfiguration pushed = SavedWakeConfiguration::empty(Date::now());
    pushed.targets = {WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet, kHardware, std::string("127.0.0.1"))};
    pushed.bonjourServicePort = h.port;
    pushed.wakeForNetworkAccess = Evidence<bool>::verified(true);
    h.call([&] { h.server->updateHostState(std::nullopt, true, pushed); });
    const fs::path picture = h.state.path / "out.png";
    auto connect = h.runProgram({"connect", "--frames", "3", "--save", picture.string(), "--move", "0.5,0.5"});
    ASSERT_EQ(connect->exitCode(), 0) << connect->out() << connect->err();
    const Bytes png = fileBytes(picture);
    ASSERT_GE(png.size(), 24u);
    EXPECT_EQ(bigendian::load<std::uint32_t>(ByteView(png).subspan(16).first<4>()), 640u); // IHDR width
    EXPECT_EQ(bigendian::load<std::uint32_t>(ByteView(png).subspan(20).first<4>()), 360u); // and height
    // The host injects the move on its loop once read; the program may have exited before that.
    std::vector<std::pair<Uuid, InputEvent>> inputs;
    for (int attempt = 0; attempt < 500 && inputs.empty(); ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        inputs = h.call([&] { return h.inputs; });
    }
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].second, InputEvent::pointerMove(0.5, 0.5));
    ASSERT_TRUE(h.savedMac().has_value());
    EXPECT_EQ(h.savedMac()->wakeConfiguration, pushed);

    // Asleep: a real magic packet for the Mac's address wakes it.
    h.run(h.server->stop());
    asio::ip::udp::socket receiver(h.io, {asio::ip::make_address("127.0.0.1"), 0});
    Bytes packet(200);
    asio::ip::udp::endpoint from;
    receiver.async_receive_from(asio::buffer(packet), from, [&](const asio::error_code& error, std::size_t length) {
        if (error) return;
        packet.resize(length);
        h.server->startListening(h.port, false);
    });
    auto wake = h.runProgram({"wake", "--wake-port", std::to_string(receiver.local_endpoint().port())});
    ASSERT_EQ(wake->exitCode(), 0) << wake->out() << wake->err();
    EXPECT_EQ(packet.size(), 102u);
    EXPECT_NE(wake->out().find("Attempting to wake your Mac\u2026"), std::string::npos) << wake->out();
    EXPECT_NE(wake->out().find("Connected\nWake route: directLocalNetwork"), std::string::npos) << wake->out();
}

TEST(LoopbackTabletProgram, BadInputIsRefusedAndLosesNothing) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> refused;
    h.pair("n", refused);
    EXPECT_EQ(refused->exitCode(), 1);
    EXPECT_NE(refused->err().find("Pairing was cancelled because the verification code was not confirmed."),
              std::string::npos)
        << refused->err();
    h.until([&] { return !h.prompts.empty() && !h.prompts.back().has_value(); }); // withdrawn on the Mac
    EXPECT_FALSE(h.savedMac().has_value());

    auto scheme = h.runProgram({"pair", "http://x"});
    EXPECT_EQ(scheme->exitCode(), 1);
    EXPECT_NE(scheme->err().find(RemoteEndpointValidationError::text(
                  RemoteEndpointValidationError::Case::urlSchemeNotAllowed)),
              std::string::npos);
    auto option = h.runProgram({"connect", "--bogus"});
    EXPECT_EQ(option->exitCode(), 2);
    EXPECT_NE(option->err().find("usage: velorinth-client"), std::string::npos);

    FileSecureStore(h.state.path / "secure-store")
        .save(ByteView(reinterpret_cast<const std::uint8_t*>("not json"), 8), TrustedDeviceStore::service(),
              TrustedDeviceStore::kAccount);
    const fs::path file = h.state.path / "secure-store" / TrustedDeviceStore::service() / TrustedDeviceStore::kAccount;
    const Bytes before = fileBytes(file);
    for (const char* command : {"list", "connect"}) {
        auto corrupted = h.runProgram({command});
        EXPECT_EQ(corrupted->exitCode(), 1) << command;
        EXPECT_NE(corrupted->err().find(TrustedDeviceStoreError::text(TrustedDeviceStoreError::Case::corruptedStore)),
                  std::string::npos)
            << corrupted->err();
    }
    EXPECT_EQ(fileBytes(file), before);
}

// Two commands on one state folder: a connection beside a pairing whose code
// is on screen. Each loads the whole store and saves it whole, so the pairing
// would write back what it read before the connection recorded the address
// that reached the Mac; the second command waits for the first and says so.
TEST(LoopbackTabletProgram, ASecondCommandOnTheSameStateWaitsForTheFirstAndNothingIsLost) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> first;
    h.pair("y", first);
    ASSERT_EQ(first->exitCode(), 0) << first->err();
    ASSERT_FALSE(h.savedMac()->lastSuccessfulEndpointID.has_value());

    auto pairing = h.start({"pair", "127.0.0.1:" + std::to_string(h.port)});
    h.until([&] { return pairing->poll() || pairing->out().find("Verification code: ") != std::string::npos; }, 30s);
    auto connect = h.start({"connect"});
    connect->closeInput();
    const std::string waiting =
        "Another velorinth-client command is using " + h.state.path.string() + "; waiting for it to finish.\n";
    h.until([&] { return connect->poll() || connect->err() == waiting; }, 30s);
    EXPECT_FALSE(connect->finished()) << connect->out() << connect->err();
    // Ctrl+C while a third waits ends its wait, and says so.
    auto list = h.start({"list"});
    list->closeInput();
    h.until([&] { return list->poll() || list->err() == waiting; }, 30s);
    list->signal(SIGINT);
    h.finish(*list);
    EXPECT_EQ(list->exitCode(), 1);
    EXPECT_EQ(list->err(), waiting + "Stopped waiting for the other velorinth-client command.\n");
    EXPECT_EQ(list->out(), "");

    pairing->write("y\n");
    pairing->closeInput();
    h.finish(*pairing);
    EXPECT_EQ(pairing->exitCode(), 0) << pairing->err();
    h.finish(*connect);
    EXPECT_EQ(connect->exitCode(), 0) << connect->err();
    EXPECT_EQ(connect->err(), waiting);

    ASSERT_TRUE(h.savedMac().has_value());
    ASSERT_EQ(h.savedMac()->remoteEndpoints.size(), 1u);
    EXPECT_EQ(h.savedMac()->lastSuccessfulEndpointID, h.savedMac()->remoteEndpoints.front().id) << connect->out();
}

TEST(LoopbackTabletProgram, HelpListsEveryOptionOptionsTakeTheirValueEitherWayAndLoopbackIsExplained) {
    ClientProgramRig h;
    for (const std::vector<std::string>& help :
         {std::vector<std::string>{"--help"}, {"-h"}, {"connect", "--frames", "2", "-h"}}) {
        auto child = h.runAsGiven("velorinth-client", help);
        EXPECT_EQ(child->exitCode(), 0) << help.back();
        EXPECT_TRUE(child->out().starts_with("usage: velorinth-client")) << child->out();
        EXPECT_EQ(child->err(), "");
        for (const char* option : {"--state-dir DIR", "--allow-loopback-for-testing", "--frames N", "--save FILE.png",
                                   "--move X,Y", "--remote", "--wake-port PORT", "--help", "pair", "list", "connect",
                                   "wake", "relay-pair"}) {
            EXPECT_NE(child->out().find(option), std::string::npos) << option;
        }
    }
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->err();
    auto list = h.runAsGiven("velorinth-client", {"--state-dir=" + h.state.path.string(), "list"});
    EXPECT_EQ(list->exitCode(), 0) << list->err();
    EXPECT_TRUE(list->out().find("  Test Mac\n") != std::string::npos) << list->out();
    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"--version"}, {"--state-dir=", "list"}, {"list", "--frames=2"},
          {"connect", "--move=nan,0"}, {"--allow-loopback-for-testing=yes", "list"}}) {
        auto child = h.runAsGiven("velorinth-client", refused);
        EXPECT_EQ(child->exitCode(), 2) << refused.front();
        EXPECT_NE(child->err().find("\nusage: velorinth-client"), std::string::npos) << child->err();
    }

    // The refusal stays as it is; the next line says how to reach this machine.
    auto loopback =
        h.runAsGiven("velorinth-client", {"--state-dir", h.state.path.string(), "pair", "127.0.0.1:" + std::to_string(h.port)});
    EXPECT_EQ(loopback->exitCode(), 1);
    EXPECT_EQ(loopback->err(),
              RemoteEndpointValidationError::text(RemoteEndpointValidationError::Case::loopbackAddressNotAllowed) +
                  "\nTo reach a host on this machine, put --allow-loopback-for-testing before the command (for "
                  "testing only).\n");
    EXPECT_EQ(h.prompts.size(), 2u); // the pairing's, shown and answered
}

// State another user could have written is refused before anything in it
// is read or sent: an identity they planted never reaches the Mac, and a
// lock of theirs is never waited on.
TEST(LoopbackTabletProgram, StateAnotherUserCouldHaveWrittenIsRefusedBeforeTheMacHearsOfIt) {
    ClientProgramRig h;
    const fs::path state = h.state.path;
    DeviceIdentityService planted(std::make_shared<FileSecureStore>(state / "secure-store"),
                                  [] { return std::string("Planted"); });
    planted.loadOrCreateRecord();
    const auto refusal = [](const fs::path& path, const std::string& what, const std::string& remedy) {
        return "Refusing " + path.string() + ": it " + what + ". " + remedy + "\n";
    };
    const std::string writable = "is writable by other users (mode 0777)";
    std::vector<std::pair<std::function<void()>, std::string>> variants{
        {[&] { ::chmod(state.c_str(), 0777); },
         refusal(state, writable, "Run chmod go-w " + state.string() + ", or give a folder of your own.")}};
    if (::geteuid() == 0) { // giving files to another user (chown) needs root
        variants.emplace_back(
            [&] {
                for (const auto& entry : fs::recursive_directory_iterator(state))
                    ::lchown(entry.path().c_str(), 1001, 1001);
                ::lchown(state.c_str(), 1001, 1001);
            },
            refusal(state, "belongs to user 1001", "Give a folder of your own."));
    }
    for (const auto& [arrange, text] : variants) {
        SCOPED_TRACE(text);
        arrange();
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"pair", "127.0.0.1:" + std::to_string(h.port)}, {"list"}}) {
            auto refused = h.runProgram(command);
            EXPECT_EQ(refused->exitCode(), 1) << command.front();
            EXPECT_EQ(refused->err(), text);
            EXPECT_EQ(refused->out(), "");
        }
        EXPECT_TRUE(h.prompts.empty()) << "the Mac heard of the planted identity";
        EXPECT_FALSE(fs::exists(state / "lock"));
        for (const auto& entry : fs::recursive_directory_iterator(state)) {
            ::lchown(entry.path().c_str(), ::geteuid(), ::getegid());
        }
        ::lchown(state.c_str(), ::geteuid(), ::getegid());
        ::chmod(state.c_str(), 0700);
    }
    EXPECT_EQ(h.trust->allDevices().size(), 0u);

    // An item the command would not read is checked all the same.
    const fs::path identity =
        state / "secure-store" / DeviceIdentityService::service() / DeviceIdentityService::kAccount;
    ASSERT_EQ(::chmod(identity.c_str(), 0666), 0);
    auto unread = h.runProgram({"list"});
    EXPECT_EQ(unread->exitCode(), 1);
    EXPECT_EQ(unread->err(), refusal(identity, "is writable by other users (mode 0666)",
                                     "Run chmod go-w " + identity.string() + ", or give a folder of your own."));
    ASSERT_EQ(::chmod(identity.c_str(), 0600), 0);

    // A lock others can write, or one of another user's which they hold:
    // refused at once rather than waited on.
    std::ofstream(state / "lock") << "";
    ASSERT_EQ(::chmod((state / "lock").c_str(), 0666), 0);
    auto list = h.runProgram({"list"});
    EXPECT_EQ(list->exitCode(), 1);
    EXPECT_EQ(list->err(), refusal(state / "lock", "is writable by other users (mode 0666)",
                                   "Run chmod go-w " + (state / "lock").string() + ", or give a folder of your own."));
    if (::geteuid() != 0) return;
    ASSERT_EQ(::chmod((state / "lock").c_str(), 0600), 0);
    ASSERT_EQ(::chown((state / "lock").c_str(), 1001, 1001), 0);
    const int theirs = ::open((state / "lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(theirs, LOCK_EX | LOCK_NB), 0);
    auto held = h.runProgram({"list"});
    ::close(theirs);
    EXPECT_EQ(held->exitCode(), 1);
    EXPECT_EQ(held->err(), refusal(state / "lock", "belongs to user 1001", "Remove it, or give a folder of your own."));
}

// State on a read-only mount still lists what it holds: the lock is taken
// through a read-only descriptor, and listing saves nothing.
TEST(NetnsTabletProgram, ListsFromStateBoundReadOnly) {
    if (const std::optional<std::string> why = ReadOnlyBind::unavailable()) GTEST_SKIP() << *why;
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->err();

    const ReadOnlyBind readOnly(h.state.path);
    ChildProcess list(
        readOnly.program(),
        readOnly.arguments(programPath("velorinth-client"), {"--state-dir", h.state.path.string(), "list"}),
        h.environment);
    list.closeInput();
    h.finish(list);
    EXPECT_EQ(list.exitCode(), 0) << list.err();
    EXPECT_NE(list.out().find("  Test Mac\n"), std::string::npos) << list.out();
}

// Runs `arguments` until the host has sent a few frames, then lets `end` act on the host's side.
std::unique_ptr<ChildProcess> endWhileStreaming(ClientProgramRig& h, std::vector<std::string> arguments,
                                                const std::function<void(const Uuid& tablet)>& end) {
    // An earlier run's session may still be in the host's table, its frames counted: it is not this run's.
    h.until([&] { return h.server->sessionDescriptors().empty(); }, 15s);
    auto child = h.start(std::move(arguments));
    child->closeInput();
    h.until([&] {
        child->poll();
        const auto sessions = h.server->sessionDescriptors();
        return child->finished() || (!sessions.empty() && sessions.front().sentVideoFrames >= 3);
    }, 30s);
    end(h.trust->allDevices().front().id);
    h.finish(*child);
    return child;
}

TEST(LoopbackTabletProgram, AHostThatEndsTheSessionOrStopsSharingEndsTheWaitForFramesAtOnceWithItsReason) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->err();

    auto stopped = endWhileStreaming(h, {"connect", "--frames", "100000"}, [&](const Uuid&) {
        h.call([&] { h.server->stopAllVideoStreams(VideoStreamStopReason::hostStopped, "The Mac user stopped screen sharing."); });
    });
    EXPECT_EQ(stopped->exitCode(), 1);
    EXPECT_EQ(stopped->err(), "The desktop video stream stopped: The Mac user stopped screen sharing.\n");

    // A wake run finds the Mac awake and connects; its session then ends the same way.
    auto ended = endWhileStreaming(h, {"wake", "--frames=100000"}, [&](const Uuid& tablet) {
        h.run(h.server->disconnectSession(tablet, "Disconnected by Mac user."));
    });
    EXPECT_EQ(ended->exitCode(), 1);
    EXPECT_EQ(ended->err(), "The session ended: Disconnected by Mac user.\n") << ended->out();
}

// What a Mac sends is printed, never obeyed: its reason cannot clear the
// screen, move the cursor or rewrite the lines before it.
TEST(LoopbackTabletProgram, AMacsTextReachesTheTerminalWithoutItsControlCharacters) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->err();

    // Clear the screen, home the cursor, return, and a C1 control sequence introducer.
    const std::string reason = std::string("\x1b[2J\x1b[HStopped\r\xC2\x9B") + "1A.";
    auto stopped = endWhileStreaming(h, {"connect", "--frames", "100000"}, [&](const Uuid&) {
        h.call([&] { h.server->stopAllVideoStreams(VideoStreamStopReason::hostStopped, reason); });
    });
    EXPECT_EQ(stopped->exitCode(), 1);
    EXPECT_EQ(stopped->err(), "The desktop video stream stopped: \uFFFD[2J\uFFFD[HStopped\uFFFD\uFFFD1A.\n");
}

TEST(LoopbackTabletProgram, AWakeRunWithoutScreenViewRefusesFramesAtOnceAsConnectDoes) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->err();
    h.trust->updatePermissions(h.trust->allDevices().front().id, DevicePermissions::connect);

    const std::string refusal =
        std::string(VideoStreamTransportError::text(VideoStreamTransportError::Case::screenViewPermissionDenied)) + "\n";
    auto connect = h.runProgram({"connect", "--frames", "2"});
    EXPECT_EQ(connect->exitCode(), 1);
    EXPECT_EQ(connect->err(), refusal);
    auto wake = h.runProgram({"wake", "--frames", "2"});
    EXPECT_EQ(wake->exitCode(), 1);
    EXPECT_EQ(wake->err(), refusal);
    EXPECT_NE(wake->out().find("Connected\n"), std::string::npos) << wake->out();
    EXPECT_TRUE(h.streamRequests.empty());
}

TEST(LoopbackTabletProgram, OneFrameIsOneFrameAPictureThatCannotBeSavedIsRefusedBeforeConnectingAndCtrlCIsToldOnce) {
    ClientProgramRig h;
    std::unique_ptr<ChildProcess> pairing;
    h.pair("y", pairing);
    ASSERT_EQ(pairing->exitCode(), 0) << pairing->err();

    const fs::path kept = h.state.path / "kept.png";
    std::ofstream(kept) << "an earlier picture";
    for (const fs::path& unwritable : {h.state.path / "no-folder" / "out.png", h.state.path}) {
        auto refused = h.runProgram({"connect", "--save", unwritable.string()});
        EXPECT_EQ(refused->exitCode(), 1);
        EXPECT_TRUE(refused->err().starts_with("Couldn't save the picture: " + unwritable.string())) << refused->err();
        EXPECT_EQ(refused->out(), "") << "nothing was looked for or connected";
    }
    EXPECT_TRUE(h.streamRequests.empty());

    SavedWakeConfiguration pushed = SavedWakeConfiguration::empty(Date::now()); // saved by the next connection
    pushed.targets = {WakeNetworkInterfaceTarget("en0", WakeInterfaceKind::ethernet, kHardware, std::string("127.0.0.1"))};
    pushed.bonjourServicePort = h.port;
    pushed.wakeForNetworkAccess = Evidence<bool>::verified(true);
    h.call([&] { h.server->updateHostState(std::nullopt, true, pushed); });
    auto saved = h.runProgram({"connect", "--frames=1", "--save=" + kept.string()});
    ASSERT_EQ(saved->exitCode(), 0) << saved->err();
    EXPECT_NE(saved->out().find("\nDecoded 1 frame of 640x360.\n"), std::string::npos) << saved->out();
    EXPECT_EQ(fileBytes(kept).size() > 24 ? fileBytes(kept)[1] : 0, 'P'); // a PNG in place of the old text
    // The store, its lock and the picture.
    EXPECT_EQ(std::distance(fs::directory_iterator(h.state.path), fs::directory_iterator()), 3) << "no file left beside";

    // Asleep for good: the run waits for the Mac until Ctrl+C.
    h.run(h.server->stop());
    asio::ip::udp::socket nowhere(h.io, {asio::ip::make_address("127.0.0.1"), 0});
    auto wake = h.start({"wake", "--wake-port", std::to_string(nowhere.local_endpoint().port())});
    wake->closeInput();
    h.until([&] { return wake->poll() || wake->out().find("Attempting to wake your Mac\u2026") != std::string::npos; });
    wake->signal(SIGINT);
    h.finish(*wake);
    EXPECT_EQ(wake->exitCode(), 1);
    EXPECT_EQ(wake->err(), "Connection cancelled.\n");
    EXPECT_EQ(wake->out().find("Connection cancelled."), std::string::npos) << wake->out();
}

// The Mac stops while its code is on screen here: the question, still reading
// standard input, ends with the close at once rather than after the decision window.
TEST(LoopbackTabletProgram, AHostThatStopsWhileTheCodeIsShownEndsThePairingAtOnce) {
    ClientProgramRig h; // the Mac approves as soon as it asks
    auto pairing = h.start({"pair", "127.0.0.1:" + std::to_string(h.port)});
    h.until([&] {
        pairing->poll();
        const bool approved = !h.prompts.empty() && !h.prompts.back().has_value();
        return pairing->finished() || (approved && pairing->out().find("Verification code: ") != std::string::npos);
    }, 30s);
    ASSERT_FALSE(pairing->finished()) << pairing->out() << pairing->err();
    h.run(h.server->stop(), 5s);
    h.finish(*pairing);
    EXPECT_EQ(pairing->exitCode(), 1);
    EXPECT_EQ(pairing->err(), "The remote device closed the connection.\n") << pairing->out();
    EXPECT_FALSE(h.savedMac().has_value());
}

} // namespace
