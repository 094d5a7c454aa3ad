#include "platform/MemoryRelease.hpp"

#include <malloc.h>

namespace velorinth {

void returnFreedMemoryToSystem() noexcept { malloc_trim(0); }

} // namespace velorinth
