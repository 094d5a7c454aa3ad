#include "platform/WakeEnvironmentPlatform.hpp"

#include "platform/linux/LinuxWakeEnvironmentPlatform.hpp"

namespace velorinth {

std::shared_ptr<WakeEnvironmentPlatform> WakeEnvironmentPlatform::create() {
    return std::make_shared<LinuxWakeEnvironmentPlatform>();
}

} // namespace velorinth
