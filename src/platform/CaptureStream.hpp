#pragma once

#include "platform/MediaTime.hpp"
#include "platform/VideoSampleBuffer.hpp"

#include <cstdint>
#include <exception>

namespace velorinth {

// The settings of a capture stream. The consumer chooses them all; a back-end
// honours each or fails the start.
struct CaptureStreamSettings {
    int width = 0; // the delivered picture, pixels
    int height = 0;
    MediaTime minimumFrameInterval; // at most one sample per interval
    int queueDepth = 3;             // buffers in flight
    bool showsCursor = true;
    bool capturesAudio = false;
    // Samples are NV12, video range (PixelBuffer's only format).

    bool operator==(const CaptureStreamSettings&) const = default;
};

// Where a stream delivers. Both calls come from the stream's own thread and
// must not stop or destroy that stream.
class CaptureStreamOutput {
public:
    virtual ~CaptureStreamOutput() = default;
    virtual void captureStreamDidOutputSample(const VideoSampleBuffer& sample) = 0;
    // The stream ended on its own; it delivers nothing more.
    virtual void captureStreamDidStop(std::uint64_t streamIdentity, std::exception_ptr error) = 0;
};

// One running capture of one display. Its calls block (they talk to the
// display server or join the capture thread) and must not come from the
// stream's own thread. Destroying a stream stops it.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;

    // Unique for the life of the process; samples carry it.
    virtual std::uint64_t identity() const = 0;
    // Returns once samples flow; throws the back-end's error.
    virtual void start() = 0;
    // Takes effect between two samples; throws the back-end's error.
    virtual void update(const CaptureStreamSettings& settings) = 0;
    // Returns once no sample is being or will be delivered.
    virtual void stop() = 0;
};

} // namespace velorinth
