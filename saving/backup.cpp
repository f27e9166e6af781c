#include "saving/backup.hpp"

#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "metadata/text.hpp"
#include "platform/failure.hpp"
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

Digest proofDigest(const Proof& proof, std::span<const Digest> metadataDigests) {
    Hasher hasher;
    for (const std::uint64_t number : {proof.offset, proof.originalSize, proof.saved.size, sectorSize})
        hasher.add(number);
    hasher.add(std::uint64_t{proof.movieName.size()});
    hasher.add(std::span(reinterpret_cast<const std::uint8_t*>(proof.movieName.data()), proof.movieName.size()));
    hasher.add(std::uint64_t{proof.splits.size()});
    for (const std::uint64_t split : proof.splits) hasher.add(split);
    hasher.add(std::uint64_t{proof.saved.ranges.size()});
    for (const Range range : proof.saved.ranges) hasher.add(range.offset), hasher.add(range.length);
    for (const auto& digests : {metadataDigests, std::span<const Digest>(proof.saved.digests)}) {
        hasher.add(std::uint64_t{digests.size()});
        for (const Digest& digest : digests) hasher.add(digest);
    }
    return hasher.finish();
}

namespace {

std::uint64_t lengthOf(Pieces pieces) {
    std::uint64_t length = 0;
    for (const auto piece : pieces) length += piece.size();
    return length;
}

std::vector<std::uint8_t> numbers(std::span<const std::uint64_t> values) {
    std::vector<std::uint8_t> encoded;
    for (const std::uint64_t value : values)
        for (int i = 0; i < 8; ++i) encoded.push_back(std::uint8_t(value >> (56 - 8 * i)));
    return encoded;
}

}  // namespace

PropertyList backupRecord(const BackupRecord& record, const std::string& movieName) {
    Proof proof{record.offset, record.originalSize, movieName, {}, {}};
    const std::uint64_t writtenLength = lengthOf(record.written), appendedLength = lengthOf(record.appended);
    proof.saved.size = record.savedSize;
    proof.saved.ranges.push_back({record.offset, writtenLength});
    if (appendedLength > 0) proof.saved.ranges.push_back({record.appendedAt, appendedLength});
    // Every length the file may have and every end of a range, so that no cell straddles one.
    proof.splits = {record.originalSize, record.savedSize, record.offset + record.metadata.size()};
    for (const Range range : proof.saved.ranges) proof.splits.push_back(range.end());
    std::ranges::sort(proof.splits);
    proof.splits.erase(std::unique(proof.splits.begin(), proof.splits.end()), proof.splits.end());

    // The original bytes are hashed once; where the save leaves them in place, their digests serve again.
    const std::span<const std::uint8_t> metadata = record.metadata;
    const auto metadataDigests = cellDigests(std::span(&metadata, 1), record.offset, proof.splits);
    proof.saved.digests = cellDigests(record.written, record.offset, proof.splits, metadata, metadataDigests);
    const auto appended = cellDigests(record.appended, record.appendedAt, proof.splits);
    proof.saved.digests.insert(proof.saved.digests.end(), appended.begin(), appended.end());
    const Digest proven = proofDigest(proof, metadataDigests);

    std::vector<std::uint64_t> ranges;
    for (const Range range : proof.saved.ranges) ranges.push_back(range.offset), ranges.push_back(range.length);
    const auto savedDigests = std::span(reinterpret_cast<const std::uint8_t*>(proof.saved.digests.data()),
                                        proof.saved.digests.size() * digestSize);
    const auto splits = numbers(proof.splits), rangeBytes = numbers(ranges);
    using Data = std::span<const std::uint8_t>;
    // `metadata` comes last: the last data value is written from where it lies.
    const PropertyEntry entries[] = {{backupKey::offset, record.offset},
                                     {backupKey::originalSize, record.originalSize},
                                     {backupKey::movieName, movieName},
                                     {backupKey::digest, digestName},
                                     {backupKey::sectorSize, sectorSize},
                                     {backupKey::splits, Data(splits)},
                                     {backupKey::savedRanges, Data(rangeBytes)},
                                     {backupKey::savedDigests, Data(savedDigests)},
                                     {backupKey::savedSize, record.savedSize},
                                     {backupKey::proofDigest, Data(proven)},
                                     {backupKey::metadata, metadata}};
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
