#include "saving/backup.hpp"

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/failure.hpp"
#include "metadata/text.hpp"
#include "platform/file.hpp"
#include "saving/digest.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

using Pieces = std::span<const std::span<const std::uint8_t>>;

constexpr const char* cannotCreate = "Cannot create the backup";

bool occupied(const File& folder, const std::filesystem::path& location) {
    return folder.entry(location, true, "Cannot check for a backup at").has_value();
}

// After a backup step failed, its backup must not stay to block the next edit;
// only the file this save published is taken away.
void unpublish(const File& folder, const std::filesystem::path& location, FileIdentity published) {
    std::optional<FileIdentity> found;
    try {
        found = folder.entry(location, false, "Cannot check for a backup at");
    } catch (const std::system_error&) {
        return;
    }
    if (found == published) folder.removeEntry(location, "Cannot remove the unfinished backup");
}

FileIdentity publishUnnamed(File& file, const File& folder, const std::filesystem::path& location, const Pieces& pieces,
                            Storage& storage) {
    file.writeAt(0, pieces);
    storage.synchroniseBackup(file);
    // Like a hard link it fails on a taken name, so it never replaces a backup.
    if (!file.linkInto(folder, location, cannotCreate)) fail(backupExists);
    return file.identity();
}

// A leftover temporary file is reported rather than left unmentioned.
void removeTemporary(const std::filesystem::path& temporary) {
    removeFile(temporary, "Cannot remove the temporary file");
}

// Renames without ever replacing what is at `to`, so a backup that appeared
// since the existence check is never destroyed.
void publish(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!renameWithoutReplacing(from, to, cannotCreate)) fail(backupExists);
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
