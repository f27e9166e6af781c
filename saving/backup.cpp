#include "saving/backup.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/failure.hpp"
#include "metadata/text.hpp"
#include "platform/file.hpp"
#include "saving/digest.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

using Pieces = std::span<const std::span<const std::uint8_t>>;

bool occupied(const File& folder, const std::filesystem::path& location) {
    struct stat info {};
    if (::fstatat(folder.descriptor(), location.filename().c_str(), &info, 0) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    raiseSystemError("Cannot check for a backup at", location, errno);
}

// After a backup step failed, its backup must not stay to block the next edit;
// only the file this save published is taken away.
void unpublish(const File& folder, const std::filesystem::path& location, FileIdentity published) {
    struct stat info {};
    const auto name = location.filename();
    if (::fstatat(folder.descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (FileIdentity{std::uint64_t(info.st_dev), std::uint64_t(info.st_ino)} != published) return;
    if (::unlinkat(folder.descriptor(), name.c_str(), 0) != 0)
        raiseSystemError("Cannot remove the unfinished backup", location, errno);
}

// Names the unnamed file; like a hard link it fails on a taken name, so it never replaces a backup.
void link(const File& file, const File& folder, const std::filesystem::path& location) {
    const std::string source = "/proc/self/fd/" + std::to_string(file.descriptor());
    if (::linkat(AT_FDCWD, source.c_str(), folder.descriptor(), location.filename().c_str(), AT_SYMLINK_FOLLOW) == 0)
        return;
    if (errno == EEXIST) fail(backupExists);
    raiseSystemError("Cannot create the backup", location, errno);
}

FileIdentity publishUnnamed(File& file, const File& folder, const std::filesystem::path& location, const Pieces& pieces,
                            Storage& storage) {
    file.writeAt(0, pieces);
    storage.synchroniseBackup(file);
    link(file, folder, location);
    return file.identity();
}

// A leftover temporary file is reported rather than left unmentioned.
void removeTemporary(const std::filesystem::path& temporary) {
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT)
        raiseSystemError("Cannot remove the temporary file", temporary, errno);
}

// Renames without ever replacing what is at `to`, so a backup that appeared
// since the existence check is never destroyed.
void publish(const std::filesystem::path& from, const std::filesystem::path& to) {
#if defined(__APPLE__)
    if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return;
    if (errno == EEXIST) fail(backupExists);
    raiseSystemError("Cannot create the backup", to, errno);
#else
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno == EEXIST) fail(backupExists);
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) raiseSystemError("Cannot create the backup", to, errno);
#endif
    // File systems without an exclusive rename: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) fail(backupExists);
        raiseSystemError("Cannot create the backup", to, errno);
    }
    try {
        removeTemporary(from);
    } catch (...) {
        ::unlink(to.c_str());
        throw;
    }
#endif
}

// Where no unnamed file can be made: a hidden temporary name, renamed without replacing.
FileIdentity publishNamed(const std::filesystem::path& location, const Pieces& pieces, Storage& storage) {
    std::string temporaryName = ".";
    temporaryName += location.filename().string();
    temporaryName += ".XXXXXX";
    File temporary = File::createUnique(location.parent_path() / temporaryName);
    try {
        temporary.writeAt(0, pieces);
        storage.synchroniseBackup(temporary);
        temporary.close();
        publish(temporary.path(), location);
    } catch (...) {
        removeTemporary(temporary.path());
        throw;
    }
    return temporary.identity();
}

}  // namespace

std::filesystem::path backupLocation(const std::filesystem::path& movie) {
    auto location = movie;
    location += ".lanemark-backup";
    return location;
}

std::string movieName(const std::filesystem::path& movie) { return wellFormedUtf8(movie.filename().string()); }

PropertyList backupRecord(const BackupRecord& record, const std::string& movieName) {
    const Digest metadataDigest = sha256(record.metadata);
    const std::vector<std::uint8_t> writtenDigests = blockDigests(record.written, record.offset);
    std::uint64_t writtenLength = 0;
    for (const auto piece : record.written) writtenLength += piece.size();
    using Data = std::span<const std::uint8_t>;
    // `metadata` comes last: the last data value is written from where it lies.
    const PropertyEntry entries[] = {
        {backupKey::offset, record.offset},        {backupKey::originalSize, record.originalSize},
        {backupKey::movieName, movieName},         {backupKey::metadataDigest, Data(metadataDigest)},
        {backupKey::writtenLength, writtenLength}, {backupKey::writtenDigests, Data(writtenDigests)},
        {backupKey::savedSize, record.savedSize},  {backupKey::metadata, record.metadata}};
    return encodeDictionary(entries);
}

BackupRecord recordOf(const Movie& movie) {
    BackupRecord record;
    record.offset = movie.offset();
    record.originalSize = movie.size();
    record.metadata = movie.metadata();
    record.written = {record.metadata};
    record.savedSize = movie.size();
    return record;
}

FileIdentity writeBackup(const std::filesystem::path& movie, const BackupRecord& record, Storage& storage) {
    const auto location = backupLocation(movie);
    // Opened first: a folder that cannot be synchronised must not receive a backup at all.
    File folder(location.parent_path(), File::Mode::folder);
    if (occupied(folder, location)) fail(backupExists);
    const PropertyList encoded = backupRecord(record, movieName(movie));
    FileIdentity published;
    if (auto unnamed = storage.createUnnamed(folder, location))
        published = publishUnnamed(*unnamed, folder, location, encoded.pieces(), storage);
    else
        published = publishNamed(location, encoded.pieces(), storage);
    try {
        storage.synchroniseFolder(folder);
    } catch (...) {
        unpublish(folder, location, published);
        throw;
    }
    return published;
}

void writeBackup(const Movie& movie, Storage& storage) { writeBackup(movie.url(), recordOf(movie), storage); }

void writeBackup(const Movie& movie) { writeBackup(movie, systemStorage()); }

void removeBackup(const std::filesystem::path& movie, FileIdentity published) {
    const auto location = backupLocation(movie);
    File folder(location.parent_path(), File::Mode::folder);
    unpublish(folder, location, published);
    folder.sync();
}

}  // namespace lanemark
