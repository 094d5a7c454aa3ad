#pragma once

// Where the tests run from: CTest starts them in build/tests, and the
// repository is two folders above the test data.

#include <cstdlib>
#include <filesystem>

namespace velorinth::testing {

inline std::filesystem::path buildFolder() {
    const std::filesystem::path here = std::filesystem::current_path();
    return here.filename() == "tests" ? here.parent_path() : here;
}

// Empty when the test data's folder is not known.
inline std::filesystem::path sourceFolder() {
    const char* data = std::getenv("VELORINTH_TESTDATA_DIR");
    if (data == nullptr) return {};
    return std::filesystem::path(data).parent_path().parent_path();
}

} // namespace velorinth::testing
