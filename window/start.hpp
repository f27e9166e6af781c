#pragma once

#include <filesystem>
#include <optional>

namespace lanemark {

class Controller;

// Runs the editor window until the user quits, with the movie at `movie` open when it is not null;
// returns the process's exit status. `program` is the program's own name.
int startWindow(char* program, const char* movie);

// Shows the window and opens `movie`, if any, exactly as Open Movie… would, failure alert included.
void launch(Controller& controller, const std::optional<std::filesystem::path>& movie);

// The one line printed instead of starting the window where no display can show it.
inline constexpr const char* noDisplayMessage =
    "No display is available for the Lanemark window. Use --inspect PATH or --apply-preset PATH on the command line.";

}  // namespace lanemark
