#pragma once

// The host's part of the road of a frame as the tests and benchmarks wire it
// (the host application has its own): a stream request makes the encoder and
// starts capture; each sample is encoded on the capture thread and handed to
// the server on its loop; a tablet's keyframe request reaches the encoder.

#include "host/capture/ScreenCaptureService.hpp"
#include "transport/server/HostSessionServer.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <asio/post.hpp>

#include <memory>
#include <mutex>

namespace velorinth::testing {

// The encoder, shared by the loop and the capture thread.
struct EncoderBox {
    std::mutex mutex;
    std::shared_ptr<DesktopVideoEncoder> encoder;
    VideoCompressionSession::Factory factory = VideoCompressionSession::defaultFactory();

    std::shared_ptr<DesktopVideoEncoder> get() {
        std::lock_guard guard(mutex);
        return encoder;
    }
    void configure(const VideoStreamConfiguration& configuration, std::uint64_t generation) {
        std::lock_guard guard(mutex);
        if (!encoder) {
            encoder = std::make_shared<DesktopVideoEncoder>(Uuid::random(), generation, configuration, factory);
        } else {
            encoder->updateConfiguration(configuration, generation);
        }
    }
    void invalidate() {
        if (const auto current = get()) current->invalidate();
    }
};

inline void wireVideo(std::shared_ptr<ScreenCaptureService> capture, HostSessionCallbacks& callbacks,
                      std::shared_ptr<EncoderBox> box, std::weak_ptr<HostSessionServer> server,
                      asio::any_io_executor loop) {
    capture->setOnSampleBuffer(
        [box, server, loop](const VideoSampleBuffer& sample, ScreenCaptureService::PointsSize points) {
            const auto encoder = box->get();
            if (!encoder) return;
            auto frame = encoder->encode(sample, DesktopVideoEncoder::SourceSize{points.width, points.height});
            if (!frame) return;
            asio::post(loop, [server, shared = std::make_shared<const EncodedVideoFrame>(std::move(*frame))] {
                if (const auto live = server.lock()) live->distributeVideoFrame(shared);
            });
        });
    callbacks.onVideoStreamRequested = [box, capture](Uuid, Uuid, VideoStreamConfiguration configuration,
                                                      std::uint64_t generation) -> asio::awaitable<void> {
        box->configure(configuration, generation);
        bool started = true;
        try {
            co_await capture->startCapture(configuration);
        } catch (const std::exception&) {
            started = false;
        }
        if (!started) throw VideoStreamStopError(VideoStreamStopReason::screenRecordingPermissionRequired);
    };
    callbacks.onVideoKeyframeRequested = [box](const Uuid&, const Uuid&, std::uint64_t) {
        if (const auto encoder = box->get()) encoder->requestKeyframe();
    };
}

} // namespace velorinth::testing
