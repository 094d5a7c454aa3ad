#pragma once

#include "core/Bytes.hpp"
#include "core/HostPort.hpp"
#include "core/IdentityModels.hpp"
#include "platform/SessionSocket.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"
#include "platform/tls/TLSVerificationBox.hpp"
#include "core/LoopSignal.hpp"
#include "transport/security/NetworkConnectionError.hpp"
#include "transport/security/ObservedNetworkError.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

class HostnameLookup;

// A TLS connection carrying length-framed messages: a 4-byte big-endian
// length, then that many bytes; a length of 0 or above maximumFrameSize is
// refused before any of its body is read.
//
// Lives on the event loop and must be owned through std::shared_ptr: its
// coroutines keep it alive while they run, public ones from the call on (an
// asio::awaitable starts lazily, after the caller may have dropped it). Once started, one reader coroutine
// always has a read pending, so a peer that closes is noticed (notifyClosed
// runs) even while nobody calls receiveFrame; it keeps at most one frame
// waiting for receiveFrame beyond the one it is reading.
//
// Only the close handler, the closed flag, the captured TLS context and the
// last observed error are shared with other threads (under `stateLock_`);
// everything else is the loop's (debug builds check start, receive and send).
class NetworkFramedConnection : public std::enable_shared_from_this<NetworkFramedConnection> {
public:
    using Stream = asio::ssl::stream<asio::ip::tcp::socket>;
    using CloseHandler = std::function<void()>;

    // How long a cancelled connection may spend sending its close_notify.
    static constexpr std::chrono::seconds kCloseNotifyLimit{1};

    // A stream whose TLS handshake has already finished (the listener runs
    // it); start() only checks the protocol and captures the channel context.
    NetworkFramedConnection(Stream stream, std::size_t maximumFrameSize, bool requiresTLS,
                            std::shared_ptr<TLSVerificationBox> verificationBox = nullptr);

    NetworkFramedConnection(const NetworkFramedConnection&) = delete;
    NetworkFramedConnection& operator=(const NetworkFramedConnection&) = delete;
    ~NetworkFramedConnection();

    // An unstarted client connection presenting `identity`, offering the one
    // `applicationProtocol` and accepting only a self-signed device certificate
    // (with the `pin`'s fingerprint when one is given), with its own
    // verification box, its socket set up with `socketOptions` (an accepted
    // stream was set up by its listener). Throws TLSSecurityError(identityCreationFailed).
    static std::shared_ptr<NetworkFramedConnection> connect(const asio::any_io_executor& executor, HostPort endpoint,
                                                            const TLSDeviceIdentity& identity,
                                                            std::optional<DeviceFingerprint> pin,
                                                            std::size_t maximumFrameSize,
                                                            std::string_view applicationProtocol,
                                                            SessionSocketOptions socketOptions = {});

    // The frame header: the body's length, 4 bytes big-endian.
    static constexpr std::size_t kHeaderSize = 4;
    static std::uint32_t frameLength(std::span<const std::uint8_t, kHeaderSize> header) noexcept;
    static std::array<std::uint8_t, kHeaderSize> frameHeader(std::uint32_t length) noexcept;
    // The one rule for both directions: malformedFrame for an empty body,
    // oversizedFrame above `maximumFrameSize`, none for an acceptable length.
    static std::optional<NetworkConnectionError::Case> refusedFrameLength(std::size_t length,
                                                                          std::size_t maximumFrameSize) noexcept;

    // Connects (client), completes the TLS handshake, requires the one
    // application protocol and, when TLS is required, captures the channel
    // context. Fails with the verification box's TLSSecurityError before any
    // other error, else a NetworkConnectionError (network, or cancelled when
    // the connection or the awaiting task is cancelled before it is ready), or
    // the TLSSecurityError of the capture. A failed start closes the connection.
    asio::awaitable<void> start();

