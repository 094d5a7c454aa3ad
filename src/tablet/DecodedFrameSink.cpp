#include "tablet/DecodedFrameSink.hpp"

#include "core/Cancellation.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"

#include <asio/post.hpp>
#include <asio/this_coro.hpp>

namespace velorinth {

DecodedFrameSink::DecodedFrameSink(asio::any_io_executor loop, std::shared_ptr<FirstFrameGate> gate)
    : loop_(loop), shared_(std::make_shared<Shared>(loop)) {
    shared_->gate = std::move(gate);
}

void DecodedFrameSink::attach(std::weak_ptr<AuthenticatedClientSession> session) {
    shared_->session = std::move(session);
}

void DecodedFrameSink::submit(EncodedVideoFrame frame) {
    if (!owner_) {
        // Asks through whatever session is attached when the request is made.
        auto requestKeyframe = [shared = shared_, loop = loop_](std::uint64_t generation) {
            VideoDecodeOwner::requesterFor(loop, shared->session)(generation);
        };
        auto onFrame = [shared = shared_, loop = loop_](const DecodedVideoFrame& picture) {
            {
                std::lock_guard guard(shared->lock);
                ++shared->decodedFrames;
                shared->lastFrame = picture;
            }
            if (shared->gate) shared->gate->markRendered();
            asio::post(loop, [shared] { shared->arrived.notifyAll(); });
        };
        owner_ = std::make_unique<VideoDecodeOwner>(loop_, std::move(requestKeyframe), std::move(onFrame));
    }
    owner_->submit(std::move(frame));
}

void DecodedFrameSink::sessionEnded(const SessionTerminationReason& reason) {
    if (reason.kind == SessionTerminationReason::Case::localDisconnect) return;
    end(kSessionEndedText + reason.text.value_or(""));
}

void DecodedFrameSink::streamStatusChanged(const VideoStreamStatusUpdate& status) {
    if (status.active) return;
    end(kStreamStoppedText + status.detail.value_or("no reason given."));
}

void DecodedFrameSink::end(std::string text) {
    if (shared_->ending) return;
    shared_->ending = std::move(text);
    shared_->arrived.notifyAll();
}

std::uint64_t DecodedFrameSink::decodedFrames() const {
    std::lock_guard guard(shared_->lock);
    return shared_->decodedFrames;
}

std::optional<DecodedVideoFrame> DecodedFrameSink::lastFrame() const {
    std::lock_guard guard(shared_->lock);
    return shared_->lastFrame;
}

asio::awaitable<bool> DecodedFrameSink::waitForFrames(std::uint64_t count, Duration perFrame) {
    const std::shared_ptr<Shared> shared = shared_;
    const asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    std::uint64_t seen = decodedFrames();
    auto deadline = std::chrono::steady_clock::now() + perFrame;
    while (seen < count) {
        if (shared->ending) throw Error(*shared->ending);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) co_return false;
        co_await shared->arrived.wait(deadline - now);
        if (isCancelled(caller)) throw CancellationError();
        const std::uint64_t decoded = decodedFrames();
        if (decoded > seen) deadline = std::chrono::steady_clock::now() + perFrame;
        seen = decoded;
    }
    co_return true;
}

} // namespace velorinth
