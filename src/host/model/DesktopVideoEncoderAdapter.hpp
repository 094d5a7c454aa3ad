#pragma once

#include "host/model/VideoEncoderPort.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <memory>
#include <thread>

namespace velorinth {

// The encoder port over the real H.264 encoder.
class DesktopVideoEncoderAdapter final : public VideoEncoderPort {
public:
    DesktopVideoEncoderAdapter(const Uuid& streamID, std::uint64_t generation,
                               const VideoStreamConfiguration& configuration,
                               VideoCompressionSession::Factory sessions = VideoCompressionSession::defaultFactory())
        : encoder_(streamID, generation, configuration, std::move(sessions)) {}
    // Joins a codec open still under way.
    ~DesktopVideoEncoderAdapter() override;
    DesktopVideoEncoderAdapter(const DesktopVideoEncoderAdapter&) = delete;
    DesktopVideoEncoderAdapter& operator=(const DesktopVideoEncoderAdapter&) = delete;

    // Makes real encoders.
    static Factory factory(VideoCompressionSession::Factory sessions = VideoCompressionSession::defaultFactory()) {
        return [sessions = std::move(sessions)](const Uuid& streamID, std::uint64_t generation,
                                                const VideoStreamConfiguration& configuration) {
            return std::make_shared<DesktopVideoEncoderAdapter>(streamID, generation, configuration, sessions);
        };
    }

    Uuid streamID() const override { return encoder_.streamID; }
    void updateConfiguration(const VideoStreamConfiguration& configuration,
                             std::optional<std::uint64_t> generation) override {
        encoder_.updateConfiguration(configuration, generation);
    }
    void requestKeyframe() override { encoder_.requestKeyframe(); }
    // The codec opens on a thread of its own while the capture thread makes
    // its first picture. Once per encoder: a later size is opened by its
    // first frame. The caller's thread only (the UI thread).
    void prepare(int width, int height) override;
    void invalidate() override { encoder_.invalidate(); }
    Statistics statistics() override { return encoder_.statistics(); }
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample, SourceSize sourceDisplaySize) override {
        return encoder_.encode(sample, sourceDisplaySize);
    }

private:
    DesktopVideoEncoder encoder_;
    std::thread opener_;
};

} // namespace velorinth
