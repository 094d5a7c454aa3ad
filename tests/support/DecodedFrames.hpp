#pragma once

// A tablet's decoder in a test: the session's frames go through the real
// decode owner, and every decoded frame is kept.

#include "support/LoopRunner.hpp"
#include "tablet/VideoDecodeOwner.hpp"
#include "transport/client/AuthenticatedClientSession.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace velorinth::testing {

class DecodedFrames {
public:
    // Installs the session's video handlers on `tablet`'s loop.
    DecodedFrames(LoopRunner& tablet, std::shared_ptr<AuthenticatedClientSession> session) {
        owner_ = std::make_unique<VideoDecodeOwner>(
            tablet.io.get_executor(), VideoDecodeOwner::requesterFor(tablet.io.get_executor(), session),
            [this](const DecodedVideoFrame& frame) {
                std::lock_guard guard(mutex_);
                frames_.push_back(frame);
            });
        tablet.call([&] {
            session->setVideoHandlers([owner = owner_.get()](const EncodedVideoFrame& frame) { owner->submit(frame); },
                                      {});
        });
    }
    // The decode thread ends before the frames go.
    ~DecodedFrames() { owner_.reset(); }
    DecodedFrames(const DecodedFrames&) = delete;
    DecodedFrames& operator=(const DecodedFrames&) = delete;

    std::vector<DecodedVideoFrame> frames() {
        std::lock_guard guard(mutex_);
        return frames_;
    }
    std::size_t size() {
        std::lock_guard guard(mutex_);
        return frames_.size();
    }

private:
    std::mutex mutex_;
    std::vector<DecodedVideoFrame> frames_;
    std::unique_ptr<VideoDecodeOwner> owner_;
};

} // namespace velorinth::testing
