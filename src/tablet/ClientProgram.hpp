#pragma once

#include "core/TrustedDevice.hpp"
#include "core/UsageError.hpp"
#include "core/Uuid.hpp"
#include "platform/StateFolder.hpp"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace velorinth {

class AuthenticatedClientSession;
class DecodedFrameSink;
class DeviceIdentityService;
class TrustedDeviceStore;

// What the command line asked for.
struct ClientOptions {
    enum class Command { pair, list, connect, wake, relayPair };

    std::optional<std::filesystem::path> stateDirectory;
    bool allowLoopbackForTesting = false;
    Command command = Command::list;
    std::string pairTarget;     // pair: HOST[:PORT]
    std::string relayInvitation; // relay-pair: the vlrelay1|… line
    std::optional<Uuid> macID;  // connect, wake, relay-pair
    std::optional<std::uint64_t> frames;
    std::optional<std::filesystem::path> savePath;
    std::optional<std::pair<double, double>> pointerMove;
    bool remote = false;        // wake
    std::uint16_t wakePort = 9; // wake
};

// The tablet-side program: pairs with a Mac, lists the paired ones, and
// connects to one (waking it first with `wake`, directly or through its wake
// relay), pairs a Mac's wake relay from its invitation, printing one line per step.
// Runs its command on the calling thread's loop; SIGINT and SIGTERM cancel it.
class ClientProgram {
public:
    static constexpr const char* kDisconnectReason = "Disconnected by velorinth-client.";
    static constexpr const char* kCancelledText = "Connection cancelled.";
    // A signal while the command waits for another on its state folder.
    static constexpr const char* kStoppedWaitingText = "Stopped waiting for the other velorinth-client command.";
    // Follows the refusal of a loopback host.
    static constexpr const char* kLoopbackHintText =
        "To reach a host on this machine, put --allow-loopback-for-testing before the command (for testing only).";
    static constexpr const char* kNoFrameText =
        "Connected to your Mac, but no live desktop video frame arrived before timeout.";
    // The limit of one step of a connection: a name's lookup, a route's attempt.
    static constexpr std::chrono::seconds kStepTimeout{10};
    // How often a command that waits for another's state folder looks again.
    static constexpr std::chrono::milliseconds kStateFolderPoll{100};

    ClientProgram(ClientOptions options, std::ostream& out, std::ostream& err);
    ~ClientProgram();
    ClientProgram(const ClientProgram&) = delete;
    ClientProgram& operator=(const ClientProgram&) = delete;

    // 0 on success; 1 with the error's text on `err`; 2 for a usage error.
    int run();

    // $XDG_DATA_HOME/velorinth-client/secure-store (absolute only), else
    // ~/.local/share/velorinth-client/secure-store; `stateDirectory`/secure-store
    // when given.
    static std::filesystem::path storeRoot(const std::optional<std::filesystem::path>& stateDirectory);

private:
    // `root`: the secure store's root, whose parent is the state folder.
    asio::awaitable<int> runCommand(std::filesystem::path root);
    // Commands on one state folder run one at a time: each loads the whole
    // trust store and saves it whole, so two at once would drop each other's
    // records (and two first runs each make an identity). A second command
    // says so and waits for the first to end. The folder is checked first,
    // and the stores are made over it once it is held.
    asio::awaitable<void> holdStateFolder(const std::filesystem::path& root);
    asio::awaitable<void> pair();
    asio::awaitable<void> list();
    asio::awaitable<void> connect();
    asio::awaitable<void> wake();
    asio::awaitable<void> relayPair();
    // What --frames, --save and --move ask of a connected session (starting
    // its stream first when asked to), then its disconnect, whatever happened.
    asio::awaitable<void> useSession(std::shared_ptr<AuthenticatedClientSession> session,
                                     std::shared_ptr<DecodedFrameSink> sink, bool startStream);
    // The Mac named on the command line, or the one paired Mac.
    TrustedDevice chosenMac();
    void say(const std::string& line);
    void complain(const std::string& line);

    ClientOptions options_;
    std::ostream& out_;
    std::ostream& err_;
    std::shared_ptr<StateFolder> folder_; // held; let go after the workers' last writes
    asio::io_context io_;
    asio::thread_pool kdfWorker_{1};
    asio::thread_pool storeWorker_{1};
    std::shared_ptr<DeviceIdentityService> identity_;
    std::shared_ptr<TrustedDeviceStore> trust_;
    bool interrupted_ = false;
    std::function<void()> onInterrupt_; // what a signal cancels besides the command
    // Sinks end off the loop, after it stopped.
    std::vector<std::shared_ptr<DecodedFrameSink>> finishedSinks_;
};

} // namespace velorinth
