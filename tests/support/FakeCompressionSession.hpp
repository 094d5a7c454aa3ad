#pragma once

// Compression sessions a test scripts, through one shared control: each
// encode is recorded; it can fail (the encode or the payload copy), give no
// output, give chosen parameter sets, or block until released.

#include "platform/VideoCompressionSession.hpp"

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velorinth::testing {

class FakeCompressionSession : public VideoCompressionSession {
public:
    struct Call {
        std::int64_t presentationTimeUs = 0;
        std::int64_t durationUs = 0;
        bool forceKeyframe = false;
    };

    // What every session of one factory does.
    struct Control {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<Settings> opened;
        std::vector<Call> calls;
        int createStatus = 0;                 // non-zero: opening fails
        std::optional<int> nextEncodeStatus;  // the next encode fails so
        std::optional<int> nextPayloadStatus; // the next output cannot be copied
        bool nextGivesNothing = false;
        // SPS first byte 0x67, PPS 0x68; replace to change the parameter sets.
        std::vector<Bytes> parameterSets{{0x67, 0x42, 0x00, 0x1F}, {0x68, 0xCE, 0x3C, 0x80}};
        bool blocks = false; // encodes wait while set
        std::size_t blocked = 0;
        bool opensBlock = false; // opens wait while set
        std::size_t blockedOpens = 0;

        void setBlocking(bool block);
        // Waits (bounded) until `count` encodes are blocked.
        bool awaitBlocked(std::size_t count);
        void setOpensBlocking(bool block);
        // Waits (bounded) until `count` opens are blocked.
        bool awaitBlockedOpens(std::size_t count);
    };

    static Factory factory(std::shared_ptr<Control> control);

    explicit FakeCompressionSession(std::shared_ptr<Control> control) : control_(std::move(control)) {}

    // A keyframe exactly when forced: one NAL unit (type 5 or 1) with a 4-byte prefix.
    Result encode(const PixelBuffer& image, std::int64_t presentationTimeUs, std::int64_t durationUs,
                  bool forceKeyframe) override;
    void invalidate() override;
    bool isInvalidated();

private:
    std::shared_ptr<Control> control_;
    bool invalidated_ = false; // under the control's mutex
};

} // namespace velorinth::testing
