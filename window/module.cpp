#include "window/module.hpp"

#include "window/start.hpp"

extern "C" __attribute__((visibility("default"))) int lanemarkStartWindow(char* program, const char* movie) {
    return lanemark::startWindow(program, movie);
}
