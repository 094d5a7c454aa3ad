#pragma once

#include "host/model/VideoEncoderPort.hpp"

#include <memory>
#include <mutex>

namespace velorinth {

// The one encoder, shared by the UI thread (which makes, reconfigures and
// takes it out), the capture thread (which encodes) and the server's loop
// (which asks for keyframes). The lock guards only the reference: nobody
// encodes or asks for a keyframe while holding it.
class ActiveEncoderBox {
public:
    std::shared_ptr<VideoEncoderPort> current() const;
    bool hasEncoder() const { return current() != nullptr; }
    // Reconfigures the encoder with the generation, or makes one with a new
    // stream identifier; both under the lock, so a frame never sees half of it.
    std::shared_ptr<VideoEncoderPort> prepareEncoder(const VideoStreamConfiguration& configuration,
                                                     std::uint64_t generation, const VideoEncoderPort::Factory& factory);
    // Leaves the box empty and returns what it held.
    std::shared_ptr<VideoEncoderPort> take();
    // The next frame of the current encoder, if any, is a keyframe.
    void requestKeyframe() const;

private:
    mutable std::mutex lock_;
    std::shared_ptr<VideoEncoderPort> encoder_;
};

} // namespace velorinth
