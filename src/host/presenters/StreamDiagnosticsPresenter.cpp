#include "host/presenters/StreamDiagnosticsPresenter.hpp"

#include "host/presenters/PresenterTypes.hpp"

namespace velorinth {

std::vector<DiagnosticsMetric> StreamDiagnosticsPresenter::present(const VideoStreamDiagnostics& d,
                                                                  double megabitsPerSecond) {
    const std::optional<double>& encode = d.lastEncodeDurationMilliseconds;
    return {
        {"Resolution", decimalText(d.videoWidth) + "\u00D7" + decimalText(d.videoHeight)},
        {"Capture FPS", fixedText(d.capturedFPS, 1)},
        {"Encode FPS", fixedText(d.encodedFPS, 1)},
        {"Bitrate", fixedText(megabitsPerSecond, 2) + " Mbps"},
        {"Encode Time", encode ? fixedText(*encode, 1) + " ms" : "\u2014"},
        {"Drops / Queue", decimalText(d.droppedFrames) + " / " + decimalText(d.queueDepth)},
    };
}

} // namespace velorinth
