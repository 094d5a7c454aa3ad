#include "platform/MediaTime.hpp"

#include <limits>

namespace velorinth {

double MediaTime::seconds() const {
    if (!isNumeric()) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / static_cast<double>(timescale);
}

} // namespace velorinth
