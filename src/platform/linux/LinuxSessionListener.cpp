#include "platform/linux/LinuxSessionListener.hpp"

#include "platform/ConnectionRateLimiter.hpp"
#include "platform/SessionSocket.hpp"
#include "platform/linux/AvahiServicePublisher.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <openssl/ssl.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <map>

namespace velorinth {

namespace {

using tcp = asio::ip::tcp;

// Accept failures that concern one connection or a passing shortage, not the
// listening socket: ours (out of descriptors or memory, the peer gave up), and
// the network errors Linux passes on from the new connection (accept(2)).
bool isTransientAcceptError(const std::error_code& error) {
    if (error.category() != std::system_category()) return false;
    switch (error.value()) {
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EINTR:
    case EAGAIN:
    case EPERM: // a firewall refused this one connection
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETDOWN:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// Errors that mean "no IPv6 here" rather than a problem with the port.
bool meansNoIPv6(const std::error_code& error) {
    return error == std::errc::address_family_not_supported || error == std::errc::address_not_available ||
           error == std::errc::protocol_not_supported;
}

// What a socket that has not spoken yet holds once it reads as ready: its
// first bytes, its peer's end, or nothing after all (a readiness report may
// announce nothing, and a connection closed for it would be a tablet's lost).
enum class FirstRead { bytes, ended, nothing };

FirstRead peekFirst(tcp::socket& socket) noexcept {
    std::uint8_t byte = 0;
    const ssize_t count = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (count > 0) return FirstRead::bytes;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return FirstRead::nothing;
    return FirstRead::ended;
}

// Descriptors the rest of a process may hold beside a listener's places.
constexpr rlim_t kDescriptorsBesidePlaces = 1024;

// Every place may hold a socket. A desktop session starts programs with a
// soft limit of 1,024 descriptors, fewer than a flood can make a budget's
// places hold, under a hard limit far above: raise the soft one toward what
// the places need (never lower it), or an accept that fails for want of
// descriptors would stall admission and the process's own files with it.
void allowDescriptorsFor(const HandshakeBudget& budget) noexcept {
    const rlim_t wanted = budget.options.capacity + budget.options.openingCapacity + kDescriptorsBesidePlaces;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(limit.rlim_max, wanted);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

class LinuxSessionListener::Core : public std::enable_shared_from_this<Core> {
public:
    Core(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity, Options options,
         Handlers handlers)
        : executor_(executor),
          tls_(TLSTransportSecurity::makeContext(TLSRole::server, identity, options.applicationProtocol)),
          options_(std::move(options)), handlers_(std::move(handlers)), acceptor_(executor),
          retryTimer_(executor) {
        if (!options_.handshakeBudget) {
            options_.handshakeBudget = std::make_shared<HandshakeBudget>(options_.admission.places);
        }
        const ListenerAdmission& admission = options_.admission;
        if (admission.connectionRate > 0) rate_.emplace(admission.connectionRate, admission.connectionBurst);
    }

    std::error_code start();
    void stop();
    void silence();
    std::optional<std::uint16_t> port() const { return port_; }

private:
    enum class Phase { idle, listening, failed, stopped };

    std::error_code bindAndListen();
    asio::awaitable<void> acceptLoop(std::shared_ptr<Core> self);
    asio::awaitable<void> handshake(std::shared_ptr<Core> self, tcp::socket socket, HandshakeSlot slot);
    bool acceptable(Stream& stream) const;
    HandshakeProof proof(Stream& stream) const;
    std::optional<HandshakeSlot> admit(const tcp::socket& socket);
    void fail(std::error_code error);
    void closeAcceptor();
    void shutDown();

    // Runs `event` on the loop unless the listener was destroyed unstopped.
    template <class Event>
    void deliver(Event event) {
        asio::post(executor_, [self = shared_from_this(), event = std::move(event)]() mutable {
            if (!self->silenced_) event(*self);
        });
    }

    asio::any_io_executor executor_;
    std::shared_ptr<asio::ssl::context> tls_;
    Options options_;
    Handlers handlers_;
    tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    std::unique_ptr<AvahiServicePublisher> publisher_;
    std::optional<ConnectionRateLimiter> rate_;

    Phase phase_ = Phase::idle;
    bool silenced_ = false;
    std::optional<std::uint16_t> port_;
    std::uint64_t nextHandshake_ = 0;
    std::map<std::uint64_t, tcp::socket*> handshakes_; // in progress, closed by stop
};

std::error_code LinuxSessionListener::Core::start() {
    if (phase_ != Phase::idle) return {};
    allowDescriptorsFor(*options_.handshakeBudget);
    if (const std::error_code error = bindAndListen()) {
        fail(error);
        return error;
    }
    phase_ = Phase::listening;
    std::error_code ignored;
    port_ = acceptor_.local_endpoint(ignored).port();
    deliver([port = *port_](Core& core) {
        if (core.handlers_.onReady) core.handlers_.onReady(port);
    });
    asio::co_spawn(executor_, acceptLoop(shared_from_this()), asio::detached);

    if (options_.advertisement) {
        std::weak_ptr<Core> weak = shared_from_this();
        // Only a listener that still listens speaks of its publication.
        auto listening = [weak]() -> std::shared_ptr<Core> {
            auto core = weak.lock();
            return core && !core->silenced_ && core->phase_ == Phase::listening ? core : nullptr;
        };
        publisher_ = std::make_unique<AvahiServicePublisher>(
            executor_, *options_.advertisement, *port_,
            [listening](const ListenerPublicationError& error) {
                const auto core = listening();
                if (core && core->handlers_.onPublicationError) core->handlers_.onPublicationError(error);
            },
            [listening] {
                const auto core = listening();
                if (core && core->handlers_.onPublished) core->handlers_.onPublished();
            });
    }
    return {};
}

std::error_code LinuxSessionListener::Core::bindAndListen() {
    std::error_code error;
    if (options_.bindAddress) {
        const tcp::endpoint endpoint(*options_.bindAddress, options_.port);
        acceptor_.open(endpoint.protocol(), error);
        if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error) acceptor_.bind(endpoint, error);
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error) closeAcceptor();
        return error;
    }
    for (const tcp protocol : {tcp::v6(), tcp::v4()}) {
        const bool ipv6 = protocol == tcp::v6();
        acceptor_.open(protocol, error);
        // Dual stack, so IPv4 peers reach the IPv6 socket; without it, fall back to IPv4.
        if (!error && ipv6) acceptor_.set_option(asio::ip::v6_only(false), error);
        if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error) acceptor_.bind(tcp::endpoint(protocol, options_.port), error);
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (!error) return {};
        closeAcceptor();
        if (!(ipv6 && (meansNoIPv6(error) || error == std::errc::invalid_argument))) return error;
    }
    return error;
}

void LinuxSessionListener::Core::fail(std::error_code error) {
    phase_ = Phase::failed;
    port_.reset();
    closeAcceptor();
    publisher_.reset();
    deliver([error](Core& core) {
        if (core.handlers_.onFailed) core.handlers_.onFailed(error);
    });
}

void LinuxSessionListener::Core::closeAcceptor() {
    std::error_code ignored;
    acceptor_.close(ignored);
}

void LinuxSessionListener::Core::stop() {
    if (phase_ == Phase::stopped) return;
    shutDown();
    // Posted before the destructor can silence anything, and holding the
    // handler itself, so it arrives even when the listener is gone by then.
    asio::post(executor_, [onCancelled = handlers_.onCancelled] {
        if (onCancelled) onCancelled();
    });
}

void LinuxSessionListener::Core::silence() {
    if (phase_ == Phase::stopped) return;
    silenced_ = true;
    shutDown();
}

void LinuxSessionListener::Core::shutDown() {
    phase_ = Phase::stopped;
    port_.reset();
    closeAcceptor();
    retryTimer_.cancel();
    for (auto& [id, socket] : handshakes_) {
        std::error_code ignored;
        socket->close(ignored);
    }
    publisher_.reset();
}

asio::awaitable<void> LinuxSessionListener::Core::acceptLoop(std::shared_ptr<Core> self) {
    while (phase_ == Phase::listening) {
        std::error_code error;
        tcp::socket socket = co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, error));
        if (phase_ != Phase::listening) co_return;
        if (error) {
            if (!isTransientAcceptError(error)) {
                fail(error);
                co_return;
            }
            retryTimer_.expires_after(options_.acceptRetryDelay);
            std::error_code ignored;
            co_await retryTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            continue;
        }
        std::optional<HandshakeSlot> slot = admit(socket);
        if (!slot) {
            // Over the budget or the address's limits: closed before any TLS work, silently.
            std::error_code ignored;
            socket.close(ignored);
            continue;
        }
        configureSessionSocket(socket, options_.socket);
        asio::co_spawn(executor_, handshake(self, std::move(socket), std::move(*slot)), asio::detached);
    }
}

