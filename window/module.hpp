#pragma once

// The window module, lanemark-window.so: `lanemark` loads it only when the window
// is wanted, so the command-line verbs never load Qt.

// Runs the editor window as `startWindow` does.
extern "C" int lanemarkStartWindow(char* program, const char* movie);

namespace lanemark {

// The name `lanemark` looks the entry up by once it has loaded the module.
inline constexpr const char* windowModuleEntry = "lanemarkStartWindow";

}  // namespace lanemark
