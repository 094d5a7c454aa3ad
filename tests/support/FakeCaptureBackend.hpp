#pragma once

// A capture back-end that a test scripts: the grant, the displays, failures,
// a gate that holds every stream start until opened, and samples or stop
// reports delivered on the test's own thread (standing in for a capture
// thread). Every call is safe from any thread.

#include "platform/CaptureBackend.hpp"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace velorinth::testing {

class FakeCaptureBackend : public CaptureBackend {
public:
    // What happened to one stream made here.
    struct StreamRecord {
        std::uint64_t identity = 0;
        CaptureDisplay display;
        std::vector<CaptureStreamSettings> settings; // as made, then each update
        bool started = false;
        bool stopped = false;
        CaptureStreamOutput* output = nullptr;
    };

    static ShareableContent oneDisplay(std::uint32_t id, std::int64_t width, std::int64_t height);

    void setGranted(bool granted);
    void setContent(ShareableContent content);
    void failContent(std::exception_ptr error);
    void failNextStart(std::exception_ptr error);
    void failNextUpdate(std::exception_ptr error);
    // While closed, every start waits.
    void closeStartGate();
    void openStartGate();
    std::size_t startsWaiting();

    std::size_t streamCount();
    StreamRecord stream(std::size_t index);
    std::size_t runningStreams(); // started, not stopped
    std::size_t preflightCount();

    // A complete screen sample of the stream made at `index`, 64x64 unless given.
    VideoSampleBuffer sampleOf(std::size_t index);
    void emit(std::size_t index, const VideoSampleBuffer& sample);
    void stopWithError(std::size_t index, std::exception_ptr error);

    bool preflight() override;
    ShareableContent shareableContent() override;
    std::unique_ptr<CaptureStream> makeStream(const CaptureDisplay& display, const CaptureStreamSettings& settings,
                                              CaptureStreamOutput& output) override;

private:
    class Stream;

    std::mutex mutex_;
    std::condition_variable gateOpened_;
    bool granted_ = true;
    ShareableContent content_ = oneDisplay(1, 1920, 1080);
    std::exception_ptr contentFailure_;
    std::exception_ptr startFailure_;
    std::exception_ptr updateFailure_;
    bool gateClosed_ = false;
    std::size_t startsWaiting_ = 0;
    std::size_t preflights_ = 0;
    std::vector<std::shared_ptr<StreamRecord>> streams_;
};

} // namespace velorinth::testing