std::optional<HandshakeSlot> LinuxSessionListener::Core::admit(const tcp::socket& socket) {
    std::error_code error;
    const tcp::endpoint remote = socket.remote_endpoint(error);
    if (error) return std::nullopt; // gone already
    // Both count the source (an IPv4 address or an IPv6 /64), not the exact address.
    if (rate_ && !rate_->admit(remote.address())) return std::nullopt;
    HandshakeBudget& budget = *options_.handshakeBudget;
    if (!options_.admission.evictsWaitingHandshakes) return budget.tryAcquire(remote.address());
    // A tablet sends its ClientHello right behind its ACK, so it is often
    // here already: then it outranks every connection that has sent nothing.
    const bool spoke = socket.available(error) > 0 && !error;
    return budget.acquireEvicting(remote.address(), spoke ? HandshakeProof::firstByte : HandshakeProof::accepted);
}

// The unnamed first parameter keeps the listener's state alive while this runs.
asio::awaitable<void> LinuxSessionListener::Core::handshake(std::shared_ptr<Core>, tcp::socket socket,
                                                           HandshakeSlot slot) {
    using namespace asio::experimental::awaitable_operators;
    const std::uint64_t id = nextHandshake_++;
    handshakes_.emplace(id, &socket);
    // The TLS handshake waits for the peer: a newer connection may take its place.
    slot.waitForPeer([weak = weak_from_this(), id] {
        auto core = weak.lock();
        if (!core) return;
        if (auto found = core->handshakes_.find(id); found != core->handshakes_.end()) {
            std::error_code ignored;
            found->second->close(ignored);
        }
    });

    std::unique_ptr<Stream> stream;
    bool finished = false;
    try {
        std::error_code error;
        asio::steady_timer deadline(executor_, options_.handshakeTimeout);
        // A connection that has sent nothing costs a socket, not a TLS engine,
        // and one whose peer left without a word nothing more. Neither wait
        // throws (their errors are redirected), so `||` ends with whichever
        // side completes first and cancels the other.
        FirstRead shown = FirstRead::nothing;
        while (shown == FirstRead::nothing) {
            const auto arrived = co_await (socket.async_wait(tcp::socket::wait_read,
                                                             asio::redirect_error(asio::use_awaitable, error)) ||
                                           deadline.async_wait(asio::use_awaitable));
            if (arrived.index() != 0 || error || !socket.is_open()) break;
            shown = peekFirst(socket);
        }
        // Its first byte ranks it above every connection that has sent nothing.
        if (shown == FirstRead::bytes && slot.prove(HandshakeProof::firstByte)) {
            stream = std::make_unique<Stream>(std::move(socket), *tls_);
            handshakes_[id] = &stream->next_layer();
            const auto first =
                co_await (stream->async_handshake(Stream::server, asio::redirect_error(asio::use_awaitable, error)) ||
                          deadline.async_wait(asio::use_awaitable));
            finished = first.index() == 0 && !error;
        }
    } catch (...) {
        finished = false;
    }
    handshakes_.erase(id);
    // Still the peer's turn (its first message): the new owner installs its own eviction.
    slot.waitForPeer(nullptr);

    if (!finished || phase_ != Phase::listening || silenced_ || !acceptable(*stream) || !slot.prove(proof(*stream))) {
        std::error_code ignored;
        if (stream) {
            stream->lowest_layer().close(ignored);
        } else {
            socket.close(ignored);
        }
        co_return;
    }
    if (handlers_.onConnection) {
        handlers_.onConnection(std::move(*stream), std::move(slot));
    } else {
        std::error_code ignored;
        stream->lowest_layer().close(ignored);
    }
}

