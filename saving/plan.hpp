#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/bytes.hpp"
#include "metadata/movie.hpp"
#include "saving/backup.hpp"

namespace lanemark {

class Storage;

inline constexpr const char* openEndTooLarge =
    "The movie's last atom runs to the end of the file and is too large to close. No changes were made.";

using Pieces = std::vector<std::span<const std::uint8_t>>;

// Bytes that go to one place of a movie, as pieces so that nothing is copied.
struct Patch {
    std::uint64_t offset = 0;
    Pieces pieces;
    // On storage before anything after it is written: a crash then finds this patch whole.
    bool synchronised = false;
};

// Everything a save, a rollback or a restore does to a movie: the patches in
// write order, then the file's length.
struct Plan {
    std::vector<Patch> patches;
    std::uint64_t length = 0;
};

// Puts a region back: its old bytes at `offset`, then the old length.
Plan restoring(std::uint64_t offset, std::span<const std::uint8_t> old, std::uint64_t length);

// Where Lanemark's own bytes stop while a plan is carried out; past it lies
// what another program wrote meanwhile.
struct Progress {
    std::uint64_t end = 0;
    bool touched = false;
};

// Carries out `plan` on `file`, `length` bytes long, through `storage`, and
// synchronises it. `expect` is told before the first write and after every
// write how long the file must be by then. The length is set only where the
// writes leave the file longer than the plan says.
void carryOut(const Plan& plan, std::uint64_t length, File& file, Storage& storage, Progress& progress,
              const std::function<void(std::uint64_t)>& expect);

// A save worked out before anything is written: what the backup records and what is written.
struct SavePlan {
    BackupRecord record;
    Plan plan;
    // What the pieces above point into.
    EncodedPieces fresh;
    Bytes old, freeHeader, closedSize;
};

// How many bytes of the space right after a metadata atom of `oldLength`
// bytes one of `newLength` bytes may take: the first of the free atoms
// `spaceAfter` that cover the growth and leave nothing or room for a free
// atom. 0 when they do not, or the region would reach the size limit.
std::uint64_t spaceTaken(const std::vector<std::uint64_t>& spaceAfter, std::uint64_t oldLength,
                         std::uint64_t newLength);

// How many bytes from the metadata's offset a save of new metadata of
// `newLength` bytes changes: the metadata and any free space it takes. When
// the metadata must move to the end of a file whose last atom runs to the end
// (size 0), everything up to the end of that atom's header, as the save first
// writes the atom's real size there. Refuses, before anything is written, such
// an atom whose size needs more than 32 bits, and a region no backup may hold.
std::uint64_t regionLength(const Movie& movie, std::uint64_t newLength);

// The save of `fresh` in place of `movie`'s metadata. `region` is the old bytes
// from the metadata's offset on, `regionLength` of them.
SavePlan planSave(const Movie& movie, EncodedPieces fresh, Bytes region);

}  // namespace lanemark
