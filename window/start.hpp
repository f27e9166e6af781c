#pragma once

namespace lanemark {

// Runs the editor window until the user quits; returns the process's exit status.
int startWindow(int argc, char** argv);

// The one line printed instead of starting the window where no display can show it.
inline constexpr const char* noDisplayMessage =
    "No display is available for the Lanemark window. Use --inspect PATH or --apply-preset PATH on the command line.";

}  // namespace lanemark
