#include "saving/restore.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>

#include "metadata/atom.hpp"
#include "metadata/movie.hpp"
#include "platform/failure.hpp"
#include "platform/file.hpp"
#include "saving/backup.hpp"
#include "saving/digest.hpp"
#include "saving/plan.hpp"
#include "saving/property_list.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

constexpr const char* damaged = "The metadata backup is damaged.";
constexpr const char* mismatch = "The movie no longer matches its backup. No changes were made.";

// A backup holds one region of about a metadata's size, the digests of the
// states it proves (a 32nd of that for each) and a few small values; anything
// much larger at its path is not one, and is not read into memory.
constexpr std::uint64_t backupLimit = 2 * metadataLimit;

// What the save wrote, as backups made with SHA-256 in 4 KiB blocks record it.
struct Legacy {
    std::uint64_t writtenLength = 0;
    Bytes writtenDigests;
    std::uint64_t savedSize = 0;
};

enum class Format { fourKeys, legacy, proven };

struct Backup {
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
    Bytes metadata;  // a view into the backup as read, so held once however large
    std::string movieName;
    Format format = Format::fourKeys;
    Legacy legacy;
    Proof proof;
    std::vector<Digest> metadataDigests;
    // Whether the region ends with the header of a last atom that ran to the end
    // of the file, which the save gave its real size when it moved the metadata.
    bool closesLastAtom = false;

    Range region() const { return {offset, metadata.size()}; }
};

File openBackup(const std::filesystem::path& location) {
    try {
        return File(location, File::Mode::read);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) fail("No metadata backup exists beside this movie.");
        throw;
    } catch (const Failure& failure) {
        // A folder, a pipe or a device, opened without waiting: nothing a save makes.
        if (failure.kind() == FailureKind::notRegular) fail(damaged);
        throw;
    }
}

Bytes readEncoded(const std::filesystem::path& location, FileIdentity* identity = nullptr) {
    const File file = openBackup(location);
    const std::uint64_t length = file.length();
    if (length > backupLimit) fail(damaged);
    if (identity) *identity = file.identity();
    return file.readBytesAt(0, static_cast<std::size_t>(length));
}

// The value of `key`, or nothing when the key is absent; a value of another type is damage.
template <typename T>
const T* find(const DecodedDictionary& fields, std::string_view key) {
    const auto at = fields.find(key);
    if (at == fields.end()) return nullptr;
    const T* value = std::get_if<T>(&at->second);
    if (!value) fail(damaged);
    return value;
}

template <typename T>
const T& required(const DecodedDictionary& fields, std::string_view key) {
    const T* value = find<T>(fields, key);
    if (!value) fail(damaged);
    return *value;
}

std::vector<std::uint64_t> numbersIn(const Bytes& data) {
    std::vector<std::uint64_t> values;
    for (std::size_t at = 0; at + 8 <= data.size(); at += 8) values.push_back(u64(data, at));
    return values;
}

// How many cells `range` has; bounded by `limit`, so a crafted length cannot make it count for ever.
std::uint64_t cellCount(Range range, const std::vector<std::uint64_t>& splits, std::uint64_t limit) {
    std::uint64_t count = 0;
    for (std::uint64_t at = range.offset; at < range.end() && count <= limit; at = cellEnd(at, splits)) ++count;
    return count;
}

// Backups made with SHA-256 carry all four keys of that proof, the oldest ones none of them.
void readLegacy(const DecodedDictionary& fields, Backup& backup) {
    const auto* digest = find<Bytes>(fields, backupKey::metadataDigest);
    const auto* length = find<std::uint64_t>(fields, backupKey::writtenLength);
    const auto* digests = find<Bytes>(fields, backupKey::writtenDigests);
    const auto* savedSize = find<std::uint64_t>(fields, backupKey::savedSize);
    if (!digest && !length && !digests && !savedSize) return;
    if (!digest || !length || !digests || !savedSize || !(*digest == sha256(backup.metadata))) fail(damaged);
    if (backup.offset > *savedSize || *length > *savedSize - backup.offset) fail(damaged);
    const std::uint64_t blocks =
        *length == 0 ? 0 : (backup.offset + *length - 1) / legacyBlock - backup.offset / legacyBlock + 1;
    if (digests->size() % legacyDigestSize != 0 || digests->size() / legacyDigestSize != blocks) fail(damaged);
    backup.format = Format::legacy;
    backup.legacy = {*length, *digests, *savedSize};
}

