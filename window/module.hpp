#pragma once

// The window module, lanemark-window.so: `lanemark` loads it only when the window
// is wanted, so the command-line verbs never load Qt.

// Runs the editor window as `startWindow` does. Plain C values in and out, and
// no exception: the program and the module each have their own C++ library.
extern "C" int lanemarkStartWindow(char* program, const char* movie) noexcept;

namespace lanemark {

// The name `lanemark` looks the entry up by once it has loaded the module.
inline constexpr const char* windowModuleEntry = "lanemarkStartWindow";

}  // namespace lanemark
