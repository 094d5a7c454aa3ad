#pragma once

#include <cstdlib>
#include <memory>

namespace velorinth {

// An XCB reply, freed with free() as XCB allocates it.
struct XcbReplyFree {
    void operator()(void* reply) const noexcept { std::free(reply); }
};
template <class T>
using XcbReply = std::unique_ptr<T, XcbReplyFree>;

} // namespace velorinth
