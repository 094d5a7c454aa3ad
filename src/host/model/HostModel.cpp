#include "host/model/HostModel.hpp"

#include "core/Constants.hpp"
#include "core/KeepAlive.hpp"
#include "core/Text.hpp"
#include "core/WakeModels.hpp"
#include "host/capture/ScreenCaptureService.hpp"
#include "platform/tls/TLSSecurityError.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/PairingAttemptLimiter.hpp"
#include "transport/security/PairingProtocolError.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <exception>
#include <cstdio>
#include <cstring>

namespace velorinth {

namespace {

asio::awaitable<void> steadyTimerSleep(std::chrono::steady_clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

constexpr std::array<std::string_view, 5> kSectionTitles{"Status", "Active Sessions", "Paired Devices",
                                                         "Wake Readiness", "Security"};

} // namespace

// ---- construction -------------------------------------------------------------

HostModel::HostModel(std::shared_ptr<DeviceIdentityService> identityService,
                     std::shared_ptr<TrustedDeviceStore> trustedDeviceStore, HostModelEnvironment environment)
    : HostModel(identityService, trustedDeviceStore, environment,
                makeServices(environment, identityService, trustedDeviceStore)) {}

HostServices HostModel::makeServices(const HostModelEnvironment& environment,
                                     std::shared_ptr<DeviceIdentityService> identityService,
                                     std::shared_ptr<TrustedDeviceStore> trustedDeviceStore) {
    HostServiceRequest request;
    request.identityService = std::move(identityService);
    request.trustedDeviceStore = std::move(trustedDeviceStore);
    request.displayNameProvider = [computerName = environment.platform.computerName] {
        return hostDisplayName(*computerName);
    };
    return environment.serviceFactory(request);
}

HostModel::HostModel(std::shared_ptr<DeviceIdentityService>, std::shared_ptr<TrustedDeviceStore> trustedDeviceStore,
                     HostModelEnvironment environment, HostServices services)
    : platform(std::move(environment.platform)), captureService(std::move(services.captureService)),
      videoPipeline(std::make_shared<VideoPipeline>(std::move(services.encoderFactory), environment.mainExecutor)),
      inputInjector(std::move(services.inputInjector)), wakeReadinessService(std::move(services.wakeReadinessService)),
      bleAdvertiser(std::move(services.bleAdvertiser)), identityService(std::move(services.identityService)),
      trustedDeviceStore(std::move(trustedDeviceStore)), sessionServer(std::move(services.sessionServer)),
      backoffPolicy(ListenerRestartPlan::policy), mainExecutor_(environment.mainExecutor),
      sleep_(environment.sleep ? std::move(environment.sleep) : SleepFunction(&steadyTimerSleep)),
      clock_(std::move(environment.clock)), broadcastsOnMainExecutor_(environment.broadcastsOnMainExecutor),
      listenerChain_(mainExecutor_), permissionChain_(mainExecutor_) {
    screenRecordingGranted.set(platform.screenRecording->preflight());
    accessibilityGranted.set(platform.accessibility->isTrusted());
    preferredListenerPort.set(preferredPortFromStoredValue(platform.preferences->integer(preferredPortKey())));
}

CapabilitySet HostModel::hostCapabilities() { return {Capability::h264, Capability::pointer, Capability::keyboard}; }

std::string HostModel::preferredPortKey() { return applicationIdentifier(".host.preferredPort"); }

std::string_view HostModel::rawValue(Section section) { return kSectionTitles[static_cast<std::size_t>(section)]; }

std::optional<HostModel::Section> HostModel::sectionFromRawValue(std::string_view rawValue) {
    for (const Section section : allSections) {
        if (HostModel::rawValue(section) == rawValue) return section;
    }
    return std::nullopt;
}

void HostModel::spawn(asio::awaitable<void> operation) {
    // A task begins once its starter has returned, as the views expect of one.
    auto later = [](asio::awaitable<void> operation) -> asio::awaitable<void> {
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        co_await std::move(operation);
    };
    asio::co_spawn(mainExecutor_, later(std::move(operation)), [](std::exception_ptr failure) {
        if (!failure) return;
        // Operations catch their own failures into networkError: one that
        // escaped is a fault.
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "velorinth: a host model task failed: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "velorinth: a host model task failed\n");
        }
#ifndef NDEBUG
        std::terminate();
#endif
    });
}

asio::awaitable<bool> HostModel::succeeds(asio::awaitable<void> step) {
    std::exception_ptr failure;
    try {
        co_await std::move(step);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) networkError.set(userFacingMessage(failure));
    co_return !failure;
}

void HostModel::spawnHoldingWeakly(std::function<asio::awaitable<void>(HostModel&)> body) {
    auto task = [](std::weak_ptr<HostModel> weak,
                   std::function<asio::awaitable<void>(HostModel&)> body) -> asio::awaitable<void> {
        if (const std::shared_ptr<HostModel> self = weak.lock()) co_await body(*self);
    };
    spawn(task(weak_from_this(), std::move(body)));
}

// ---- helpers ------------------------------------------------------------------

std::string HostModel::hostDisplayName(ComputerName& computerName) {
    if (auto name = computerName.computerName(); name && !trimmedWhitespace(*name).empty()) return *name;
    if (auto name = computerName.localizedHostName(); name && !trimmedWhitespace(*name).empty()) return *name;
    return "Mac";
}

std::vector<std::string>
HostModel::detectPrivateTunnelAddresses(const std::optional<std::vector<InterfaceAddress>>& interfaceAddresses) {
    static constexpr std::array<std::string_view, 7> kTunnelPrefixes{"utun", "ipsec", "ppp", "tun",
                                                                     "wg",   "tailscale", "zt"};
    std::vector<std::string> found;
    if (!interfaceAddresses) return found;
    for (const InterfaceAddress& entry : *interfaceAddresses) {
        const bool tunnel = std::any_of(kTunnelPrefixes.begin(), kTunnelPrefixes.end(),
                                        [&](std::string_view prefix) { return entry.name.starts_with(prefix); });
        if (!tunnel || (entry.flags & IFF_UP) == 0 || (entry.flags & IFF_LOOPBACK) != 0) continue;
        if (entry.family != InterfaceAddressFamily::inet || entry.address.size() != 4) continue;
        in_addr raw{};
        std::memcpy(&raw, entry.address.data(), 4);
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) continue;
        std::uint32_t value = 0;
        try {
            value = LocalIPv4Validator::parse(text);
        } catch (const std::exception&) {
            continue;
        }
        const std::uint32_t first = value >> 24, second = (value >> 16) & 0xFF;
        const bool carrierGrade = first == 100 && second >= 64 && second <= 127; // 100.64.0.0/10
        if (!LocalIPv4Validator::isLocal(value, false) && !carrierGrade) continue;
        if (std::find(found.begin(), found.end(), text) == found.end()) found.emplace_back(text);
    }
    return found;
}

