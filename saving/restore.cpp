#include "saving/restore.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>

#include "metadata/atom.hpp"
#include "platform/failure.hpp"
#include "metadata/movie.hpp"
#include "platform/file.hpp"
#include "saving/backup.hpp"
#include "saving/digest.hpp"
#include "saving/property_list.hpp"
#include "saving/plan.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

constexpr const char* damaged = "The metadata backup is damaged.";
constexpr const char* mismatch = "The movie no longer matches its backup. No changes were made.";

// A backup holds one region of about a metadata's size, the digests of what
// replaced it (a 128th of that) and a few small values; anything much larger
// at its path is not one, and is not read into memory.
constexpr std::uint64_t backupLimit = 2 * metadataLimit;

// What the save wrote over the region, as backups record it since they carry digests.
struct Saved {
    std::uint64_t writtenLength = 0;
    Bytes writtenDigests;
    std::uint64_t savedSize = 0;
};

struct Backup {
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
    Bytes metadata;  // a view into the backup as read, so held once however large
    std::string movieName;
    std::optional<Saved> saved;  // nothing in backups made before the digests
    // Whether the region ends with the header of a last atom that ran to the end
    // of the file, which the save gave its real size when it moved the metadata.
    bool closesLastAtom = false;
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

Bytes readEncoded(const std::filesystem::path& location) {
    const File file = openBackup(location);
    const std::uint64_t length = file.length();
    if (length > backupLimit) fail(damaged);
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

// Newer backups carry all four keys of the proof, older ones none of them.
std::optional<Saved> proofOf(const DecodedDictionary& fields, const Backup& backup) {
    const auto* digest = find<Bytes>(fields, backupKey::metadataDigest);
    const auto* length = find<std::uint64_t>(fields, backupKey::writtenLength);
    const auto* digests = find<Bytes>(fields, backupKey::writtenDigests);
    const auto* savedSize = find<std::uint64_t>(fields, backupKey::savedSize);
    if (!digest && !length && !digests && !savedSize) return std::nullopt;
    if (!digest || !length || !digests || !savedSize || !(*digest == sha256(backup.metadata)) ||
        digests->size() != blockCount(backup.offset, *length) * digestSize)
        fail(damaged);
    return Saved{*length, *digests, *savedSize};
}

// The region lies within the file before the save, and what the save wrote within the file it left.
void checkRegion(const Backup& backup) {
    if (backup.offset > backup.originalSize || backup.metadata.size() > backup.originalSize - backup.offset)
        fail(damaged);
    const auto& saved = backup.saved;
    if (saved && (backup.offset > saved->savedSize || saved->writtenLength > saved->savedSize - backup.offset))
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
    Backup backup{required<std::uint64_t>(fields, backupKey::offset),
                  required<std::uint64_t>(fields, backupKey::originalSize),
                  required<Bytes>(fields, backupKey::metadata), required<std::string>(fields, backupKey::movieName),
                  std::nullopt};
    backup.saved = proofOf(fields, backup);
    checkRegion(backup);
    backup.closesLastAtom = checkMetadata(backup.metadata);
    // Only saves that prove what they wrote ever closed a last atom.
    if (backup.closesLastAtom && !backup.saved) fail(damaged);
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

// Bytes past both the old end and the end the save left came later, and a restore would cut them off.
bool nothingAppended(const File& movie, const Backup& backup) {
    return movie.length() <= std::max(backup.originalSize, backup.saved->savedSize);
}

// Every block of the region holds the old metadata's bytes or what the save
// wrote there, so a save or a restore cut short anywhere still restores, and
// nothing else does. Past the shorter of the two the file may end.
bool blocksMatch(const File& movie, const Backup& backup) {
    const std::uint64_t old = backup.metadata.size(), written = backup.saved->writtenLength;
    const auto digests = backup.saved->writtenDigests.span();
    std::vector<std::uint8_t> buffer(digestBlock);
    std::uint64_t block = 0;
    for (std::uint64_t start = 0; start < std::max(old, written); ++block) {
        const std::uint64_t end = blockEnd(backup.offset + start) - backup.offset;
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
                                                  digests.subspan(block * digestSize, digestSize));
        if (!isOld && !isWritten) return false;
        start = end;
    }
    return true;
}

// Older backups prove less: there only the region's place can be checked.
void checkMovie(const File& movie, const Backup& backup) {
    if (!regionInPlace(movie, backup)) fail(mismatch);
    if (backup.saved && (!nothingAppended(movie, backup) || !blocksMatch(movie, backup))) fail(mismatch);
}

}  // namespace

void checkBackup(const Bytes& encoded) { backupFrom(encoded); }

void restoreMovie(const std::filesystem::path& path) { restoreMovie(path, systemStorage()); }

void restoreMovie(const std::filesystem::path& path, Storage& storage) {
    const Backup backup = backupFrom(readEncoded(backupLocation(path)));
    if (backup.movieName != movieName(path)) fail("The metadata backup belongs to another movie.");
    File movie = storage.openForUpdate(path);
    checkMovie(movie, backup);
    // Nothing outside the region is written and the length never drops below
    // its start, so a restore cut short by a crash still passes the checks above next time.
    Progress progress;
    carryOut(restoring(backup.offset, backup.metadata, backup.originalSize), movie.length(), movie, storage, progress,
             {});
    if (movie.length() != backup.originalSize || !movie.holds(backup.offset, backup.metadata))
        fail("Verification failed.");
}

}  // namespace lanemark
