#include "transport/security/NetworkFramedConnection.hpp"

#include "core/BigEndian.hpp"
#include "core/Cancellation.hpp"
#include "core/KeepAlive.hpp"
#include "core/LoopAssert.hpp"
#include "platform/HostnameLookup.hpp"
#include "platform/SessionSocket.hpp"

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace velorinth {

namespace {

using Case = NetworkConnectionError::Case;
using Kind = ObservedNetworkError::Kind;

constexpr std::size_t kInboxCapacity = 1;

std::string opensslReason(int reason) {
    const char* text = ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, reason));
    return text != nullptr ? text : "TLS failure";
}

// Kind, code and text of an error of the socket or of the TLS layer.
ObservedNetworkError classify(const asio::error_code& error) {
    if (error.category() == asio::error::get_ssl_category()) {
        const auto packed = static_cast<unsigned long>(static_cast<unsigned int>(error.value()));
        const char* reason = ERR_reason_error_string(packed);
        return {Kind::tls, ERR_GET_REASON(packed), reason != nullptr ? reason : error.message()};
    }
    if (error == asio::ssl::error::stream_truncated) {
        return {Kind::tls, SSL_R_UNEXPECTED_EOF_WHILE_READING, opensslReason(SSL_R_UNEXPECTED_EOF_WHILE_READING)};
    }
    if (error.category() == asio::system_category()) return {Kind::posix, error.value(), std::strerror(error.value())};
    return {Kind::posix, 0, error.message()};
}

ObservedNetworkError resolutionFailure(int code) { return {Kind::dns, code, HostnameLookup::addrinfoText(code)}; }

bool isEndOfStream(const asio::error_code& error) {
    return error == asio::error::eof || error == asio::ssl::error::stream_truncated;
}

NetworkConnectionError notConnected() { return NetworkConnectionError::network(std::strerror(ENOTCONN)); }

} // namespace

NetworkFramedConnection::NetworkFramedConnection(Stream stream, std::size_t maximumFrameSize, bool requiresTLS,
                                                 std::shared_ptr<TLSVerificationBox> verificationBox)
    : maximumFrameSize(maximumFrameSize), requiresTLS(requiresTLS), stream_(std::move(stream)),
      verificationBox_(std::move(verificationBox)), role_(TLSRole::server),
      wakeup_(stream_.get_executor()), handshakeDone_(true) {}

NetworkFramedConnection::NetworkFramedConnection(const asio::any_io_executor& executor,
                                                 std::shared_ptr<asio::ssl::context> tls, HostPort endpoint,
                                                 std::size_t maximumFrameSize,
                                                 std::shared_ptr<TLSVerificationBox> verificationBox,
                                                 SessionSocketOptions socketOptions)
    : maximumFrameSize(maximumFrameSize), requiresTLS(true), tls_(std::move(tls)), stream_(executor, *tls_),
      endpoint_(std::move(endpoint)), socketOptions_(socketOptions),
      verificationBox_(std::move(verificationBox)), role_(TLSRole::client), wakeup_(executor) {}

NetworkFramedConnection::~NetworkFramedConnection() = default;

std::shared_ptr<NetworkFramedConnection> NetworkFramedConnection::connect(
    const asio::any_io_executor& executor, HostPort endpoint, const TLSDeviceIdentity& identity,
    std::optional<DeviceFingerprint> pin, std::size_t maximumFrameSize, std::string_view applicationProtocol,
    SessionSocketOptions socketOptions) {
    auto box = std::make_shared<TLSVerificationBox>();
    auto tls = TLSTransportSecurity::makeContext(TLSRole::client, identity, applicationProtocol, std::move(pin), box);
    return std::shared_ptr<NetworkFramedConnection>(
        new NetworkFramedConnection(executor, std::move(tls), std::move(endpoint), maximumFrameSize, std::move(box),
                                    socketOptions));
}

std::uint32_t NetworkFramedConnection::frameLength(std::span<const std::uint8_t, kHeaderSize> header) noexcept {
    return bigendian::load<std::uint32_t>(header);
}

std::array<std::uint8_t, NetworkFramedConnection::kHeaderSize> NetworkFramedConnection::frameHeader(
    std::uint32_t length) noexcept {
    std::array<std::uint8_t, kHeaderSize> header{};
    bigendian::store<std::uint32_t>(header, length);
    return header;
}