std::string HostModel::userFacingMessage(const std::exception_ptr& error) {
    using P = PairingProtocolError::Case;
    using N = NetworkConnectionError::Case;
    using T = TrustedDeviceStoreError::Case;
    try {
        std::rethrow_exception(error);
    } catch (const PairingProtocolError& failure) {
        switch (failure.kind) {
        case P::timedOut: return "The pairing or authentication handshake expired. Try again.";
        case P::identityMismatch: return "A connecting device presented an unexpected cryptographic identity and was blocked.";
        case P::invalidCertificateBinding:
            return "A connecting device presented an invalid TLS certificate or mismatched key binding.";
        case P::replayedHandshake: return "A replayed handshake request was detected and blocked.";
        case P::unsupportedProtocol: return "A connecting device uses an incompatible Velorinth protocol version.";
        case P::malformedMessage: return "A malformed network handshake message was rejected.";
        case P::invalidSignature: return "A connecting device failed cryptographic signature verification.";
        default: return failure.what();
        }
    } catch (const TLSSecurityError& failure) {
        if (failure.kind == TLSSecurityError::Case::invalidCertificateBinding) {
            return "A connecting device presented an invalid TLS certificate or mismatched key binding.";
        }
        return failure.what();
    } catch (const NetworkConnectionError& failure) {
        switch (failure.kind) {
        case N::localNetworkPermissionDenied:
            return "Local Network permission is denied. Enable it in System Settings > Privacy & Security > Local "
                   "Network.";
        case N::oversizedFrame: return "An oversized network message was blocked.";
        case N::malformedFrame: return "A malformed network handshake message was rejected.";
        default: return failure.what();
        }
    } catch (const TrustedDeviceStoreError& failure) {
        switch (failure.kind) {
        case T::untrustedDevice: return "An unpaired iPad attempted to reconnect without pairing first.";
        case T::corruptedStore:
            return "Trusted device storage in Keychain is corrupted. Reset Identity & Trust to recover.";
        case T::revokedDevice: return "A revoked iPad attempted to connect and was rejected.";
        default: return failure.what();
        }
    } catch (const DeviceIdentityServiceError&) {
        return "Local host identity in Keychain is corrupted. Reset Identity & Trust to recover.";
    } catch (const PairingAttemptLimitError&) {
        return "Too many pairing attempts were received. Pairing is temporarily throttled for 60 seconds.";
    } catch (const SessionHandshakeError& failure) {
        if (failure.kind == SessionHandshakeError::Case::pairingBusyOnHost) {
            return "Another pairing request arrived while a pairing prompt was already open.";
        }
        return failure.what();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

std::optional<std::string> HostModel::serverErrorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const NetworkConnectionError& failure) {
        if (failure.kind == NetworkConnectionError::Case::closed ||
            failure.kind == NetworkConnectionError::Case::cancelled) {
            return std::nullopt;
        }
    } catch (const PairingProtocolError& failure) {
        if (failure.kind == PairingProtocolError::Case::cancelled) return std::nullopt;
    } catch (...) {
    }
    return userFacingMessage(error);
}

