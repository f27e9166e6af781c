#pragma once

#include <ostream>
#include <string>

namespace lanemark {

// Each verb prints one line: the result on `out`, or the failure on `err`.
// They return the process's exit status.
int inspect(const std::string& path, std::ostream& out, std::ostream& err);
int applyPreset(const std::string& path, std::ostream& out, std::ostream& err);

// The dispatch of the command line; `startWindow` runs the editor and returns its status.
int run(int argc, char** argv, int (*startWindow)(int, char**), std::ostream& out, std::ostream& err);

}  // namespace lanemark
