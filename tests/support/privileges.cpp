#include "tests/support/privileges.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <stdexcept>

namespace lanemark::build {
namespace {

constexpr uid_t nobody = 65534;

std::string outcome(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "succeeded";
}

}  // namespace

std::string asUnprivileged(const std::function<void()>& work) {
    if (::geteuid() != 0) return outcome(work);
    int channel[2];
    if (::pipe(channel) != 0) throw std::runtime_error("cannot make a pipe");
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("cannot fork");
    if (child == 0) {
        ::close(channel[0]);
        std::string text = "cannot drop privileges";
        if (::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0) text = outcome(work);
        const bool sent = ::write(channel[1], text.data(), text.size()) == ssize_t(text.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(got));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return text;
}

void giveToUnprivileged(const std::filesystem::path& path) {
    if (::geteuid() == 0 && ::chown(path.c_str(), nobody, nobody) != 0)
        throw std::runtime_error("cannot hand over " + path.string());
}

}  // namespace lanemark::build