std::uint16_t HostModel::preferredPortFromStoredValue(std::optional<std::int64_t> stored) {
    const std::int64_t value = stored.value_or(0);
    // One unsigned comparison: 1024 ... 65535 and nothing else.
    if (((static_cast<std::uint64_t>(value) - 1024u) >> 10) < 63u) return static_cast<std::uint16_t>(value);
    return VelorinthService::defaultPort;
}

DisplayDescriptor HostModel::hostDisplayDescriptor() { return platform.display->mainDisplay(); }

bool HostModel::openEnergySettings() { return platform.energySettings->open(); }

void HostModel::copyAddressToPasteboard(const std::string& address) {
    if (!platform.pasteboard) return;
    const ListenerStatus& status = listenerStatus.get();
    const bool advertised = status.kind() == ListenerStatus::Case::advertising && status.port() != 0;
    const std::string port = std::to_string(advertised ? status.port() : preferredListenerPort.get());
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    platform.pasteboard->clearContents();
    platform.pasteboard->setString(host + ":" + port);
}

void HostModel::copyFingerprintToPasteboard() {
    if (!hostIdentity.get() || !platform.pasteboard) return;
    platform.pasteboard->clearContents();
    platform.pasteboard->setString(hostIdentity.get()->fingerprint.groupedHexString());
}

void HostModel::copyIdentifierToPasteboard() {
    if (!hostIdentity.get() || !platform.pasteboard) return;
    platform.pasteboard->clearContents();
    platform.pasteboard->setString(hostIdentity.get()->id.lowercaseString());
}

std::string HostModel::screenRecordingStatusText() const {
    const bool viewing = std::any_of(activeSessionList.get().begin(), activeSessionList.get().end(),
                                     [](const ActiveSessionDescriptor& session) { return session.isVideoStreaming; });
    if (captureState.get().kind == CaptureState::Case::capturing && viewing) {
        std::string text = "Granted \u2014 streaming Mac display";
        const VideoStreamDiagnostics& diagnostics = streamDiagnostics.get();
        if (diagnostics.videoWidth >= 1) {
            text += " (" + std::to_string(diagnostics.videoWidth) + "\u00D7" + std::to_string(diagnostics.videoHeight) +
                    ")";
        }
        return text;
    }
    if (screenRecordingGranted.get()) return "Granted \u2014 ready for authorized live desktop sessions";
    if (captureState.get().kind == CaptureState::Case::requestingPermission) {
        return "Checking Screen Recording permission\u2026";
    }
    return "Screen Recording permission required to share Mac display";
}

std::int64_t HostModel::streamingSessionCount() const {
    return std::count_if(activeSessionList.get().begin(), activeSessionList.get().end(),
                         [](const ActiveSessionDescriptor& session) { return session.isVideoStreaming; });
}

std::uint64_t HostModel::droppedStreamFrames() const { return videoPipeline->droppedFrames(); }

void HostModel::refreshAddresses() {
    detectedPrivateTunnelAddresses.set(detectPrivateTunnelAddresses(platform.interfaceAddresses()));
    bleAdvertiser->updateNetworkInfo(platform.localIPv4Addresses(), std::nullopt);
}

asio::awaitable<void> HostModel::refreshWakeSnapshot() { return keepAlive(shared_from_this(), refreshWakeSnapshotBody()); }

asio::awaitable<void> HostModel::refreshWakeSnapshotBody() {
    const ListenerStatus& status = listenerStatus.get();
    std::optional<std::uint16_t> port;
    if (status.kind() == ListenerStatus::Case::advertising && status.port() != 0) port = status.port();
    HostWakeDiagnosticsSnapshot snapshot =
        wakeReadinessService->diagnosticsSnapshot(port, remoteAccessEnabled.get(), clock_());
    SavedWakeConfiguration configuration = snapshot.configuration;
    wakeSnapshot.set(std::move(snapshot));
    co_await sessionServer->updateWakeConfiguration(std::move(configuration));
}

} // namespace velorinth
