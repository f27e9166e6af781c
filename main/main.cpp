#include <iostream>

#include "main/verbs.hpp"

namespace {

int startWindow(int, char**) {
    std::cerr << "The Lanemark window is not available in this build. Use --inspect PATH on the command line.\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) { return lanemark::run(argc, argv, startWindow, std::cout, std::cerr); }
