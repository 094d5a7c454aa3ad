#include "support/FakeCompressionSession.hpp"

#include <chrono>

namespace velorinth::testing {

namespace {

void setFlag(FakeCompressionSession::Control& control, bool& flag, bool value) {
    {
        std::lock_guard guard(control.mutex);
        flag = value;
    }
    control.changed.notify_all();
}

bool awaitCount(FakeCompressionSession::Control& control, const std::size_t& counter, std::size_t count) {
    std::unique_lock lock(control.mutex);
    return control.changed.wait_for(lock, std::chrono::seconds(10), [&] { return counter >= count; });
}

} // namespace

void FakeCompressionSession::Control::setBlocking(bool block) { setFlag(*this, blocks, block); }
bool FakeCompressionSession::Control::awaitBlocked(std::size_t count) { return awaitCount(*this, blocked, count); }
void FakeCompressionSession::Control::setOpensBlocking(bool block) { setFlag(*this, opensBlock, block); }
bool FakeCompressionSession::Control::awaitBlockedOpens(std::size_t count) {
    return awaitCount(*this, blockedOpens, count);
}

VideoCompressionSession::Factory FakeCompressionSession::factory(std::shared_ptr<Control> control) {
    return [control](const Settings& settings, int& status) -> std::shared_ptr<VideoCompressionSession> {
        std::unique_lock lock(control->mutex);
        if (control->opensBlock) {
            ++control->blockedOpens;
            control->changed.notify_all();
            control->changed.wait_for(lock, std::chrono::seconds(10), [&] { return !control->opensBlock; });
            --control->blockedOpens;
        }
        status = control->createStatus;
        if (status != 0) return nullptr;
        control->opened.push_back(settings);
        return std::make_shared<FakeCompressionSession>(control);
    };
}

VideoCompressionSession::Result FakeCompressionSession::encode(const PixelBuffer&, std::int64_t presentationTimeUs,
                                                               std::int64_t durationUs, bool forceKeyframe) {
    std::unique_lock lock(control_->mutex);
    control_->calls.push_back({presentationTimeUs, durationUs, forceKeyframe});
    ++control_->blocked;
    control_->changed.notify_all();
    control_->changed.wait(lock, [&] { return !control_->blocks; });
    --control_->blocked;
    Result result;
    if (invalidated_) {
        result.status = -1;
        return result;
    }
    if (auto status = std::exchange(control_->nextEncodeStatus, std::nullopt)) {
        result.status = *status;
        return result;
    }
    if (std::exchange(control_->nextGivesNothing, false)) return result;
    if (auto status = std::exchange(control_->nextPayloadStatus, std::nullopt)) result.payloadStatus = *status;
    Frame frame;
    frame.isKeyframe = forceKeyframe;
    frame.payload = {0, 0, 0, 2, static_cast<std::uint8_t>(forceKeyframe ? 0x65 : 0x41), 0x88};
    frame.parameterSets = control_->parameterSets;
    result.frame = std::move(frame);
    return result;
}

void FakeCompressionSession::invalidate() {
    std::lock_guard guard(control_->mutex);
    invalidated_ = true;
}

bool FakeCompressionSession::isInvalidated() {
    std::lock_guard guard(control_->mutex);
    return invalidated_;
}

} // namespace velorinth::testing
