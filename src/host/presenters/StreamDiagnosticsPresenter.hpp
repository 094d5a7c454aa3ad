#pragma once

#include "core/VideoModels.hpp"

#include <string>
#include <vector>

namespace velorinth {

struct DiagnosticsMetric {
    std::string label;
    std::string value;
    bool operator==(const DiagnosticsMetric&) const = default;
};

// The "Live Stream Diagnostics (Host)" box: six measurements in one row.
class StreamDiagnosticsPresenter {
public:
    static std::vector<DiagnosticsMetric> present(const VideoStreamDiagnostics& diagnostics, double megabitsPerSecond);
};

} // namespace velorinth
