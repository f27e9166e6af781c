#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "main/verbs.hpp"

#ifdef LANEMARK_WITH_WINDOW
#include <dlfcn.h>

#include "window/module.hpp"
#endif

namespace lanemark {
namespace {

#ifdef LANEMARK_WITH_WINDOW
// The window is a module loaded only when it is wanted, rather than part of this
// executable, so the verbs start without loading Qt. A module rather than a second
// executable keeps one program with one entry and one dispatch; the window gets
// what the dispatch decided, not an argument list to parse again.

// Where the module may be: beside the program in a build tree, or where it was installed.
std::vector<std::filesystem::path> moduleCandidates(const char* program) {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) self = std::filesystem::absolute(program, error);
    const std::filesystem::path dir = self.parent_path();
    return {dir / LANEMARK_WINDOW_MODULE,
            (dir / LANEMARK_WINDOW_MODULE_DIR / LANEMARK_WINDOW_MODULE).lexically_normal()};
}

int loadWindow(char* program, const char* movie) {
    const auto candidates = moduleCandidates(program);
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(candidate, error)) continue;
        // Kept loaded until the process ends: Qt leaves exit handlers behind in it.
        void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* entry = module ? dlsym(module, windowModuleEntry) : nullptr;
        if (!entry) {
            const char* why = dlerror();
            std::cerr << "The Lanemark window cannot be loaded: " << (why ? why : candidate.c_str()) << '\n';
            return 1;
        }
        return reinterpret_cast<decltype(&lanemarkStartWindow)>(entry)(program, movie);
    }
    std::cerr << "The Lanemark window cannot be loaded: " LANEMARK_WINDOW_MODULE
                 " is neither beside the program nor in "
              << candidates.back().parent_path().string() << ".\n";
    return 1;
}
#else
int loadWindow(char*, const char*) {
    std::cerr << "The Lanemark window is not available in this build. Use --inspect PATH or --apply-preset PATH on the "
                 "command line.\n";
    return 1;
}
#endif

}  // namespace
}  // namespace lanemark

int main(int argc, char** argv) { return lanemark::run(argc, argv, lanemark::loadWindow, std::cout, std::cerr); }
