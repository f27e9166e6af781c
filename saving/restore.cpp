#include "saving/restore.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "metadata/failure.hpp"
#include "platform/file.hpp"
#include "metadata/movie.hpp"
#include "saving/backup.hpp"
#include "saving/plan.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

constexpr const char* damaged = "The metadata backup is damaged.";

// A backup is one metadata atom below the size limit and a few small values;
// anything much larger at its path is not one, and is not read into memory.
constexpr std::uint64_t backupLimit = metadataLimit + (1 << 20);

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// The backup as decoded. `metadata` points into the tree that `root` owns,
// so the metadata is held once, however large.
struct Backup {
    Plist root;
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
    std::span<const std::uint8_t> metadata;
    std::string movieName;
};

File openBackup(const std::filesystem::path& location) {
    try {
        return File(location, File::Mode::read);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) fail("No metadata backup exists beside this movie.");
        throw;
    }
}

Plist decode(const std::filesystem::path& location) {
    const File file = openBackup(location);
    const std::uint64_t length = file.length();
    if (length > backupLimit) fail(damaged);
    const Bytes raw = file.readBytesAt(0, static_cast<std::size_t>(length));
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(raw.data()), static_cast<std::uint32_t>(raw.size()), &root);
    if (!root) fail(damaged);
    return Plist(root);
}

plist_t entry(plist_t root, const char* key, plist_type type) {
    const plist_t node = plist_dict_get_item(root, key);
    if (!node || plist_get_node_type(node) != type) fail(damaged);
    return node;
}

// One "moov", and the 'free' or 'skip' atoms a save that took free space after it covered.
bool isOneMoov(std::span<const std::uint8_t> metadata) {
    const auto is = [](std::span<const std::uint8_t> type, const char* name) {
        return std::memcmp(type.data(), name, 4) == 0;
    };
    for (std::size_t at = 0; at < metadata.size();) {
        if (metadata.size() - at < 8) return false;
        const std::size_t size = u32(metadata, at);
        const auto type = metadata.subspan(at + 4, 4);
        const bool fits = at == 0 ? is(type, "moov") : is(type, "free") || is(type, "skip");
        if (!fits || size < 8 || size > metadata.size() - at) return false;
        at += size;
    }
    return !metadata.empty();
}

Backup readBackup(const std::filesystem::path& location) {
    Backup backup;
    backup.root = decode(location);
    const plist_t root = backup.root.get();
    if (plist_get_node_type(root) != PLIST_DICT) fail(damaged);
    plist_get_uint_val(entry(root, "offset", PLIST_UINT), &backup.offset);
    plist_get_uint_val(entry(root, "originalSize", PLIST_UINT), &backup.originalSize);
    std::uint64_t length = 0;
    const char* data = plist_get_data_ptr(entry(root, "metadata", PLIST_DATA), &length);
    if (data) backup.metadata = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length)};
    std::uint64_t nameLength = 0;
    const char* name = plist_get_string_ptr(entry(root, "movieName", PLIST_STRING), &nameLength);
    if (name) backup.movieName.assign(name, static_cast<std::size_t>(nameLength));
    if (!isOneMoov(backup.metadata) || backup.offset > backup.originalSize ||
        backup.originalSize - backup.offset < backup.metadata.size())
        fail(damaged);
    return backup;
}

// Whether the top-level atoms from `from` on, walked by their headers as
// opening walks the restored file of `originalSize` bytes, end exactly at
// `offset`. Nothing else is read: a torn write may have left anything there.
bool atomsLeadTo(const File& movie, std::uint64_t from, std::uint64_t offset, std::uint64_t originalSize) {
    if (from < offset && movie.length() < offset) return false;
    std::uint64_t cursor = from;
    try {
        while (cursor < offset) {
            const auto header =
                movie.readAt(cursor, static_cast<std::size_t>(std::min<std::uint64_t>(16, offset - cursor)));
            cursor += topLevelAtomSize(header, cursor, originalSize);
        }
    } catch (const Failure&) {
        return false;
    }
    return cursor == offset;
}

}  // namespace

void restoreMovie(const std::filesystem::path& path) { restoreMovie(path, systemStorage()); }

void restoreMovie(const std::filesystem::path& path, Storage& storage) {
    const Backup backup = readBackup(backupLocation(path));
    if (backup.movieName != movieName(path)) fail("The metadata backup belongs to another movie.");
    File movie = storage.openForUpdate(path);
    // The atoms after a region that is not last are the save's too: they must lead to the old end.
    if (!atomsLeadTo(movie, 0, backup.offset, backup.originalSize) ||
        !atomsLeadTo(movie, backup.offset + backup.metadata.size(), backup.originalSize, backup.originalSize))
        fail("The movie no longer matches its backup. No changes were made.");
    // Nothing before `offset` is written and the length never drops below it,
    // so a restore cut short by a crash still passes the check above next time.
    Progress progress;
    carryOut(restoring(backup.offset, backup.metadata, backup.originalSize), movie.length(), movie, storage, progress,
             {});
    if (movie.length() != backup.originalSize || !movie.holds(backup.offset, backup.metadata))
        fail("Verification failed.");
}

}  // namespace lanemark
