#pragma once

#include "host/model/VideoEncoderPort.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"

#include <memory>

namespace velorinth {

// The encoder port over the real H.264 encoder.
class DesktopVideoEncoderAdapter final : public VideoEncoderPort {
public:
    DesktopVideoEncoderAdapter(const Uuid& streamID, std::uint64_t generation,
                               const VideoStreamConfiguration& configuration)
        : encoder_(streamID, generation, configuration) {}

    // Makes real encoders.
    static Factory factory() {
        return [](const Uuid& streamID, std::uint64_t generation, const VideoStreamConfiguration& configuration) {
            return std::make_shared<DesktopVideoEncoderAdapter>(streamID, generation, configuration);
        };
    }

    Uuid streamID() const override { return encoder_.streamID; }
    void updateConfiguration(const VideoStreamConfiguration& configuration,
                             std::optional<std::uint64_t> generation) override {
        encoder_.updateConfiguration(configuration, generation);
    }
    void requestKeyframe() override { encoder_.requestKeyframe(); }
    void invalidate() override { encoder_.invalidate(); }
    Statistics statistics() override { return encoder_.statistics(); }
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample, SourceSize sourceDisplaySize) override {
        return encoder_.encode(sample, sourceDisplaySize);
    }

private:
    DesktopVideoEncoder encoder_;
};

} // namespace velorinth
