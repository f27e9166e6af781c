#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analysis/loudness.hpp"
#include "analysis/measures.hpp"
#include "metadata/tracks.hpp"

namespace lanemark {

inline constexpr const char* tooMuchToMeasure =
    "This movie has too many PCM channels, or too high a sample rate, to measure within 64 MiB.";
inline constexpr const char* movieEndsEarly = "The movie ends before the samples its tables place.";

struct ChannelAnalysis {
    ChannelLabel label;
    ChannelMeasures measures;
};

struct TrackAnalysis {
    std::optional<std::uint32_t> trackId;
    std::size_t firstChannel = 1;  // numbered from 1 across the movie
    std::vector<ChannelAnalysis> channels;
};

// Consecutive channels that together carry one layout, or one channel alone.
struct Program {
    std::vector<std::size_t> channels;  // numbered from 1 across the movie
    std::optional<std::string> layout;  // "stereo", "LtRt", "5.1" or "7.1"; none for one channel
};

struct ProgramAnalysis {
    Program program;
    Loudness loudness;
};

// Where a channel's label does not fit its sound.
struct Finding {
    std::string code;
    std::vector<std::size_t> channels;  // numbered from 1 across the movie
    std::string text;
};

struct MovieAnalysis {
    std::vector<TrackAnalysis> tracks;
    std::vector<ProgramAnalysis> programs;
    std::vector<Finding> findings;
};

// The programs of a movie's channels: runs of channels of one sample rate whose
// labels are exactly those of a layout, in any order within the run.
std::vector<Program> programsOf(const std::vector<ChannelLabel>& labels, const std::vector<double>& sampleRates);

// What the measures say against the labels.
std::vector<Finding> findingsOf(const std::vector<TrackAnalysis>& tracks, const std::vector<Likeness::Pair>& alike);

// Reports how many of the audio bytes have been measured, of how many.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Reads the samples of every PCM track of the movie at `path`, and nothing else of
// it, each byte once, in file order where the tracks allow it; throws Failure or
// std::system_error when the movie does not open or its tables do not add up.
MovieAnalysis analyzeMovie(const std::filesystem::path& path, const Progress& progress = {});

}  // namespace lanemark
