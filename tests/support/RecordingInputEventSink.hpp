#pragma once

// An input sink that records every post; its trust and pointer location are
// settable. Safe from any thread, like the real one.

#include "platform/InputEventSink.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace velorinth::testing {

class RecordingInputEventSink final : public InputEventSink {
public:
    bool isTrusted() override { return trusted_.load(); }
    std::optional<Point2D> currentPointerLocation() override;
    void post(const InputEventRecord& record) override;

    void setTrusted(bool trusted) { trusted_.store(trusted); }
    void setPointerLocation(std::optional<Point2D> location);

    std::vector<InputEventRecord> records() const;
    // The records posted since the last call.
    std::vector<InputEventRecord> take();

private:
    std::atomic<bool> trusted_{true};
    mutable std::mutex mutex_;
    std::optional<Point2D> pointerLocation_;
    std::vector<InputEventRecord> records_;
};

// A key event record as the injector creates it.
inline InputEventRecord keyEventRecord(std::uint16_t keyCode, bool down, std::uint64_t flags = 0) {
    InputEventRecord record;
    record.type = down ? InputEventType::keyDown : InputEventType::keyUp;
    record.keyCode = keyCode;
    record.keyDown = down;
    record.flags = flags;
    return record;
}

} // namespace velorinth::testing
