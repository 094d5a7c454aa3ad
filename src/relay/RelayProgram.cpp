#include "relay/RelayProgram.hpp"

#include "core/Cancellation.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/RemoteEndpointValidator.hpp"
#include "core/WorkerCall.hpp"
#include "platform/ComputerName.hpp"
#include "platform/StateFolder.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "transport/relay/WakeRelayConfigurationStore.hpp"
#include "transport/relay/WakeRelayServer.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/wake/LocalWakeService.hpp"

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_awaitable.hpp>

#include <cstdlib>

namespace velorinth {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 5s;
constexpr auto kCheckTimeout = 100ms;

bool refusesLoopback(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const RemoteEndpointValidationError& error) {
        return error.kind == RemoteEndpointValidationError::Case::loopbackAddressNotAllowed;
    } catch (...) {
        return false;
    }
}

std::string relayName() {
    return ComputerName::create()->localizedHostName().value_or("Velorinth Wake Relay");
}

} // namespace

RelayProgram::RelayProgram(RelayOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {}

RelayProgram::~RelayProgram() { storeWorker_.join(); }

std::filesystem::path RelayProgram::stateDirectory(const std::optional<std::filesystem::path>& given) {
    if (given) return *given;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        return std::filesystem::path(xdg) / "velorinth-relay";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return std::filesystem::path(home) / ".local" / "share" / "velorinth-relay";
    }
    throw UsageError("No home directory is known: give --state-dir.");
}

void RelayProgram::say(const std::string& line) { out_ << line << std::endl; }

void RelayProgram::complain(const std::exception_ptr& failure) {
    err_ << describeError(failure) << std::endl;
    if (!options_.allowLoopbackForTesting && refusesLoopback(failure)) err_ << kLoopbackHintText << std::endl;
}

std::optional<WakeRelayTargetRecord> RelayProgram::invitationTarget(Date now) const {
    if (!options_.invite || options_.invite->interfaces.empty()) return std::nullopt;
    const RelayInvitationOptions& asked = *options_.invite;
    std::vector<WakeNetworkInterfaceTarget> interfaces;
    for (const RelayInterfaceOption& option : asked.interfaces) {
        interfaces.emplace_back(option.name, option.kind, MACAddress(std::string_view(option.hardwareAddress)),
                                option.ipv4Address, option.subnetMask);
    }
    return WakeRelayTargetRecord::validate(asked.macID, asked.name, std::move(interfaces), asked.bonjourPort,
                                           asked.sleepProxy, now, options_.allowLoopbackForTesting);
}

RemoteEndpoint RelayProgram::invitationEndpoint(std::uint16_t port, Date now) const {
    return RemoteEndpoint::validating(options_.invite->endpoint, port, RemoteTransportKind::privateNetwork,
                                      std::nullopt, Uuid::random(), now, options_.allowLoopbackForTesting);
}

// The relay's own store: never the Mac's, whose identity a tablet would refuse as its relay.
void RelayProgram::open(const std::filesystem::path& directory) {
    // Only a folder the relay makes is made private: one it was given keeps its
    // mode, and is refused when another user could write into it.
    folder_ = std::make_shared<StateFolder>(StateFolder::openOrMake(directory));
    const auto secureStore = std::make_shared<FileSecureStore>(folder_, "");
    secureStore->check();
    if (!folder_->tryLock()) throw Error("Another velorinth-relay process is using " + directory.string() + ".");
    identity_ = std::make_shared<DeviceIdentityService>(secureStore, relayName);
    identity_->loadOrCreateRecord();
    identity_->tlsIdentity(); // made off the loop, before it runs
    store_ = std::make_shared<WakeRelayConfigurationStore>(secureStore);
    // A document that does not decode stops the relay now, and stays as it is.
    store_->load();
}

int RelayProgram::run() {
    std::filesystem::path directory;
    try {
        directory = stateDirectory(options_.stateDirectory);
    } catch (const UsageError& error) {
        err_ << error.what() << std::endl;
        return 2;
    }
    try {
        // A bad invitation is refused before anything is made or listens.
        const Date now = Date::now();
        invitationTarget(now);
        if (options_.invite) {
            invitationEndpoint(options_.port != 0 ? options_.port : VelorinthService::defaultRelayPort, now);
        }
        open(directory);
    } catch (const std::exception&) {
        complain(std::current_exception());
        return 1;
    }

    int exitCode = 1;
    asio::signal_set signals(io_, SIGINT, SIGTERM);
    signals.async_wait([this](const asio::error_code& error, int) {
        if (error) return;
        stopping_ = true;
        pause_.cancel();
    });
    asio::co_spawn(io_, serve(), [&](std::exception_ptr failure, int code) {
        if (failure) complain(failure);
        exitCode = failure ? 1 : code;
        signals.cancel();
    });
    // Returns once the connections still in progress have ended, each within its limits.
    io_.run();
    return exitCode;
}

asio::awaitable<int> RelayProgram::serve() {
    const WakeDispatchPolicy standard = WakeDispatchPolicy::standard();
    auto localWake = std::make_shared<LocalWakeService>(
        io_.get_executor(), nullptr,
        WakeDispatchPolicy(options_.wakePorts, standard.minimumCooldown(), standard.maxDispatchesPerMinute(),
                           standard.sleepProxyProbeTimeout(), options_.allowLoopbackForTesting));
    WakeRelayServer::Options serverOptions;
    serverOptions.bindAddress = options_.listenAddress;
    server_ = std::make_shared<WakeRelayServer>(io_.get_executor(), identity_, store_, std::move(localWake),
                                                kHandshakeTimeout, storeWorker_, std::move(serverOptions));
    server_->start(options_.port);
    std::exception_ptr failure;
    try {
        const std::uint16_t port = co_await server_->waitForListeningPort(kStartTimeout);
        say("Wake relay listening on port " + std::to_string(port) + "; fingerprint " +
            identity_->publicIdentity(identity_->loadOrCreateRecord()).fingerprint.groupedHexString());
        if (options_.invite) co_await invite(port);
        while (!stopping_) {
            pause_.expires_after(kListenerCheckInterval);
            std::error_code woken;
            co_await pause_.async_wait(asio::redirect_error(asio::use_awaitable, woken));
            if (stopping_) break;
            std::exception_ptr lost;
            try {
                co_await server_->waitForListeningPort(kCheckTimeout);
            } catch (const PairingProtocolError&) {
                lost = std::current_exception();
            }
            if (lost) throw Error(kListenerFailedText);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    server_->stop();
    if (failure) std::rethrow_exception(failure);
    co_return 0;
}

asio::awaitable<void> RelayProgram::invite(std::uint16_t port) {
    const RelayInvitationOptions& asked = *options_.invite;
    const Date now = Date::now();
    if (std::optional<WakeRelayTargetRecord> target = invitationTarget(now)) {
        auto save = [store = store_, target = std::move(*target)] { store->upsertTarget(target); };
        co_await callOnWorker(storeWorker_, std::move(save));
    }
    RemoteEndpoint endpoint = invitationEndpoint(port, now);
    auto issue = [store = store_, endpoint = std::move(endpoint),
                  relay = identity_->publicIdentity(identity_->loadOrCreateRecord()), mac = asked.macID, now,
                  lifetime = asked.lifetimeSeconds] {
        return store->issuePairingTicket(endpoint, relay, mac, now, lifetime);
    };
    const WakeRelayPairingInvitation invitation = co_await callOnWorker(storeWorker_, std::move(issue));
    // The one place a ticket's secret is shown.
    say(invitation.encodedString());
}

} // namespace velorinth
