#pragma once

#include "host/qt/ViewContext.hpp"

#include <QLabel>
#include <QWidget>

#include <array>

namespace velorinth {

// The "Live Stream Diagnostics (Host)" box: six metrics in a row.
class StreamDiagnosticsView : public QWidget {
public:
    static constexpr std::array<const char*, 6> kValueNames{"metricResolution", "metricCaptureFPS", "metricEncodeFPS",
                                                            "metricBitrate",    "metricEncodeTime", "metricDropsQueue"};

    StreamDiagnosticsView(ViewContext context, QWidget* parent = nullptr);
    void render();

private:
    ViewContext context_;
    std::array<QLabel*, 6> labels_{};
    std::array<QLabel*, 6> values_{};
};

} // namespace velorinth
