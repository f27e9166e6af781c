#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace lanemark::build {

// Runs `work` as an unprivileged user, so permission checks mean something
// also when the tests run as root: there it forks and drops to "nobody".
// Returns the text of what `work` threw, or "succeeded".
std::string asUnprivileged(const std::function<void()>& work);

// Hands `path` to the user that asUnprivileged runs as (when running as root).
void giveToUnprivileged(const std::filesystem::path& path);

}  // namespace lanemark::build
