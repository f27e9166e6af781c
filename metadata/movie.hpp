#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "metadata/atom.hpp"
#include "platform/bytes.hpp"
#include "metadata/tracks.hpp"
#include "platform/file.hpp"

namespace lanemark {

class Storage;

// Movies whose metadata reaches this size are refused.
inline constexpr std::uint64_t metadataLimit = 0x8000000;

inline constexpr const char* notOneTrailingBlock =
    "This version supports movies with one standard metadata block at the end. No changes were made.";
inline constexpr const char* fragmented = "Fragmented movies are not supported. No changes were made.";
inline constexpr const char* notEnoughMemoryToOpen = "Not enough memory to open this movie.";
inline constexpr const char* notEnoughMemoryToSave = "Not enough memory to save this movie.";

// One opened movie: its one "moov" as read, parsed and validated, its
// PCM tracks and one label (or none) per channel of them. Immutable once opened.
class Movie {
public:
    // Reads, parses and validates the movie at `url`; throws Failure or std::system_error.
    explicit Movie(std::filesystem::path url);

    const std::filesystem::path& url() const { return url_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t size() const { return size_; }
    // Whether the metadata ends the file.
    bool trailing() const { return offset_ + metadata_.size() == size_; }
    // The sizes of the 'free' and 'skip' atoms right after the metadata, in file order.
    const std::vector<std::uint64_t>& spaceAfter() const { return spaceAfter_; }
    // Where the last top-level atom starts when its size field is 0: it runs to the end of the file.
    std::optional<std::uint64_t> openEnd() const { return openEnd_; }
    const Bytes& metadata() const { return metadata_; }
    const std::vector<Atom>& atoms() const { return atoms_; }
    const std::vector<PcmTrack>& tracks() const { return tracks_; }
    // Every channel of every PCM track, in file order.
    const std::vector<ChannelLabel>& labels() const { return labels_; }
    // The file that was read, whatever name it goes by later.
    FileIdentity identity() const { return identity_; }

    // Refuses trees outside the supported shape.
    static void validate(const std::vector<Atom>& atoms);

    // Writes `labels`, one per channel, into the file, in place or with the metadata moved to
    // the end, with backup, verification and rollback.
    void save(const std::vector<std::uint32_t>& labels) const;
    // The same, with every step on disk taken through `storage`.
    void save(const std::vector<std::uint32_t>& labels, Storage& storage) const;

private:
    std::filesystem::path url_;
    std::uint64_t offset_ = 0;
    std::uint64_t size_ = 0;
    Bytes metadata_;
    std::vector<std::uint64_t> spaceAfter_;
    std::optional<std::uint64_t> openEnd_;
    std::vector<Atom> atoms_;
    std::vector<PcmTrack> tracks_;
    std::vector<ChannelLabel> labels_;
    FileIdentity identity_;
};

// Fills as much of `into` as a file holds from `offset` on and says how much that was.
using ReadAt = std::function<std::size_t(std::span<std::uint8_t> into, std::uint64_t offset)>;

// Where the one "moov" lies among the top-level atoms.
struct MetadataPlace {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};
// The walk over the top-level atoms of a file of `fileSize` bytes that `read`
// reads, with every refusal of opening; it reads headers only.
MetadataPlace locateMetadata(std::uint64_t fileSize, const ReadAt& read);

// The metadata as opening finds it, read whole.
struct FoundMetadata {
    MetadataPlace place;
    std::uint64_t size = 0;  // of the whole file
    Bytes metadata;
    // The sizes of the 'free' and 'skip' atoms right after the metadata, in file order.
    std::vector<std::uint64_t> spaceAfter;
    // Where the last top-level atom starts when its size field is 0.
    std::optional<std::uint64_t> openEnd;
    FileIdentity identity;  // of the file read; left empty by a walk over memory
};
FoundMetadata findMetadata(std::uint64_t fileSize, const ReadAt& read);
FoundMetadata readMetadata(const std::filesystem::path& url);

// What opening checks in a parsed tree, and the PCM tracks it then finds; throws Failure.
std::vector<PcmTrack> checkedTracks(const std::vector<Atom>& atoms);

// Whether the atom whose header (at least 8 bytes) is `header` has the four-character `type`.
bool hasType(std::span<const std::uint8_t> header, std::string_view type);
// Whether it is 'free' or 'skip': space a save may take.
bool isFreeSpace(std::span<const std::uint8_t> header);

// The length of the top-level atom at `cursor` whose first (up to 16) bytes are
// `header`, in a file of `fileSize` bytes, as the opening walk measures it;
// throws the walk's Failure for a header it refuses.
std::uint64_t topLevelAtomSize(std::span<const std::uint8_t> header, std::uint64_t cursor, std::uint64_t fileSize);

}  // namespace lanemark
