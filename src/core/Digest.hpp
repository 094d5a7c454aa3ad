#pragma once

#include "core/Bytes.hpp"

namespace velorinth {

// SHA-256 of `data` (32 bytes).
Bytes sha256(ByteView data);

} // namespace velorinth
