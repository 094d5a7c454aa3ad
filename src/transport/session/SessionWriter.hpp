#pragma once

#include "core/Bytes.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "core/LoopSignal.hpp"
#include "transport/video/SessionBinaryChannel.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace velorinth {

// The one writer of an authenticated session's connection, on either end:
// one long-lived coroutine drains one outbox, control first, then video one
// fragment per turn so that control can overtake a large frame. Each item is
// sealed with the session cipher right before it is written, so the wire
// order is the cipher's order. A failed write closes the writer and cancels
// the connection.
//
// Lives on the event loop, owned through std::shared_ptr (its coroutines keep
// it alive), touched only from the loop thread.
class SessionWriter : public std::enable_shared_from_this<SessionWriter> {
public:
    using Duration = std::chrono::steady_clock::duration;
    // One video fragment's plaintext in two parts: its packet header, and its
    // chunk where it lies in a frame that `owner` keeps alive until it is sealed.
    struct VideoFragment {
        Bytes header;
        ByteView chunk;
        std::shared_ptr<const void> owner;
    };
    // The next video fragment to write, asked only when no control waits;
    // none when no video waits.
    using VideoSource = std::function<std::optional<VideoFragment>()>;

    SessionWriter(asio::any_io_executor executor, std::shared_ptr<NetworkFramedConnection> connection,
                  std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash, VideoSource videoSource = {});

    SessionWriter(const SessionWriter&) = delete;
    SessionWriter& operator=(const SessionWriter&) = delete;

    // Public coroutines hold the object from the call until they end
    // (keepAlive): an asio::awaitable starts lazily, after the caller may have
    // dropped its pointer.
    // Starts the writer; nothing is written before. Later calls do nothing.
    void start();
    // Queues one control message's plaintext and returns its ticket: the n-th
    // message queued is written once n are. Ignored (ticket 0) once closed.
    std::uint64_t enqueueControl(Bytes plaintext);
    // Tells the writer that video may wait.
    void wake() { changed_.notifyAll(); }
    // True once the message of `ticket` has been written; false when the
    // writer closed first, `bound` passed or the awaiting task was cancelled.
    // Never throws.
    asio::awaitable<bool> waitForWritten(std::uint64_t ticket, Duration bound = Duration::max());
    // Empties the outbox, cancels the connection and wakes every waiter. Final.
    void close();

    bool isClosed() const noexcept { return closed_; }
    // The write error that closed the writer, if one did.
    std::exception_ptr failure() const noexcept { return failure_; }
    std::size_t queuedControlBytes() const noexcept { return queuedControlBytes_; }
    bool hasQueuedControl() const noexcept { return !control_.empty(); }

private:
    asio::awaitable<bool> waitForWrittenBody(std::uint64_t ticket, Duration bound);
    asio::awaitable<void> run(std::shared_ptr<SessionWriter> self);
    asio::awaitable<void> write(SessionBinaryChannel channel, std::span<const ByteView> plaintext);

    asio::any_io_executor executor_;
    std::shared_ptr<NetworkFramedConnection> connection_;
    std::shared_ptr<SessionCipher> cipher_;
    Bytes transcriptHash_;
    VideoSource videoSource_;
    LoopSignal changed_; // anything queued, written or closed

    std::deque<Bytes> control_;
    std::size_t queuedControlBytes_ = 0;
    std::uint64_t enqueuedControlCount_ = 0;
    std::uint64_t writtenControlCount_ = 0;
    bool started_ = false;
    bool closed_ = false;
    std::exception_ptr failure_;
};

} // namespace velorinth
