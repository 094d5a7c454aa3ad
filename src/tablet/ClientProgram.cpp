#include "tablet/ClientProgram.hpp"

#include "core/Cancellation.hpp"
#include "core/Constants.hpp"
#include "core/Date.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/RemoteEndpointValidator.hpp"
#include "core/Text.hpp"
#include "core/WorkerCall.hpp"
#include "platform/StateFolder.hpp"
#include "platform/SystemHostnameResolver.hpp"
#include "platform/linux/FileSecureStore.hpp"
#include "tablet/DecodedFrameSink.hpp"
#include "tablet/PngPictureWriter.hpp"
#include "tablet/StandardInputLine.hpp"
#include "transport/client/ClientSessionConnector.hpp"
#include "transport/client/RemoteConnectionService.hpp"
#include "transport/relay/WakeRelayClient.hpp"
#include "transport/relay/WakeRelayPairingInvitation.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/TrustedDeviceStore.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace velorinth {

namespace {

using namespace std::chrono_literals;

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Velorinth Client";
    return name;
}

std::string permissionsText(DevicePermissions permissions) {
    std::vector<std::string> names;
    if (permissions.contains(DevicePermissions::connect)) names.emplace_back("connect");
    if (permissions.contains(DevicePermissions::screenView)) names.emplace_back("screen view");
    if (permissions.contains(DevicePermissions::remoteControl)) names.emplace_back("remote control");
    if (names.empty()) return "none";
    std::string text = names[0];
    for (std::size_t i = 1; i < names.size(); ++i) text += ", " + names[i];
    return text;
}

} // namespace

ClientProgram::ClientProgram(ClientOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {}

ClientProgram::~ClientProgram() {
    // The workers finish their writes before the stores go.
    kdfWorker_.join();
    storeWorker_.join();
}

std::filesystem::path ClientProgram::storeRoot(const std::optional<std::filesystem::path>& stateDirectory) {
    if (stateDirectory) return *stateDirectory / "secure-store";
    std::filesystem::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        data = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        data = std::filesystem::path(home) / ".local" / "share";
    } else {
        throw UsageError("No home directory is known: give --state-dir.");
    }
    // Never the host's own folder: a program on the same machine would take
    // the host's identity and trust records for its own.
    return data / "velorinth-client" / "secure-store";
}

// Both streams carry what a Mac or a relay chose (names, reasons): nothing
// it sends may move the cursor or rewrite the lines before it, the
// verification code among them.
void ClientProgram::say(const std::string& line) { out_ << terminalSafe(line) << std::endl; }

void ClientProgram::complain(const std::string& line) { err_ << terminalSafe(line) << std::endl; }

int ClientProgram::run() {
    int exitCode = 1;
    std::filesystem::path root;
    try {
        root = storeRoot(options_.stateDirectory);
    } catch (const UsageError& error) {
        complain(error.what());
        return 2;
    }

    asio::cancellation_signal cancel;
    asio::signal_set signals(io_, SIGINT, SIGTERM);
    signals.async_wait([this, &cancel](const asio::error_code& error, int) {
        if (error) return;
        interrupted_ = true;
        if (onInterrupt_) onInterrupt_();
        cancel.emit(asio::cancellation_type::terminal);
    });
    asio::co_spawn(io_, runCommand(root),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr failure, int code) {
                       exitCode = failure ? 1 : code;
                       signals.cancel();
                   }));
    io_.run();
    finishedSinks_.clear(); // their decode threads are joined here, off the loop
    return exitCode;
}

asio::awaitable<int> ClientProgram::runCommand(std::filesystem::path root) {
    std::exception_ptr failure;
    try {
        co_await holdStateFolder(root);
        // A store that cannot be read fails every command before anything else happens.
        trust_->loadIfNeeded();
        // A picture that could not be saved would cost a whole connection first.
        if (options_.savePath) PngPictureWriter::checkDestination(*options_.savePath);
        switch (options_.command) {
        case ClientOptions::Command::pair: co_await pair(); break;
        case ClientOptions::Command::list: co_await list(); break;
        case ClientOptions::Command::connect: co_await connect(); break;
        case ClientOptions::Command::wake: co_await wake(); break;
        case ClientOptions::Command::relayPair: co_await relayPair(); break;
        }
        co_return 0;
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError& error) {
        complain(error.what());
        co_return 2;
    } catch (const RemoteEndpointValidationError& error) {
        complain(error.what());
        if (error.kind == RemoteEndpointValidationError::Case::loopbackAddressNotAllowed &&
            !options_.allowLoopbackForTesting) {
            complain(std::string(kLoopbackHintText));
        }
        co_return 1;
    } catch (...) {
    }
    // Until the folder is held, the only step a signal can end is the wait for it.
    const char* interruptedText = folder_ ? kCancelledText : kStoppedWaitingText;
    complain(interrupted_ ? std::string(interruptedText) : describeError(failure));
    co_return 1;
}

asio::awaitable<void> ClientProgram::holdStateFolder(const std::filesystem::path& root) {
    const std::filesystem::path path = root.parent_path();
    // Checked once, before anything is read or made: only the user's own state is waited for.
    auto folder = std::make_shared<StateFolder>(StateFolder::openOrMake(path));
    auto store = std::make_shared<FileSecureStore>(folder, root.filename().string());
    store->check();
    if (!folder->tryLock()) {
        complain("Another velorinth-client command is using " + path.string() + "; waiting for it to finish.");
        asio::steady_timer pause(io_);
        // A signal ends the wait like any other step.
        do {
            pause.expires_after(kStateFolderPoll);
            co_await pause.async_wait(asio::use_awaitable);
        } while (!folder->tryLock());
    }
    folder_ = std::move(folder);
    identity_ = std::make_shared<DeviceIdentityService>(store, hostName);
    trust_ = std::make_shared<TrustedDeviceStore>(store);
}