// One state of the proof: its ranges, the digests of their cells, and the movie's length then.
Layer layerOf(const DecodedDictionary& fields, std::string_view rangesKey, std::string_view digestsKey,
              std::string_view sizeKey, const std::vector<std::uint64_t>& splits) {
    const auto& ranges = required<Bytes>(fields, rangesKey);
    const auto& digests = required<Bytes>(fields, digestsKey);
    if (ranges.size() % 16 != 0 || digests.size() % digestSize != 0) fail(damaged);
    Layer layer;
    const auto values = numbersIn(ranges);
    for (std::size_t i = 0; i < values.size(); i += 2) layer.ranges.push_back({values[i], values[i + 1]});
    layer.size = required<std::uint64_t>(fields, sizeKey);
    for (std::size_t at = 0; at < digests.size(); at += digestSize)
        std::copy_n(digests.begin() + at, digestSize, layer.digests.emplace_back().begin());
    std::uint64_t cells = 0;
    for (const Range range : layer.ranges) {
        if (range.offset > layer.size || range.length > layer.size - range.offset) fail(damaged);
        cells += cellCount(range, splits, layer.digests.size());
    }
    if (cells != layer.digests.size()) fail(damaged);
    return layer;
}

void readProof(const DecodedDictionary& fields, Backup& backup) {
    if (required<std::string>(fields, backupKey::digest) != digestName ||
        required<std::uint64_t>(fields, backupKey::sectorSize) != sectorSize)
        fail(damaged);
    const auto& splits = required<Bytes>(fields, backupKey::splits);
    const auto& proven = required<Bytes>(fields, backupKey::proofDigest);
    if (splits.size() % 8 != 0 || proven.size() != digestSize) fail(damaged);
    Proof& proof = backup.proof;
    proof = {backup.offset, backup.originalSize, backup.movieName, numbersIn(splits), {}, std::nullopt};
    if (!std::ranges::is_sorted(proof.splits) || std::ranges::adjacent_find(proof.splits) != proof.splits.end())
        fail(damaged);
    proof.saved = layerOf(fields, backupKey::savedRanges, backupKey::savedDigests, backupKey::savedSize, proof.splits);
    if (fields.contains(backupKey::previousRanges))
        proof.previous = layerOf(fields, backupKey::previousRanges, backupKey::previousDigests, backupKey::previousSize,
                                 proof.splits);
    const std::span<const std::uint8_t> metadata = backup.metadata;
    backup.metadataDigests = cellDigests(std::span(&metadata, 1), backup.offset, proof.splits);
    if (!(proven == proofDigest(proof, backup.metadataDigests))) fail(damaged);
    backup.format = Format::proven;
}

// The region lies within the file before the save.
void checkRegion(const Backup& backup) {
    if (backup.offset > backup.originalSize || backup.metadata.size() > backup.originalSize - backup.offset)
        fail(damaged);
}

