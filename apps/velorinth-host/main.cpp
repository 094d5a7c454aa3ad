#include "VelorinthHostApp.hpp"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    try {
        return velorinth::VelorinthHostApp::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velorinth-host: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "velorinth-host: failed\n");
    }
    return 1;
}
