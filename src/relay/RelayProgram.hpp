#pragma once

#include "core/Constants.hpp"
#include "core/Date.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/UsageError.hpp"
#include "core/Uuid.hpp"
#include "core/WakeModels.hpp"
#include "platform/StateFolder.hpp"
#include "transport/relay/WakeRelayRecords.hpp"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace velorinth {

class DeviceIdentityService;
class WakeRelayConfigurationStore;
class WakeRelayServer;

// One --interface NAME,KIND,MAC,IPV4[,MASK], as given.
struct RelayInterfaceOption {
    std::string name;
    WakeInterfaceKind kind = WakeInterfaceKind::other;
    std::string hardwareAddress;
    std::string ipv4Address;
    std::optional<std::string> subnetMask;
};

// What --invite asks for: a ticket for one Mac, saved as a target first when
// its interfaces are given.
struct RelayInvitationOptions {
    Uuid macID;
    std::string endpoint; // HOST[:PORT]; the listening port when none
    std::vector<RelayInterfaceOption> interfaces;
    std::string name;
    std::optional<std::uint16_t> bonjourPort;
    bool sleepProxy = false;
    double lifetimeSeconds = 900;
};

struct RelayOptions {
    std::uint16_t port = VelorinthService::defaultRelayPort;
    std::optional<asio::ip::address> listenAddress; // every interface when none
    std::optional<std::filesystem::path> stateDirectory;
    std::vector<std::uint16_t> wakePorts; // empty: port 9
    bool allowLoopbackForTesting = false;
    std::optional<RelayInvitationOptions> invite;
};

// The wake relay program: its own identity and state in a private directory
// (locked, so two processes never undo each other's tickets), the relay
// server until SIGTERM or SIGINT, an invitation printed at start when asked
// for, and a listener check every 5 s so that a service manager restarts a
// relay whose listener died.
class RelayProgram {
public:
    static constexpr std::chrono::seconds kHandshakeTimeout{15};
    static constexpr std::chrono::seconds kListenerCheckInterval{5};
    static constexpr const char* kListenerFailedText = "The wake relay listener failed.";
    // Follows the refusal of a loopback --endpoint.
    static constexpr const char* kLoopbackHintText =
        "For a tablet or Mac on this machine, add --allow-loopback-for-testing (for testing only).";

    RelayProgram(RelayOptions options, std::ostream& out, std::ostream& err);
    ~RelayProgram();
    RelayProgram(const RelayProgram&) = delete;
    RelayProgram& operator=(const RelayProgram&) = delete;

    // 0 after a signal; 1 with the error's text on `err`; 2 for a usage error.
    int run();

    // `stateDirectory`, else $XDG_DATA_HOME/velorinth-relay (absolute only),
    // else ~/.local/share/velorinth-relay. UsageError when none is known.
    static std::filesystem::path stateDirectory(const std::optional<std::filesystem::path>& given);

private:
    // The invitation's Mac and endpoint as it will be issued, on `port` when
    // the endpoint names none; throws what a bad option value fails with.
    std::optional<WakeRelayTargetRecord> invitationTarget(Date now) const;
    RemoteEndpoint invitationEndpoint(std::uint16_t port, Date now) const;
    void open(const std::filesystem::path& directory);
    asio::awaitable<int> serve();
    asio::awaitable<void> invite(std::uint16_t port);
    void say(const std::string& line);
    // A failure's text on `err`, and how to reach this machine after a loopback refusal.
    void complain(const std::exception_ptr& failure);

    RelayOptions options_;
    std::ostream& out_;
    std::ostream& err_;
    std::shared_ptr<StateFolder> folder_; // held from before the state is read until the end
    asio::io_context io_;
    asio::thread_pool storeWorker_{1};
    asio::steady_timer pause_{io_};
    bool stopping_ = false;
    std::shared_ptr<DeviceIdentityService> identity_;
    std::shared_ptr<WakeRelayConfigurationStore> store_;
    std::shared_ptr<WakeRelayServer> server_;
};

} // namespace velorinth
