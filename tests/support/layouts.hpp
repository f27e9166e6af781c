#pragma once

// Gives "chan" atoms to movies written by other programs. ffmpeg, for one,
// writes none when several mono tracks share a movie, so its output is not yet
// something Lanemark opens.
//
// The walk here is written apart from Lanemark's parser, so that a parsing
// fault cannot hide in a fixture made with it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "tests/support/builder.hpp"

namespace lanemark::build {

// What the walk saw of one "lpcm" sound description, in file order.
struct PcmDescription {
    unsigned version = 0;
    std::uint32_t channels = 0;
    std::vector<Buffer> chanBodies;  // the payloads of its "chan" atoms
};

// The "lpcm" descriptions inside a whole "moov" atom.
std::vector<PcmDescription> pcmDescriptions(const Buffer& metadata);

// `metadata` (a whole "moov" atom) with one "chan" atom appended to each
// "lpcm" description that has none: the i-th such description gets
// `bodies[i]`, or `bodies[0]` when one body is given for all. Every enclosing
// atom's size grows to match. Throws std::runtime_error on anything it cannot
// walk, or when several bodies are given and their number does not match.
// `entry` names another PCM entry type to give layouts to instead.
Buffer withChannelLayouts(const Buffer& metadata, const std::vector<Buffer>& bodies, std::string_view entry = "lpcm");

// The last top-level atom of a movie file, which must be its "moov".
struct TrailingMoov {
    std::uint64_t offset = 0;
    Buffer metadata;
};
TrailingMoov readTrailingMoov(const std::filesystem::path& path);

// withChannelLayouts done to the trailing "moov" of the movie at `path`, in
// place; the bytes before it are left as they are. Returns how many atoms
// were added.
std::size_t addChannelLayouts(const std::filesystem::path& path, const std::vector<Buffer>& bodies = {chanMono()});

}  // namespace lanemark::build
