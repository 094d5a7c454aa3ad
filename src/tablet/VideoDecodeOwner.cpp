#include "tablet/VideoDecodeOwner.hpp"

#include "transport/client/AuthenticatedClientSession.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>

#include <pthread.h>

namespace velorinth {

namespace {

using Case = VideoDecoderError::Case;

bool needsKeyframeFromHost(Case kind) {
    return kind == Case::missingReferenceFrame || kind == Case::awaitingKeyframe || kind == Case::missingConfiguration;
}

} // namespace

VideoDecodeOwner::VideoDecodeOwner(asio::any_io_executor loop, KeyframeRequester requestKeyframe, FrameHandler onFrame,
                                   ErrorHandler onError, Options options)
    : loop_(std::move(loop)), requestKeyframe_(std::move(requestKeyframe)), onFrame_(std::move(onFrame)),
      onError_(std::move(onError)), options_(std::move(options)), decoder_(options_.uptime),
      thread_([this] { run(); }) {}

VideoDecodeOwner::~VideoDecodeOwner() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void VideoDecodeOwner::submit(EncodedVideoFrame frame) {
    {
        std::lock_guard guard(mutex_);
        if (stopping_) return;
        if (waiting_.size() >= std::max<std::size_t>(options_.queueCapacity, 1)) {
            waiting_.pop_front();
            ++droppedFrames_;
        }
        waiting_.push_back(std::move(frame));
    }
    wake_.notify_one();
}

std::uint64_t VideoDecodeOwner::droppedFrames() {
    std::lock_guard guard(mutex_);
    return droppedFrames_;
}

void VideoDecodeOwner::run() {
    pthread_setname_np(pthread_self(), kThreadName);
    while (true) {
        EncodedVideoFrame frame;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            frame = std::move(waiting_.front());
            waiting_.pop_front();
        }
        decodeOne(frame);
    }
}

void VideoDecodeOwner::decodeOne(const EncodedVideoFrame& frame) {
    std::optional<DecodedVideoFrame> decoded;
    std::optional<VideoDecoderError> failure;
    try {
        decoded = decoder_.decode(frame);
    } catch (const VideoDecoderError& error) {
        failure = error;
    }
    if (failure && needsKeyframeFromHost(failure->kind) && requestKeyframe_) {
        const std::uint64_t now = options_.uptime();
        if (!lastRequestNs_ || now - *lastRequestNs_ >= kKeyframeRequestIntervalNs) {
            lastRequestNs_ = now;
            asio::post(loop_, [request = requestKeyframe_, generation = frame.generation] { request(generation); });
        }
    }
    try {
        if (decoded && onFrame_) onFrame_(*decoded);
        if (failure && onError_) onError_(*failure);
    } catch (...) {
        // The owner's own failure: the picture is lost, the stream goes on.
    }
}

VideoDecodeOwner::KeyframeRequester VideoDecodeOwner::requesterFor(asio::any_io_executor loop,
                                                                   std::weak_ptr<AuthenticatedClientSession> session) {
    return [loop = std::move(loop), session = std::move(session)](std::uint64_t generation) {
        const std::shared_ptr<AuthenticatedClientSession> live = session.lock();
        if (!live || live->isClosed()) return;
        auto request = [](std::shared_ptr<AuthenticatedClientSession> s, std::uint64_t g) -> asio::awaitable<void> {
            try {
                co_await s->requestVideoKeyframe(g);
            } catch (const std::exception&) {
            }
        };
        asio::co_spawn(loop, request(live, generation), asio::detached);
    };
}

} // namespace velorinth