// The region's old bytes are one "moov" that opens as a movie's metadata
// does, followed only by the free space a save may have grown it over, or by
// the atoms up to and including the header of a last atom that ran to the end
// of the file (size 0). Says which.
bool checkMetadata(const Bytes& metadata) {
    if (metadata.size() < 8) fail(damaged);
    bool closes = false, others = false;
    try {
        for (std::uint64_t at = 0; at < metadata.size();) {
            const auto header = metadata.span().subspan(at, std::min<std::size_t>(16, metadata.size() - at));
            if (at == 0 && !hasType(header, "moov")) fail(damaged);
            if (at > 0) {
                closes = header.size() >= 8 && u32(header, 0) == 0;
                if (closes && metadata.size() - at != 8) fail(damaged);
                // A second "moov" no save ever left in a region.
                if (hasType(header, "moov")) fail(damaged);
                others = others || (!closes && !isFreeSpace(header));
            }
            at += topLevelAtomSize(header, at, metadata.size());
        }
        const std::uint32_t moovSize = u32(metadata, 0);
        if (moovSize < 8 || moovSize >= metadataLimit) fail(damaged);
        checkedTracks(parse(metadata.slice(0, moovSize)));
    } catch (const Failure&) {
        fail(damaged);
    }
    if (others && !closes) fail(damaged);
    return closes;
}

Backup backupFrom(const Bytes& encoded) {
    const auto decoded = decodeDictionary(encoded);
    if (!decoded) fail(damaged);
    const DecodedDictionary& fields = *decoded;
    Backup backup;
    backup.offset = required<std::uint64_t>(fields, backupKey::offset);
    backup.originalSize = required<std::uint64_t>(fields, backupKey::originalSize);
    backup.metadata = required<Bytes>(fields, backupKey::metadata);
    backup.movieName = required<std::string>(fields, backupKey::movieName);
    checkRegion(backup);
    if (fields.contains(backupKey::digest))
        readProof(fields, backup);
    else
        readLegacy(fields, backup);
    backup.closesLastAtom = checkMetadata(backup.metadata);
    // Only saves that prove what they wrote ever closed a last atom.
    if (backup.closesLastAtom && backup.format != Format::proven) fail(damaged);
    return backup;
}

// Whether the top-level atoms from `from` on, walked by their headers as
// opening walks the restored file of `originalSize` bytes, end exactly at `to`.
bool atomsLead(const File& movie, std::uint64_t from, std::uint64_t to, std::uint64_t originalSize) {
    if (from < to && movie.length() < to) return false;
    std::uint64_t cursor = from;
    try {
        while (cursor < to) {
            const auto header =
                movie.readAt(cursor, static_cast<std::size_t>(std::min<std::uint64_t>(16, to - cursor)));
            cursor += topLevelAtomSize(header, cursor, originalSize);
        }
    } catch (const Failure&) {
        return false;
    }
    return cursor == to;
}

// Bytes before the region and after it are never written, so in any state
// a save or a restore leaves, the walk meets the region's ends, and the
// region begins with a "moov" or the 'free' atom a relocating save turns it into.
// A region that ends inside the last atom, after its header, leaves nothing to walk.
bool regionInPlace(const File& movie, const Backup& backup) {
    const auto header = movie.readAt(backup.offset, 8);
    return atomsLead(movie, 0, backup.offset, backup.originalSize) &&
           (backup.closesLastAtom ||
            atomsLead(movie, backup.offset + backup.metadata.size(), backup.originalSize, backup.originalSize)) &&
           (hasType(header, "moov") || hasType(header, "free"));
}

// A backup without a proof restores only a trailing save: a "moov" at
// `offset` that runs to the end of the file, where the region ended too.
bool trailingSaveInPlace(const File& movie, const Backup& backup, std::uint64_t length) {
    if (backup.offset + backup.metadata.size() != backup.originalSize || length < backup.offset + 8) return false;
    const auto header = movie.readAt(backup.offset, 16);
    try {
        return atomsLead(movie, 0, backup.offset, backup.originalSize) && hasType(header, "moov") &&
               topLevelAtomSize(header, backup.offset, length) == length - backup.offset;
    } catch (const Failure&) {
        return false;
    }
}

