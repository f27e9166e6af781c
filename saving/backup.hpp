#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/movie.hpp"
#include "platform/file.hpp"
#include "saving/digest.hpp"
#include "saving/property_list.hpp"

namespace lanemark {

class Storage;

inline constexpr const char* backupExists =
    "A metadata backup already exists beside this movie. Keep it safe and move it elsewhere before making another "
    "edit.";

// NAME.lanemark-backup in the movie's own folder.
std::filesystem::path backupLocation(const std::filesystem::path& movie);

// The movie's file name as the backup records it: its bytes when they are
// UTF-8, otherwise with each byte that does not decode replaced by U+FFFD.
std::string movieName(const std::filesystem::path& movie);

// The backup's keys. The first four are all that the oldest backups carry;
// the rest prove which states of the movie a restore may start from.
namespace backupKey {
inline constexpr std::string_view offset = "offset";
inline constexpr std::string_view originalSize = "originalSize";
inline constexpr std::string_view metadata = "metadata";
inline constexpr std::string_view movieName = "movieName";
inline constexpr std::string_view digest = "digest";              // which digest: digestName
inline constexpr std::string_view sectorSize = "sectorSize";      // the cells' sector size
inline constexpr std::string_view splits = "splits";              // where cells also end (8-byte numbers)
inline constexpr std::string_view savedRanges = "savedRanges";    // where saves wrote (offset and length, 8 bytes each)
inline constexpr std::string_view savedDigests = "savedDigests";  // each cell of them as the save left it
inline constexpr std::string_view savedSize = "savedSize";        // the movie's length after the save
inline constexpr std::string_view proofDigest = "proofDigest";    // all of the above and the metadata
// After a later save: the same three for the movie as the save before it left it.
inline constexpr std::string_view previousRanges = "previousRanges";
inline constexpr std::string_view previousDigests = "previousDigests";
inline constexpr std::string_view previousSize = "previousSize";
// Backups made with SHA-256 in 4 KiB blocks, restored but no longer made.
inline constexpr std::string_view metadataDigest = "metadataDigest";
inline constexpr std::string_view writtenLength = "writtenLength";
inline constexpr std::string_view writtenDigests = "writtenDigests";
}  // namespace backupKey

// A part of the movie's file.
struct Range {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t end() const { return offset + length; }
};

// One state of the bytes that saves change: where they lie, the digest of
// each of their cells in order, and the movie's length then.
struct Layer {
    std::vector<Range> ranges;
    std::vector<Digest> digests;
    std::uint64_t size = 0;
};

// What a backup proves, beside the original bytes it holds.
struct Proof {
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
    std::string movieName;
    std::vector<std::uint64_t> splits;  // sorted; cells end at these as at sector boundaries
    Layer saved;
    std::optional<Layer> previous;  // the movie as the save before this one left it
};

// The cells of the layer's ranges, in order: where each starts and ends.
std::vector<std::pair<std::uint64_t, std::uint64_t>> cellsOf(const Layer& layer, std::span<const std::uint64_t> splits);

// What a backup that proves the movie is as a save left it hands on to the
// next save: the original, and the state the movie is in.
struct Carried {
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
    Bytes metadata;
    std::vector<std::uint64_t> splits;
    Layer state;
    FileIdentity identity;  // the backup file that was read
};

// The digest that binds every field of the proof, and the original bytes
// through the digests of their cells, so that an edited field is damage.
Digest proofDigest(const Proof& proof, std::span<const Digest> metadataDigests);

// What a backup records: the region of the movie that a save changes, as it
// was before, and what the finished save leaves there.
struct BackupRecord {
    std::uint64_t offset = 0;                // where the region starts in the movie
    std::uint64_t originalSize = 0;          // the movie's length before the save
    std::span<const std::uint8_t> metadata;  // the region's bytes before the save
    // The region's bytes once the save is complete, in order; what it
    // appends past the old end at `appendedAt`; and the movie's length then.
    std::vector<std::span<const std::uint8_t>> written;
    std::vector<std::span<const std::uint8_t>> appended{};
    std::uint64_t appendedAt = 0;
    std::uint64_t savedSize = 0;
    // Where `written` goes and what lies there before the save: the region
    // itself on a first save; on a later one, the movie as the last save left it,
    // whose backup is `carried`, replaced by this one.
    std::uint64_t writtenAt = 0;
    std::span<const std::uint8_t> before{};
    const Carried* carried = nullptr;
    // The movie, open, for the bytes of an earlier cell that this save's grid cuts.
    const File* movie = nullptr;
};

// The record of a movie as opened, before any save has planned what to
// write: as if the save wrote the region's own bytes again.
BackupRecord recordOf(const Movie& movie);

// The backup's binary property list; its data piece is `metadata` itself.
PropertyList backupRecord(const BackupRecord& record, const std::string& movieName);

// Publishes `record` as a binary property list beside `movie`, on storage
// (file, then folder) before this returns, and says which file it made.
// Refuses when anything already exists at the backup path, unless it is the
// backup the record carries on, which is then replaced whole in one rename;
// leaves nothing at that path or beside it when it fails.
FileIdentity writeBackup(const std::filesystem::path& movie, const BackupRecord& record, Storage& storage);
void writeBackup(const Movie& movie, Storage& storage);
void writeBackup(const Movie& movie);

// Takes away the backup a save made, if the backup's name still leads to
// `published`; a file put there since is left alone.
void removeBackup(const std::filesystem::path& movie, FileIdentity published);

}  // namespace lanemark