TrustedDevice ClientProgram::chosenMac() {
    const std::vector<TrustedDevice> paired = trust_->allDevices();
    if (options_.macID) {
        const auto found = std::find_if(paired.begin(), paired.end(),
                                        [&](const TrustedDevice& mac) { return mac.id == *options_.macID; });
        if (found == paired.end()) throw UsageError("No paired Mac has the identifier " + options_.macID->uuidString() + ".");
        return *found;
    }
    if (paired.empty()) throw UsageError("No Mac is paired yet: pair one first.");
    if (paired.size() > 1) throw UsageError("Several Macs are paired: name one by its identifier (see list).");
    return paired.front();
}

asio::awaitable<void> ClientProgram::list() {
    const std::vector<TrustedDevice> paired = trust_->allDevices();
    if (paired.empty()) say("No paired Macs.");
    for (const TrustedDevice& mac : paired) {
        say(mac.id.uuidString() + "  " + mac.identity.displayName);
        say("  fingerprint: " + mac.identity.fingerprint.shortDisplayText());
        say("  permissions: " + permissionsText(mac.permissions) +
            (mac.authorization == DeviceAuthorization::revoked ? " (revoked)" : ""));
        std::string endpoints;
        for (const RemoteEndpoint& endpoint : mac.remoteEndpoints) {
            endpoints += (endpoints.empty() ? "" : ", ") + endpoint.displayAddress();
        }
        say("  endpoints: " + (endpoints.empty() ? std::string("none") : endpoints));
        say(std::string("  wake configuration: ") + (mac.wakeConfiguration ? "saved" : "none"));
        say(std::string("  wake relay: ") + (mac.wakeRelayConfiguration ? "saved" : "none"));
    }
    co_return;
}

asio::awaitable<void> ClientProgram::pair() {
    const RemoteEndpoint endpoint =
        RemoteEndpoint::validating(options_.pairTarget, VelorinthService::defaultPort,
                                   RemoteTransportKind::privateNetwork, std::nullopt, Uuid::random(), Date::now(),
                                   options_.allowLoopbackForTesting);
    say("Pairing with " + endpoint.displayAddress() + ".");
    // A name resolves first, within its own limit, as for connect: one that
    // never resolves is said to be so, not a handshake that timed out.
    co_await RemoteConnectionService::resolveAddresses(std::make_shared<SystemHostnameResolver>(), endpoint,
                                                       kStepTimeout, options_.allowLoopbackForTesting);
    ClientSessionConnector connector(io_.get_executor(), kdfWorker_, storeWorker_, {10s, 90s, 5s});
    ClientSessionConnector::Request request;
    request.endpoint = {endpoint.host, endpoint.port};
    request.identityService = identity_;
    request.trustedDeviceStore = trust_;
    request.purpose = HandshakePurpose::pair;
    request.protocolVersion = 1;
    request.capabilities = {Capability::h264, Capability::pointer, Capability::keyboard};
    request.confirmVerificationCode = [this](const PairingVerification& verification) -> asio::awaitable<bool> {
        say("Verification code: " + verification.verificationCode);
        say("Type y and Return if your Mac shows the same code.");
        const std::optional<std::string> answer = co_await StandardInputLine::read();
        co_return answer && (*answer == "y" || *answer == "Y");
    };
    const std::shared_ptr<AuthenticatedClientSession> session = co_await connector.connect(std::move(request));
    const DevicePublicIdentity mac = session->currentDescriptor().peerIdentity;

    // One write adds the address, so connect and wake find the Mac.
    std::exception_ptr failure;
    try {
        std::optional<TrustedDevice> record = trust_->device(mac.id);
        const bool saved = record && std::any_of(record->remoteEndpoints.begin(), record->remoteEndpoints.end(),
                                                 [&](const RemoteEndpoint& known) {
                                                     return known.host == endpoint.host && known.port == endpoint.port;
                                                 });
        if (record && !saved) {
            record->remoteEndpoints.push_back(endpoint);
            auto write = [trust = trust_, updated = *record] { trust->trust(updated); };
            co_await callOnWorker(storeWorker_, std::move(write));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    std::string reason = kDisconnectReason;
    co_await session->disconnect(std::move(reason));
    if (failure) std::rethrow_exception(failure);
    say("Paired with " + mac.displayName + " (" + mac.id.uuidString() + ").");
}

asio::awaitable<void> ClientProgram::relayPair() {
    // A text cut short fails here, before anything is sent or written.
    const WakeRelayPairingInvitation invitation =
        WakeRelayPairingInvitation::fromEncodedString(options_.relayInvitation, options_.allowLoopbackForTesting);
    const TrustedDevice mac = chosenMac();
    say("Pairing with the wake relay at " + invitation.endpoint.displayAddress() + " for " +
        mac.identity.displayName + ".");
    const auto client = std::make_shared<WakeRelayClient>(io_.get_executor(), identity_,
                                                          std::make_shared<SystemHostnameResolver>(),
                                                          options_.allowLoopbackForTesting);
    const PairedWakeRelayConfiguration configuration = co_await client->pair(invitation, mac.id, 10s);
    auto write = [trust = trust_, id = mac.id, configuration, loopback = options_.allowLoopbackForTesting] {
        trust->setWakeRelayConfiguration(id, configuration, loopback);
    };
    co_await callOnWorker(storeWorker_, std::move(write));
    say("Paired with wake relay " + configuration.relayIdentity.fingerprint.shortDisplayText() + " at " +
        configuration.endpoint.displayAddress() + ".");
}

} // namespace velorinth
