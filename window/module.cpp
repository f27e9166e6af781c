#include "window/module.hpp"

#include <cstdio>
#include <exception>

#include "window/start.hpp"

// The program carries its own C++ library and the module uses the shared one
// that Qt brings, so nothing of either may cross this entry: it takes and gives
// plain C values, and no exception leaves it.
extern "C" __attribute__((visibility("default"))) int lanemarkStartWindow(char* program, const char* movie) noexcept {
    try {
        return lanemark::startWindow(program, movie);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    } catch (...) {
        std::fputs("The Lanemark window stopped on an unknown error.\n", stderr);
    }
    return 1;
}
