#pragma once

// Runs other programs (ffmpeg, ffprobe, mediainfo, lanemark itself) without a
// shell, so paths with spaces or quotes need no escaping.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lanemark::build {

struct Outcome {
    int status = -1;  // the exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs `arguments[0]` (searched on PATH) with the rest as its arguments and
// waits for it, capturing both output streams in full.
Outcome runProgram(const std::vector<std::string>& arguments);

// The full path of `name` on PATH, if it is there and executable.
std::optional<std::filesystem::path> findProgram(const std::string& name);

}  // namespace lanemark::build