    // The next frame's payload. Fails with malformedFrame (length 0),
    // oversizedFrame (above the maximum), closed (end of stream), network (any
    // other error), or cancelled. Framing failures are final. A receive whose
    // task is cancelled loses no data: the frame waits for the next receive.
    asio::awaitable<Bytes> receiveFrame();

    // Writes the length and `payload` with one write, after any send already in
    // progress. Fails with oversizedFrame above the maximum and malformedFrame
    // for an empty payload (nothing is sent either way), network (after the
    // close notice) or cancelled. A send interrupted by its task's cancellation
    // may have left a partial frame, so it cancels the connection too.
    asio::awaitable<void> sendRawFrame(Bytes payload);
    // The same for a payload already behind kHeaderSize bytes of room, which
    // the header fills: nothing is copied before the TLS write.
    asio::awaitable<void> sendPreparedFrame(Bytes frame);

    // The first call marks the connection closed and runs the close handler,
    // outside the lock; later calls do nothing. The handler must not throw.
    // Callable from any thread, as are the accessors of the closed state,
    // the close handler, the captured context and the last observed error.
    void notifyClosed();
    // notifyClosed, then stop: pending and later operations fail with
    // cancelled; a close_notify is sent on a best-effort basis; the socket
    // closes. Loop thread only, like every member but the state accessors.
    void cancel();

    bool didClose() const;
    // Installs the handler unless the connection has already closed (then it
    // returns false and keeps nothing). Replaces any handler installed before.
    bool setCloseHandler(CloseHandler handler);
    void clearCloseHandler();

    std::optional<TLSChannelContext> capturedTLSContext() const;
    std::optional<ObservedNetworkError> lastObservedNWError() const;

    const std::size_t maximumFrameSize;
    const bool requiresTLS;

private:
    enum class Phase { idle, starting, ready, failed };
    class WriteSlot;

    asio::awaitable<void> startBody();
    asio::awaitable<Bytes> receiveFrameBody();
    asio::awaitable<void> sendPreparedFrameBody(Bytes frame);

    NetworkFramedConnection(const asio::any_io_executor& executor, std::shared_ptr<asio::ssl::context> tls,
                            HostPort endpoint, std::size_t maximumFrameSize,
                            std::shared_ptr<TLSVerificationBox> verificationBox, SessionSocketOptions socketOptions);

    asio::awaitable<void> establish();
    asio::awaitable<void> connectTransport();
    asio::awaitable<std::vector<asio::ip::tcp::endpoint>> resolve();
    asio::awaitable<void> readLoop(std::shared_ptr<NetworkFramedConnection> self);
    asio::awaitable<void> closeGracefully(std::shared_ptr<NetworkFramedConnection> self);

    void finishReading(const asio::error_code& error);
    void observe(const ObservedNetworkError& error);
    // Records `error` and returns the NetworkConnectionError to throw for it.
    NetworkConnectionError networkFailure(const ObservedNetworkError& error);
    // Cancels the connection and returns the error a cancelled operation throws.
    NetworkConnectionError abandon();
    void closeSocket() noexcept;

    std::shared_ptr<asio::ssl::context> tls_;
    Stream stream_;
    std::optional<HostPort> endpoint_; // client connections only; a DNS name is resolved by start()
    SessionSocketOptions socketOptions_;
    std::shared_ptr<HostnameLookup> lookup_; // while start() resolves a DNS name
    std::shared_ptr<TLSVerificationBox> verificationBox_;
    TLSRole role_;
    LoopSignal wakeup_; // any change of the inbox, the write slot or the start

    Phase phase_ = Phase::idle;
    bool handshakeDone_ = false;
    bool cancelled_ = false;
    bool transportFailed_ = false; // a read, write or connect failed for a network reason
    bool writing_ = false;
    std::deque<Bytes> inbox_;
    std::optional<NetworkConnectionError> readFailure_;

    mutable std::mutex stateLock_;
    CloseHandler closeHandler_;
    bool closed_ = false;
    std::optional<TLSChannelContext> capturedTLSContext_;
    std::optional<ObservedNetworkError> lastObservedNWError_;
};

} // namespace velorinth
