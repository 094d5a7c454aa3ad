#include "transport/session/SessionWriter.hpp"

#include "core/Cancellation.hpp"
#include "core/KeepAlive.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"

#include <asio/cancellation_state.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>

#include <span>
#include <utility>

namespace velorinth {

SessionWriter::SessionWriter(asio::any_io_executor executor, std::shared_ptr<NetworkFramedConnection> connection,
                             std::shared_ptr<SessionCipher> cipher, Bytes transcriptHash, VideoSource videoSource)
    : executor_(std::move(executor)), connection_(std::move(connection)), cipher_(std::move(cipher)),
      transcriptHash_(std::move(transcriptHash)), videoSource_(std::move(videoSource)), changed_(executor_) {}

void SessionWriter::start() {
    if (started_ || closed_) return;
    started_ = true;
    asio::co_spawn(executor_, run(shared_from_this()), asio::detached);
}

std::uint64_t SessionWriter::enqueueControl(Bytes plaintext) {
    if (closed_) return 0;
    queuedControlBytes_ += plaintext.size();
    control_.push_back(std::move(plaintext));
    changed_.notifyAll();
    return ++enqueuedControlCount_;
}

asio::awaitable<bool> SessionWriter::waitForWritten(std::uint64_t ticket, Duration bound) {
    return keepAlive(shared_from_this(), waitForWrittenBody(ticket, bound));
}

asio::awaitable<bool> SessionWriter::waitForWrittenBody(std::uint64_t ticket, Duration bound) {
    const auto deadline = bound == Duration::max() ? std::chrono::steady_clock::time_point::max()
                                                   : std::chrono::steady_clock::now() + bound;
    while (!closed_ && writtenControlCount_ < ticket) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        const bool woken = co_await changed_.wait(bound == Duration::max() ? Duration::max() : deadline - now);
        if (!woken) break;
        const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
        if (isCancelled(caller)) break;
    }
    co_return ticket != 0 && writtenControlCount_ >= ticket;
}

void SessionWriter::close() {
    if (closed_) return;
    closed_ = true;
    control_.clear();
    queuedControlBytes_ = 0;
    // Waiters hear first, so a sender whose message failed reports its error
    // before the session's reader sees the connection end.
    changed_.notifyAll();
    // Runs the connection's close handler once, then cancels it, so a write
    // in progress fails and the session's reader ends.
    connection_->cancel();
}

// Every suspension may change the queues or close the writer: each turn
// re-reads them and holds no reference into them across a write.
asio::awaitable<void> SessionWriter::run(std::shared_ptr<SessionWriter> self) {
    (void)self; // held so the writer outlives its loop
    try {
        while (!closed_) {
            if (!control_.empty()) {
                const Bytes plaintext = std::move(control_.front());
                control_.pop_front();
                queuedControlBytes_ -= plaintext.size();
                const ByteView parts[] = {plaintext};
                co_await write(SessionBinaryChannel::control, parts);
                ++writtenControlCount_;
                changed_.notifyAll();
                continue;
            }
            if (videoSource_) {
                if (std::optional<VideoFragment> fragment = videoSource_()) {
                    const ByteView parts[] = {fragment->header, fragment->chunk};
                    co_await write(SessionBinaryChannel::videoFragment, parts);
                    continue;
                }
            }
            co_await changed_.wait();
        }
    } catch (...) {
        // A session that can no longer send must not live on reading input.
        if (!closed_) failure_ = std::current_exception();
        close();
    }
}

// Sealed right before it is written, straight into the buffer the
// connection sends: length, wire header, then ciphertext and tag. The
// plaintext's parts are read where they lie: a video chunk is never copied.
asio::awaitable<void> SessionWriter::write(SessionBinaryChannel channel, std::span<const ByteView> plaintext) {
    constexpr std::size_t kBodyOffset = NetworkFramedConnection::kHeaderSize + SessionWireFrameCodec::headerLength;
    std::size_t length = 0;
    for (const ByteView part : plaintext) length += part.size();
    Bytes frame(kBodyOffset + length + SessionCipher::kTagSize);
    const std::span<std::uint8_t> buffer(frame);
    const std::uint64_t sequence = cipher_->sealInto(plaintext, transcriptHash_, buffer.subspan(kBodyOffset));
    SessionWireFrameCodec::writeHeader(buffer.subspan<NetworkFramedConnection::kHeaderSize,
                                                      SessionWireFrameCodec::headerLength>(),
                                       channel, sequence);
    co_await connection_->sendPreparedFrame(std::move(frame));
}

} // namespace velorinth