HandshakeProof LinuxSessionListener::Core::proof(Stream& stream) const {
    if (!options_.isPairedPeer) return HandshakeProof::unknownCertificate;
    try {
        const TLSChannelContext context = TLSTransportSecurity::captureChannelContext(stream.native_handle());
        if (options_.isPairedPeer(context)) return HandshakeProof::pairedCertificate;
    } catch (const std::exception&) {
    }
    return HandshakeProof::unknownCertificate;
}

// The context already refuses anything but TLS 1.3 with a verified client
// certificate and a foreign protocol; a client that offered no protocol at
// all still completes, and is refused here.
bool LinuxSessionListener::Core::acceptable(Stream& stream) const {
    SSL* ssl = stream.native_handle();
    return SSL_version(ssl) == TLS1_3_VERSION && SSL_get0_peer_certificate(ssl) != nullptr &&
           TLSTransportSecurity::hasNegotiatedApplicationProtocol(ssl);
}

LinuxSessionListener::LinuxSessionListener(const asio::any_io_executor& executor, const TLSDeviceIdentity& identity,
                                           Options options, Handlers handlers)
    : core_(std::make_shared<Core>(executor, identity, std::move(options), std::move(handlers))) {}

LinuxSessionListener::~LinuxSessionListener() {
    try {
        core_->silence();
    } catch (...) {
    }
}

std::error_code LinuxSessionListener::start() { return core_->start(); }
void LinuxSessionListener::stop() { core_->stop(); }
std::optional<std::uint16_t> LinuxSessionListener::port() const { return core_->port(); }

} // namespace velorinth
