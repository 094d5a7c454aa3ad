#pragma once

#include <gtest/gtest.h>

#include <exception>

namespace velorinth::testing {

// One step of a rig's destructor. A rig that cannot wind down is a failed
// expectation, never an exception: the destructor may run while a failed
// test unwinds, and a second throw would end the run in std::terminate.
template <class Step>
void windDown(const char* what, Step&& step) noexcept {
    try {
        step();
    } catch (const std::exception& error) {
        ADD_FAILURE() << what << ": " << error.what();
    } catch (...) {
        ADD_FAILURE() << what;
    }
}

} // namespace velorinth::testing