// SHA-256 backups: every 4 KiB block of the region holds the old bytes or what
// the save wrote there, and what a relocating save appended past them is one
// "moov" that runs to the end of the file.
bool legacyBlocksMatch(const File& movie, const Backup& backup, std::uint64_t length) {
    const Legacy& saved = backup.legacy;
    const std::uint64_t old = backup.metadata.size(), written = saved.writtenLength;
    if (length != backup.originalSize && length != saved.savedSize) return false;
    if (length > std::max(backup.originalSize, backup.offset + written)) {
        const auto header = movie.readAt(backup.originalSize, 16);
        try {
            if (backup.offset + written > backup.originalSize || !hasType(header, "moov") ||
                topLevelAtomSize(header, backup.originalSize, length) != length - backup.originalSize)
                return false;
        } catch (const Failure&) {
            return false;
        }
    }
    const auto digests = saved.writtenDigests.span();
    std::vector<std::uint8_t> buffer(legacyBlock);
    std::uint64_t block = 0;
    for (std::uint64_t start = 0; start < std::max(old, written); ++block) {
        const std::uint64_t end = ((backup.offset + start) / legacyBlock + 1) * legacyBlock - backup.offset;
        const auto oldPart = static_cast<std::size_t>(start < old ? std::min(end, old) - start : 0);
        const auto writtenPart = static_cast<std::size_t>(start < written ? std::min(end, written) - start : 0);
        const auto read =
            movie.readInto(std::span(buffer).first(std::max(oldPart, writtenPart)), backup.offset + start);
        if (read == 0 && start >= std::min(old, written)) return true;
        const bool isOld =
            oldPart > 0 && read >= oldPart &&
            std::equal(buffer.begin(), buffer.begin() + std::ptrdiff_t(oldPart), backup.metadata.begin() + start);
        const bool isWritten = writtenPart > 0 && read >= writtenPart &&
                               std::ranges::equal(sha256(std::span(buffer).first(writtenPart)),
                                                  digests.subspan(block * legacyDigestSize, legacyDigestSize));
        if (!isOld && !isWritten) return false;
        start = end;
    }
    return true;
}

// A cell of the file and a digest its bytes may have.
struct Cell {
    std::uint64_t start = 0, end = 0;
    Digest digest{};
    bool mayBeZero = false;  // what a growing write had not yet put on disk reads as zeros
};

void addCells(std::vector<Cell>& cells, const Layer& layer, const std::vector<std::uint64_t>& splits,
              std::uint64_t zerosFrom) {
    const auto bounds = cellsOf(layer, splits);
    for (std::size_t i = 0; i < bounds.size(); ++i)
        cells.push_back({bounds[i].first, bounds[i].second, layer.digests[i], bounds[i].first >= zerosFrom});
}

// Whether every cell of the file within `length` has one of the digests
// `cells` give for it. The file ends only where a save, a rollback or a
// restore left it, so no cell is cut.
bool matches(const File& movie, std::vector<Cell> cells, std::uint64_t length) {
    std::ranges::stable_sort(cells, {}, &Cell::start);
    std::vector<std::uint8_t> buffer(1 << 20);
    std::uint64_t bufferStart = 0, bufferEnd = 0;
    for (std::size_t first = 0; first < cells.size();) {
        const Cell& cell = cells[first];
        std::size_t last = first;
        while (last < cells.size() && cells[last].start == cell.start) ++last;
        if (cell.start < length) {
            if (cell.end > length) return false;
            if (cell.start < bufferStart || cell.end > bufferEnd) {
                bufferStart = cell.start;
                bufferEnd = bufferStart + movie.readInto(buffer, bufferStart);
                if (cell.end > bufferEnd) return false;
            }
            const auto bytes = std::span(buffer).subspan(cell.start - bufferStart, cell.end - cell.start);
            const Digest found = digestOf(bytes);
            const bool zeros = std::ranges::all_of(bytes, [](std::uint8_t byte) { return byte == 0; });
            if (std::none_of(cells.begin() + std::ptrdiff_t(first), cells.begin() + std::ptrdiff_t(last),
                             [&](const Cell& accepted) {
                                 return accepted.end == cell.end &&
                                        (accepted.digest == found || (accepted.mayBeZero && zeros));
                             }))
                return false;
        }
        first = last;
    }
    return true;
}

