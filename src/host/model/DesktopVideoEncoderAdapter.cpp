#include "host/model/DesktopVideoEncoderAdapter.hpp"

#include <system_error>

namespace velorinth {

DesktopVideoEncoderAdapter::~DesktopVideoEncoderAdapter() {
    if (opener_.joinable()) opener_.join();
}

void DesktopVideoEncoderAdapter::prepare(int width, int height) {
    if (opener_.joinable()) return;
    try {
        opener_ = std::thread([this, width, height] {
            try {
                encoder_.prepareSession(width, height);
            } catch (const std::exception&) {
                // The first frame opens the codec again and reports its failure.
            }
        });
    } catch (const std::system_error&) {
        // No thread to spare: the first frame opens the codec.
    }
}

} // namespace velorinth
