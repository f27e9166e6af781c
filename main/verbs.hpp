#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace lanemark {

// Each verb prints one line: the result on `out`, or the failure on `err`.
// They return the process's exit status.
int inspect(const std::string& path, std::ostream& out, std::ostream& err);
int applyPreset(const std::string& path, std::ostream& out, std::ostream& err);
int applyLabels(const std::string& path, const std::string& labels, std::ostream& out, std::ostream& err);
int restore(const std::string& path, std::ostream& out, std::ostream& err);

// Whether `argument` names a command-line verb (with or without operands).
bool isVerb(std::string_view argument);

// The dispatch of the command line; `startWindow` runs the editor and returns its status.
int run(int argc, char** argv, int (*startWindow)(int, char**), std::ostream& out, std::ostream& err);

}  // namespace lanemark
