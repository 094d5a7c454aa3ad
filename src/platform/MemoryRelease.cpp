#include "platform/MemoryRelease.hpp"

#include <malloc.h>

namespace velorinth {

void returnFreedMemoryToSystem() noexcept { malloc_trim(0); }

// glibc's own starting bound; setting it is what stops the bound from moving.
void keepLargeBlocksMapped() noexcept { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

} // namespace velorinth
