#pragma once

#include <cstddef>
#include <vector>

#include "metadata/atom.hpp"
#include "metadata/movie.hpp"

namespace lanemark {

// A lazily read tree holds no more atoms than this unless its caller says otherwise;
// real movies hold a few hundred.
inline constexpr std::size_t outlineAtomLimit = std::size_t(1) << 20;
// For an opening that must refuse exactly what the full opening refuses, which counts no atoms.
inline constexpr std::size_t noAtomLimit = std::size_t(-1);
inline constexpr const char* tooManyAtoms = "The movie's metadata holds too many atoms.";

// The metadata at `place` read through `read` as far as the tracks and their labels
// need it: every header on the way to the sample descriptions, and the sample
// descriptions, track headers and handlers whole. Every other atom is there with
// its type but without its body, so the sample tables, nearly all of a long
// movie's metadata, are never read. Refuses what `parse` refuses, with its sentences,
// and a tree of more than `atomLimit` atoms with `tooManyAtoms`.
std::vector<Atom> readOutline(MetadataPlace place, const ReadAt& read, std::size_t atomLimit = outlineAtomLimit);

// What the lazy opening gives of a movie: its PCM tracks and every channel's label.
struct MovieContents {
    std::vector<PcmTrack> tracks;
    std::vector<ChannelLabel> labels;
    FileIdentity identity;  // of the file read
};

// The movie at `url` opened from its outline, with the checks and the sentences of
// a full opening; throws Failure or std::system_error.
MovieContents outlineMovie(const std::filesystem::path& url, std::size_t atomLimit = outlineAtomLimit);

}  // namespace lanemark
