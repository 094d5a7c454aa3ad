#include "host/model/ActiveEncoderBox.hpp"

namespace velorinth {

std::shared_ptr<VideoEncoderPort> ActiveEncoderBox::current() const {
    std::lock_guard guard(lock_);
    return encoder_;
}

std::shared_ptr<VideoEncoderPort> ActiveEncoderBox::prepareEncoder(const VideoStreamConfiguration& configuration,
                                                                   std::uint64_t generation,
                                                                   const VideoEncoderPort::Factory& factory) {
    std::lock_guard guard(lock_);
    if (encoder_) {
        encoder_->updateConfiguration(configuration, generation);
    } else {
        encoder_ = factory(Uuid::random(), generation, configuration);
    }
    return encoder_;
}

std::shared_ptr<VideoEncoderPort> ActiveEncoderBox::take() {
    std::lock_guard guard(lock_);
    return std::move(encoder_);
}

void ActiveEncoderBox::requestKeyframe() const {
    if (const std::shared_ptr<VideoEncoderPort> encoder = current()) encoder->requestKeyframe();
}

} // namespace velorinth
