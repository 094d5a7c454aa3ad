#pragma once
// Loop-only classes are driven from their event loop's thread and nowhere
// else; in debug builds their public entry points check it.

#include <cassert>

#ifdef NDEBUG
#define VELORINTH_ASSERT_ON_LOOP(executor) ((void)0)
#else
#define VELORINTH_ASSERT_ON_LOOP(executor) \
    assert((executor).running_in_this_thread() && "called off its event loop's thread")
#endif
