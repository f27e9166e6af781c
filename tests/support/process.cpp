#include "tests/support/process.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/builder.hpp"

namespace lanemark::build {
namespace {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

Outcome runProgram(const std::vector<std::string>& arguments) {
    if (arguments.empty()) throw std::invalid_argument("no program to run");
    // Files rather than pipes: a program that fills one stream while we wait
    // on the other cannot stall, and output of any size is kept.
    const TempDir capture;
    const auto outPath = capture / "out", errPath = capture / "err";
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("cannot start " + arguments[0]);
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execvp(argv[0], argv.data());
        static const char message[] = "cannot run the program\n";
        [[maybe_unused]] const auto ignored = ::write(2, message, sizeof message - 1);
        ::_exit(127);
    }
    int wstatus = 0;
    while (::waitpid(child, &wstatus, 0) < 0)
        if (errno != EINTR) throw std::runtime_error("lost track of " + arguments[0]);
    Outcome outcome;
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    outcome.out = slurp(outPath);
    outcome.err = slurp(errPath);
    return outcome;
}

std::optional<std::filesystem::path> findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const auto candidate = std::filesystem::path(folder.empty() ? "." : folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate)) return candidate;
    }
    return std::nullopt;
}

}  // namespace lanemark::build
