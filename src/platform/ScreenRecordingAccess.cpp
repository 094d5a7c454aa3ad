#include "platform/ScreenRecordingAccess.hpp"

#include <utility>

namespace velorinth {

namespace {

class CaptureBackendScreenRecordingAccess final : public ScreenRecordingAccess {
public:
    explicit CaptureBackendScreenRecordingAccess(std::shared_ptr<CaptureBackend> backend)
        : backend_(std::move(backend)) {}

    bool preflight() override { return backend_->preflight(); }
    bool request() override { return backend_->preflight(); }
    void confirmShareableContent() override { backend_->shareableContent(); }

private:
    const std::shared_ptr<CaptureBackend> backend_;
};

} // namespace

std::shared_ptr<ScreenRecordingAccess> ScreenRecordingAccess::create(std::shared_ptr<CaptureBackend> backend) {
    return std::make_shared<CaptureBackendScreenRecordingAccess>(std::move(backend));
}

} // namespace velorinth
