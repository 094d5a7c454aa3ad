#include "support/RecordingInputEventSink.hpp"

#include <utility>

namespace velorinth::testing {

std::optional<Point2D> RecordingInputEventSink::currentPointerLocation() {
    std::lock_guard lock(mutex_);
    return pointerLocation_;
}

void RecordingInputEventSink::post(const InputEventRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

void RecordingInputEventSink::setPointerLocation(std::optional<Point2D> location) {
    std::lock_guard lock(mutex_);
    pointerLocation_ = location;
}

std::vector<InputEventRecord> RecordingInputEventSink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<InputEventRecord> RecordingInputEventSink::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
}

} // namespace velorinth::testing
