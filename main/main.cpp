#include <iostream>

#include "main/verbs.hpp"

#ifdef LANEMARK_WITH_WINDOW
#include "window/start.hpp"
#else
namespace lanemark {
namespace {

int startWindow(int, char**) {
    std::cerr << "The Lanemark window is not available in this build. Use --inspect PATH or --apply-preset PATH on the "
                 "command line.\n";
    return 1;
}

}  // namespace
}  // namespace lanemark
#endif

int main(int argc, char** argv) { return lanemark::run(argc, argv, lanemark::startWindow, std::cout, std::cerr); }
