#pragma once

#include <ostream>
#include <string>

namespace lanemark {

// Each verb prints one line: the result on `out`, or the failure on `err`.
// They return the process's exit status.
int inspect(const std::string& path, std::ostream& out, std::ostream& err);
int applyPreset(const std::string& path, std::ostream& out, std::ostream& err);
int applyLabels(const std::string& path, const std::string& labels, std::ostream& out, std::ostream& err);
int restore(const std::string& path, std::ostream& out, std::ostream& err);

// Runs the editor window, with the movie at `movie` open when it is not null, and returns the exit status.
// `program` is the program's own name, the only argument the window gets.
using WindowStart = int (*)(char* program, const char* movie);

// The dispatch of the command line.
int run(int argc, char** argv, WindowStart startWindow, std::ostream& out, std::ostream& err);

}  // namespace lanemark
