#pragma once

#include <ostream>
#include <span>
#include <string>

namespace lanemark {

// Each verb prints one line: the result on `out`, or the failure on `err`.
// They return the process's exit status.
int inspect(const std::string& path, std::ostream& out, std::ostream& err);
int applyPreset(const std::string& path, std::ostream& out, std::ostream& err);
int applyLabels(const std::string& path, const std::string& labels, std::ostream& out, std::ostream& err);
int restore(const std::string& path, std::ostream& out, std::ostream& err);

// The verbs over many movies read only what they report and go on past a movie
// that does not open; they return 0 only when every movie matched or opened.
// One line per movie: "PATH: ok", or what it carries against what `labels` asks for.
int checkLabels(const std::string& labels, std::span<char* const> paths, std::ostream& out, std::ostream& err);
// One JSON array of the movies' PCM tracks, each movie written as soon as it is known.
int reportTracks(std::span<char* const> paths, std::ostream& out, std::ostream& err);

// One JSON array of the movies' measured channels, programs and findings, each movie
// written as soon as it is done: 0 without findings, 1 with, 2 when a movie could not
// be analysed or the results could not be written.
int analyzeMovies(std::span<char* const> paths, std::ostream& out, std::ostream& err);

// Runs the editor window, with the movie at `movie` open when it is not null, and returns the exit status.
// `program` is the program's own name, the only argument the window gets.
using WindowStart = int (*)(char* program, const char* movie);

// The dispatch of the command line.
int run(int argc, char** argv, WindowStart startWindow, std::ostream& out, std::ostream& err);

}  // namespace lanemark