// Every cell holds the original bytes, or what the last save wrote there, or
// what the save before it left there: a save, a rollback or a restore cut
// short anywhere still restores, and nothing else does. Every byte a restore
// would cut off is proven to be a save's.
bool cellsMatch(const File& movie, const Backup& backup, std::uint64_t length) {
    const Proof& proof = backup.proof;
    const std::uint64_t before = proof.previous ? proof.previous->size : backup.originalSize;
    if (length != backup.originalSize && length != proof.saved.size && length != before) return false;
    // A write that lengthens the file may reach the disk with its length but without its bytes.
    const std::uint64_t shortest = std::min({backup.originalSize, proof.saved.size, before});
    std::vector<Cell> cells;
    addCells(cells, {{backup.region()}, backup.metadataDigests, backup.originalSize}, proof.splits, shortest);
    addCells(cells, proof.saved, proof.splits, shortest);
    if (proof.previous) addCells(cells, *proof.previous, proof.splits, shortest);
    return matches(movie, std::move(cells), length);
}

void checkMovie(const File& movie, const Backup& backup, std::uint64_t length) {
    bool matches = false;
    if (backup.format == Format::fourKeys)
        matches = trailingSaveInPlace(movie, backup, length);
    else if (regionInPlace(movie, backup))
        matches = backup.format == Format::legacy ? legacyBlocksMatch(movie, backup, length)
                                                  : cellsMatch(movie, backup, length);
    if (!matches) fail(mismatch);
}

// The backup beside `path`, belonging to it.
Backup backupOf(const std::filesystem::path& path, FileIdentity& identity) {
    Backup backup = backupFrom(readEncoded(backupLocation(path), &identity));
    if (backup.movieName != movieName(path)) fail("The metadata backup belongs to another movie.");
    return backup;
}

}  // namespace

void checkBackup(const Bytes& encoded) { backupFrom(encoded); }

void restoreMovie(const std::filesystem::path& path) { restoreMovie(path, systemStorage()); }

Carried provenBackup(const std::filesystem::path& path, const File& movie) {
    Carried carried;
    const Backup backup = backupOf(path, carried.identity);
    const std::uint64_t length = movie.length();
    if (backup.format != Format::proven || !regionInPlace(movie, backup)) fail(mismatch);
    const Proof& proof = backup.proof;
    for (const Layer* layer : {&proof.saved, proof.previous ? &*proof.previous : nullptr}) {
        std::vector<Cell> cells;
        if (!layer || layer->size != length) continue;
        addCells(cells, *layer, proof.splits, ~0ULL);
        if (!matches(movie, std::move(cells), length)) continue;
        carried = {backup.offset, backup.originalSize, backup.metadata, proof.splits, *layer, carried.identity};
        return carried;
    }
    fail(mismatch);
}

void discardBackup(const std::filesystem::path& path) {
    const File movie(path, File::Mode::read);
    removeBackup(path, provenBackup(path, movie).identity);
}

void restoreMovie(const std::filesystem::path& path, Storage& storage) {
    FileIdentity identity;
    const Backup backup = backupOf(path, identity);
    File movie = storage.openForUpdate(path);
    const std::uint64_t length = movie.length();
    checkMovie(movie, backup, length);
    // Nothing outside the region is written and the length never drops below
    // its start, so a restore cut short by a crash still passes the checks
    // above next time. The length is set only where the save changed it, and
    // checked through the descriptor just before, so that bytes another
    // program appends meanwhile are not cut off.
    bool before = true;
    const auto expect = [&](std::uint64_t expected) {
        if (movie.length() != expected)
            fail(before ? mismatch
                        : "The movie changed while it was being restored. The bytes added meanwhile were kept.");
        before = false;
    };
    Progress progress;
    carryOut(restoring(backup.offset, backup.metadata, backup.originalSize), length, movie, storage, progress, expect);
    if (movie.length() != backup.originalSize || !movie.holds(backup.offset, backup.metadata))
        fail("Verification failed.");
    // The movie is the original again, so the backup holds nothing it lacks.
    storage.removeBackup(path, identity);
}

}  // namespace lanemark