std::optional<NetworkConnectionError::Case> NetworkFramedConnection::refusedFrameLength(
    std::size_t length, std::size_t maximumFrameSize) noexcept {
    if (length == 0) return Case::malformedFrame;
    // A length the 4-byte header cannot carry is oversized whatever the maximum.
    if (length > maximumFrameSize || length > 0xFFFF'FFFFu) return Case::oversizedFrame;
    return std::nullopt;
}

// ---- start ----------------------------------------------------------------------------

asio::awaitable<void> NetworkFramedConnection::start() { return keepAlive(shared_from_this(), startBody()); }

asio::awaitable<void> NetworkFramedConnection::startBody() {
    VELORINTH_ASSERT_ON_LOOP(stream_.get_executor());
    if (phase_ == Phase::ready) co_return;
    if (phase_ != Phase::idle || cancelled_) throw NetworkConnectionError(Case::cancelled);
    phase_ = Phase::starting;
    std::exception_ptr failure;
    try {
        co_await mapAsioCancellation<NetworkConnectionError>(establish(), Case::cancelled);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        phase_ = Phase::failed;
        cancel();
        if (verificationBox_) {
            if (auto refused = verificationBox_->failure()) throw TLSSecurityError(*refused);
        }
        std::rethrow_exception(failure);
    }
    phase_ = Phase::ready;
    asio::co_spawn(stream_.get_executor(), readLoop(shared_from_this()), asio::detached);
}

asio::awaitable<void> NetworkFramedConnection::establish() {
    const auto caller = co_await asio::this_coro::cancellation_state;
    if (endpoint_) {
        co_await connectTransport();
        configureSessionSocket(stream_.next_layer(), socketOptions_);
    }

    if (!handshakeDone_) {
        asio::error_code error;
        const auto type = role_ == TLSRole::client ? Stream::client : Stream::server;
        co_await stream_.async_handshake(type, asio::redirect_error(asio::use_awaitable, error));
        if (cancelled_) throw NetworkConnectionError(Case::cancelled);
        if (isCancellation(error, caller)) throw abandon();
        if (error) throw networkFailure(classify(error));
        handshakeDone_ = true;
    }
    // OpenSSL finishes a handshake without ALPN when the client offered none or
    // the server selected none: neither side accepts that.
    if (!TLSTransportSecurity::hasNegotiatedApplicationProtocol(stream_.native_handle())) {
        throw networkFailure(
            {Kind::tls, SSL_R_NO_APPLICATION_PROTOCOL, opensslReason(SSL_R_NO_APPLICATION_PROTOCOL)});
    }
    if (requiresTLS) {
        TLSChannelContext context = TLSTransportSecurity::captureChannelContext(stream_.native_handle());
        std::lock_guard guard(stateLock_);
        capturedTLSContext_ = std::move(context);
    }
}

asio::awaitable<void> NetworkFramedConnection::connectTransport() {
    const auto caller = co_await asio::this_coro::cancellation_state;
    std::vector<asio::ip::tcp::endpoint> candidates = co_await resolve();
    auto& socket = stream_.next_layer();
    std::optional<ObservedNetworkError> last;
    for (const auto& candidate : candidates) {
        asio::error_code error;
        socket.close(error);
        co_await socket.async_connect(candidate, asio::redirect_error(asio::use_awaitable, error));
        if (cancelled_) throw NetworkConnectionError(Case::cancelled);
        if (isCancellation(error, caller)) throw abandon();
        if (!error) co_return;
        last = classify(error);
        observe(*last);
    }
    throw networkFailure(last.value_or(resolutionFailure(EAI_NONAME)));
}

asio::awaitable<std::vector<asio::ip::tcp::endpoint>> NetworkFramedConnection::resolve() {
    asio::error_code notAnAddress;
    const auto address = asio::ip::make_address(endpoint_->host, notAnAddress);
    if (!notAnAddress) co_return std::vector<asio::ip::tcp::endpoint>{{address, endpoint_->port}};

    // A cancellation returns at once; the late answer is dropped.
    auto lookup = std::make_shared<HostnameLookup>(stream_.get_executor(), endpoint_->host,
                                                   std::to_string(endpoint_->port),
                                                   asio::ip::resolver_base::numeric_service);
    lookup_ = lookup;
    const std::optional<HostnameLookup::Answer> answer = co_await lookup->wait();
    if (lookup_ == lookup) lookup_.reset();
    if (cancelled_) throw NetworkConnectionError(Case::cancelled);
    if (!answer) throw abandon();
    if (answer->addrinfoCode != 0) throw networkFailure(resolutionFailure(answer->addrinfoCode));
    if (answer->endpoints.empty()) throw networkFailure(resolutionFailure(EAI_NONAME));
    co_return answer->endpoints;
}

// ---- receiving ------------------------------------------------------------------------

asio::awaitable<void> NetworkFramedConnection::readLoop(std::shared_ptr<NetworkFramedConnection> self) {
    (void)self; // held so the connection outlives its reader
    std::array<std::uint8_t, kHeaderSize> header{};
    for (;;) {
        asio::error_code error;
        co_await asio::async_read(stream_, asio::buffer(header), asio::redirect_error(asio::use_awaitable, error));
        if (error) co_return finishReading(error);
        const std::uint32_t length = frameLength(header);
        if (const auto refused = refusedFrameLength(length, maximumFrameSize)) {
            // The body is never read: the stream is out of step from here on.
            if (!cancelled_) readFailure_ = NetworkConnectionError(*refused);
            wakeup_.notifyAll();
            co_return;
        }
        Bytes body(length);
        co_await asio::async_read(stream_, asio::buffer(body), asio::redirect_error(asio::use_awaitable, error));
        if (error) co_return finishReading(error);
        while (inbox_.size() >= kInboxCapacity && !cancelled_) co_await wakeup_.wait();
        if (cancelled_) co_return;
        inbox_.push_back(std::move(body));
        wakeup_.notifyAll();
    }
}

void NetworkFramedConnection::finishReading(const asio::error_code& error) {
    if (cancelled_) return; // cancel() has already failed every receive
    if (isEndOfStream(error)) {
        readFailure_ = NetworkConnectionError(Case::closed);
    } else {
        readFailure_ = networkFailure(classify(error));
    }
    wakeup_.notifyAll();
    notifyClosed();
}

asio::awaitable<Bytes> NetworkFramedConnection::receiveFrame() {
    return keepAlive(shared_from_this(), receiveFrameBody());
}

asio::awaitable<Bytes> NetworkFramedConnection::receiveFrameBody() {
    VELORINTH_ASSERT_ON_LOOP(stream_.get_executor());
    const auto caller = co_await asio::this_coro::cancellation_state;
    for (;;) {
        if (cancelled_) throw NetworkConnectionError(Case::cancelled);
        if (!inbox_.empty()) {
            Bytes frame = std::move(inbox_.front());
            inbox_.pop_front();
            wakeup_.notifyAll(); // room for the reader
            co_return frame;
        }
        if (readFailure_) throw *readFailure_;
        if (phase_ != Phase::ready) throw notConnected();
        co_await wakeup_.wait();
        if (isCancelled(caller)) throw NetworkConnectionError(Case::cancelled);
    }
}

// ---- sending --------------------------------------------------------------------------

// Holds the one write slot for as long as a frame is being written.
class NetworkFramedConnection::WriteSlot {
public:
    explicit WriteSlot(NetworkFramedConnection& owner) : owner_(owner) { owner_.writing_ = true; }
    ~WriteSlot() {
        owner_.writing_ = false;
        owner_.wakeup_.notifyAll();
    }
    WriteSlot(const WriteSlot&) = delete;
    WriteSlot& operator=(const WriteSlot&) = delete;

private:
    NetworkFramedConnection& owner_;
};

asio::awaitable<void> NetworkFramedConnection::sendRawFrame(Bytes payload) {
    Bytes frame(kHeaderSize + payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
    co_await sendPreparedFrame(std::move(frame));
}

asio::awaitable<void> NetworkFramedConnection::sendPreparedFrame(Bytes frame) {
    return keepAlive(shared_from_this(), sendPreparedFrameBody(std::move(frame)));
}

asio::awaitable<void> NetworkFramedConnection::sendPreparedFrameBody(Bytes frame) {
    VELORINTH_ASSERT_ON_LOOP(stream_.get_executor());
    const std::size_t length = frame.size() - std::min(frame.size(), kHeaderSize);
    if (const auto refused = refusedFrameLength(length, maximumFrameSize)) throw NetworkConnectionError(*refused);
    const auto header = frameHeader(static_cast<std::uint32_t>(length));
    std::copy(header.begin(), header.end(), frame.begin());
    const auto caller = co_await asio::this_coro::cancellation_state;
    while (writing_ && !cancelled_) {
        co_await wakeup_.wait();
        if (isCancelled(caller)) throw NetworkConnectionError(Case::cancelled);
    }
    // Checked right before the write, with no suspension between: Asio never
    // gets to throw for a cancelled task.
    if (cancelled_ || isCancelled(caller)) throw NetworkConnectionError(Case::cancelled);
    if (phase_ != Phase::ready) throw notConnected();

    asio::error_code error;
    {
        WriteSlot slot(*this);
        co_await asio::async_write(stream_, asio::buffer(frame), asio::redirect_error(asio::use_awaitable, error));
    }
    if (cancelled_) throw NetworkConnectionError(Case::cancelled);
    if (isCancellation(error, caller)) throw abandon();
    if (error) {
        NetworkConnectionError failure = networkFailure(classify(error));
        notifyClosed();
        throw failure;
    }
}

// ---- closing --------------------------------------------------------------------------

void NetworkFramedConnection::notifyClosed() {
    CloseHandler handler;
    {
        std::lock_guard guard(stateLock_);
        if (closed_) return;
        closed_ = true;
        handler = std::move(closeHandler_);
        closeHandler_ = nullptr;
    }
    if (handler) handler();
}

void NetworkFramedConnection::cancel() {
    notifyClosed();
    if (cancelled_) return;
    cancelled_ = true;
    inbox_.clear();
    readFailure_ = NetworkConnectionError(Case::cancelled);
    if (lookup_) lookup_->abandon();
    wakeup_.notifyAll();

    auto& socket = stream_.next_layer();
    if (!socket.is_open()) return;
    auto self = weak_from_this().lock();
    // A transport that already failed (the kernel gave up on the peer, say)
    // carries no close_notify: waiting for one only holds the buffers longer.
    if (!handshakeDone_ || transportFailed_ || !self) return closeSocket();
    asio::error_code ignored;
    socket.cancel(ignored); // pending reads and writes end now
    // Sending close_notify without waiting for the peer's own: with the
    // "received" flag set, the shutdown completes once ours is written.
    SSL* ssl = stream_.native_handle();
    SSL_set_shutdown(ssl, SSL_get_shutdown(ssl) | SSL_RECEIVED_SHUTDOWN);
    asio::co_spawn(stream_.get_executor(), closeGracefully(self), asio::detached);
}

asio::awaitable<void> NetworkFramedConnection::closeGracefully(std::shared_ptr<NetworkFramedConnection> self) {
    asio::steady_timer limit(stream_.get_executor(), kCloseNotifyLimit);
    limit.async_wait([self](const asio::error_code& error) {
        if (!error) self->closeSocket();
    });
    asio::error_code ignored;
    co_await stream_.async_shutdown(asio::redirect_error(asio::use_awaitable, ignored));
    limit.cancel();
    closeSocket();
}

void NetworkFramedConnection::closeSocket() noexcept {
    asio::error_code ignored;
    stream_.next_layer().shutdown(asio::socket_base::shutdown_both, ignored);
    stream_.next_layer().close(ignored);
}

NetworkConnectionError NetworkFramedConnection::abandon() {
    cancel();
    return NetworkConnectionError(Case::cancelled);
}

// ---- shared state ---------------------------------------------------------------------

void NetworkFramedConnection::observe(const ObservedNetworkError& error) {
    std::lock_guard guard(stateLock_);
    lastObservedNWError_ = error;
}

NetworkConnectionError NetworkFramedConnection::networkFailure(const ObservedNetworkError& error) {
    transportFailed_ = true;
    observe(error);
    return NetworkConnectionError::network(error.text);
}

bool NetworkFramedConnection::didClose() const {
    std::lock_guard guard(stateLock_);
    return closed_;
}

bool NetworkFramedConnection::setCloseHandler(CloseHandler handler) {
    std::lock_guard guard(stateLock_);
    if (closed_) return false;
    closeHandler_ = std::move(handler);
    return true;
}

void NetworkFramedConnection::clearCloseHandler() {
    std::lock_guard guard(stateLock_);
    closeHandler_ = nullptr;
}

std::optional<TLSChannelContext> NetworkFramedConnection::capturedTLSContext() const {
    std::lock_guard guard(stateLock_);
    return capturedTLSContext_;
}

std::optional<ObservedNetworkError> NetworkFramedConnection::lastObservedNWError() const {
    std::lock_guard guard(stateLock_);
    return lastObservedNWError_;
}

} // namespace velorinth
