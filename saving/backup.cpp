#include "saving/backup.hpp"

#include <algorithm>
#include <future>
#include <map>
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

// Writes the backup whole under a hidden temporary name beside `location`,
// synchronises it, and hands it to `rename`, which gives it its name.
template <typename Rename>
FileIdentity publishThroughTemporary(const std::filesystem::path& location, const Pieces& pieces, Storage& storage,
                                     Rename rename) {
    std::string temporaryName = ".";
    temporaryName += location.filename().string();
    temporaryName += ".XXXXXX";
    File temporary = File::createUnique(location.parent_path() / temporaryName);
    try {
        temporary.writeAt(0, pieces);
        storage.synchroniseBackup(temporary);
        temporary.close();
        rename(temporary.path());
    } catch (...) {
        removeTemporary(temporary.path());
        throw;
    }
    return temporary.identity();
}

// Where no unnamed file can be made: a hidden temporary name, renamed without replacing.
FileIdentity publishNamed(const std::filesystem::path& location, const Pieces& pieces, Storage& storage) {
    return publishThroughTemporary(location, pieces, storage,
                                   [&](const std::filesystem::path& temporary) { publish(temporary, location); });
}

// A later save replaces the backup it carries on: written whole under a
// hidden name, synchronised, then renamed over it, so that the name always
// leads to one complete backup that restores the original. A file put at the
// name since the backup was read is never replaced.
FileIdentity replaceBackup(const File& folder, const std::filesystem::path& location, const Pieces& pieces,
                           FileIdentity replaced, Storage& storage) {
    return publishThroughTemporary(location, pieces, storage, [&](const std::filesystem::path& temporary) {
        if (folder.entry(location, false, "Cannot check for a backup at") != replaced) fail(backupExists);
        std::error_code error;
        std::filesystem::rename(temporary, location, error);
        if (error) raiseSystemError(cannotCreate, location, error.value());
    });
}

}  // namespace

std::filesystem::path backupLocation(const std::filesystem::path& movie) {
    auto location = movie;
    location += ".lanemark-backup";
    return location;
}

std::string movieName(const std::filesystem::path& movie) { return wellFormedUtf8(movie.filename().string()); }

namespace {

void addLayer(Hasher& hasher, const Layer& layer) {
    hasher.add(layer.size);
    hasher.add(std::uint64_t{layer.ranges.size()});
    for (const Range range : layer.ranges) hasher.add(range.offset), hasher.add(range.length);
    hasher.add(std::uint64_t{layer.digests.size()});
    for (const Digest& digest : layer.digests) hasher.add(digest);
}

}  // namespace

Digest proofDigest(const Proof& proof, std::span<const Digest> metadataDigests) {
    Hasher hasher;
    for (const std::uint64_t number : {proof.offset, proof.originalSize, sectorSize}) hasher.add(number);
    hasher.add(std::uint64_t{proof.movieName.size()});
    hasher.add(std::span(reinterpret_cast<const std::uint8_t*>(proof.movieName.data()), proof.movieName.size()));
    hasher.add(std::uint64_t{proof.splits.size()});
    for (const std::uint64_t split : proof.splits) hasher.add(split);
    hasher.add(std::uint64_t{metadataDigests.size()});
    for (const Digest& digest : metadataDigests) hasher.add(digest);
    addLayer(hasher, proof.saved);
    hasher.add(std::uint64_t{proof.previous.has_value()});
    if (proof.previous) addLayer(hasher, *proof.previous);
    return hasher.finish();
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> cellsOf(const Layer& layer,
                                                             std::span<const std::uint64_t> splits) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> cells;
    for (const Range range : layer.ranges)
        for (std::uint64_t at = range.offset; at < range.end(); at = std::min(cellEnd(at, splits), range.end()))
            cells.push_back({at, std::min(cellEnd(at, splits), range.end())});
    return cells;
}

namespace {

std::vector<std::uint8_t> numbers(std::span<const std::uint64_t> values) {
    std::vector<std::uint8_t> encoded;
    for (const std::uint64_t value : values)
        for (int i = 0; i < 8; ++i) encoded.push_back(std::uint8_t(value >> (56 - 8 * i)));
    return encoded;
}

std::vector<std::uint8_t> rangeNumbers(const Layer& layer) {
    std::vector<std::uint64_t> values;
    for (const Range range : layer.ranges) values.push_back(range.offset), values.push_back(range.length);
    return numbers(values);
}

std::span<const std::uint8_t> digestBytes(const Layer& layer) {
    return {reinterpret_cast<const std::uint8_t*>(layer.digests.data()), layer.digests.size() * digestSize};
}

using CellMap = std::map<std::uint64_t, std::pair<std::uint64_t, Digest>>;  // start: end and digest

CellMap cellMap(const Layer& layer, std::span<const std::uint64_t> splits) {
    CellMap map;
    const auto cells = cellsOf(layer, splits);
    for (std::size_t i = 0; i < cells.size(); ++i) map[cells[i].first] = {cells[i].second, layer.digests[i]};
    return map;
}

// The digests of the cells of `bytes` laid from `offset`, taken from `map` where it has the very cell.
std::vector<Digest> known(std::span<const std::uint8_t> bytes, std::uint64_t offset,
                          std::span<const std::uint64_t> splits, const CellMap& map) {
    std::vector<Digest> digests;
    for (std::uint64_t at = offset, end; at < offset + bytes.size(); at = end) {
        end = std::min(cellEnd(at, splits), offset + bytes.size());
        const auto found = map.find(at);
        digests.push_back(found != map.end() && found->second.first == end
                              ? found->second.second
                              : digestOf(bytes.subspan(at - offset, end - at)));
    }
    return digests;
}

// The carried state on the finer grid of this save. Only a cell that a new
// split cuts is hashed again, from the bytes before the save where they hold
// it, else from the movie, which the carried backup proved in that state.
Layer regridded(const BackupRecord& record, std::span<const std::uint64_t> splits) {
    const Carried& carried = *record.carried;
    const std::span<const std::uint8_t> before = record.before;
    const std::uint64_t beforeAt = record.writtenAt;
    const CellMap old = cellMap(carried.state, carried.splits);
    Layer layer{carried.state.ranges, {}, carried.state.size};
    for (const auto& [start, end] : cellsOf(layer, splits)) {
        const auto found = old.find(start);
        if (found != old.end() && found->second.first == end)
            layer.digests.push_back(found->second.second);
        else if (start >= beforeAt && end <= beforeAt + before.size())
            layer.digests.push_back(digestOf(before.subspan(start - beforeAt, end - start)));
        else if (const auto bytes =
                     record.movie ? record.movie->readAt(start, end - start) : std::vector<std::uint8_t>();
                 bytes.size() == end - start)
            layer.digests.push_back(digestOf(bytes));
        else
            fail(backupExists);
    }
    return layer;
}

// The ranges, as few as cover them, within a file of `size` bytes.
std::vector<Range> merged(std::vector<Range> ranges, std::uint64_t size) {
    std::ranges::sort(ranges, {}, &Range::offset);
    std::vector<Range> out;
    for (Range range : ranges) {
        range.length = range.offset < size ? std::min(range.length, size - range.offset) : 0;
        if (range.length == 0) continue;
        if (!out.empty() && range.offset <= out.back().end())
            out.back().length = std::max(out.back().end(), range.end()) - out.back().offset;
        else
            out.push_back(range);
    }
    return out;
}

}  // namespace

PropertyList backupRecord(const BackupRecord& record, const std::string& movieName) {
    Proof proof{record.offset, record.originalSize, movieName, {}, {}, std::nullopt};
    const std::span<const std::uint8_t> metadata = record.metadata;
    const bool first = !record.carried;
    const std::span<const std::uint8_t> before = first ? metadata : record.before;
    const std::uint64_t writtenAt = first ? record.offset : record.writtenAt;
    const Range written{writtenAt, lengthOf(record.written)}, appended{record.appendedAt, lengthOf(record.appended)};
    // Every length the file may have and every end of a range, so that no cell straddles one.
    if (!first) proof.splits = record.carried->splits;
    for (const std::uint64_t split :
         {record.offset, record.originalSize, record.savedSize, record.offset + metadata.size(), writtenAt,
          written.end(), appended.offset, appended.end(), writtenAt + before.size()})
        proof.splits.push_back(split);
    std::ranges::sort(proof.splits);
    proof.splits.erase(std::unique(proof.splits.begin(), proof.splits.end()), proof.splits.end());

    // Each byte is hashed once: where the save leaves the bytes before it in place, their digests serve again.
    // Metadata moved to the end is bytes of its own: hashed on the other core
    // meanwhile, or here afterwards where no thread can be started.
    const auto hashAppended = [&record, &proof] {
        return cellDigests(record.appended, record.appendedAt, proof.splits);
    };
    std::future<std::vector<Digest>> tail;
    try {
        tail = std::async(std::launch::async, hashAppended);
    } catch (const std::system_error&) {
        tail = std::async(std::launch::deferred, hashAppended);
    }
    auto metadataDigests = cellDigests(std::span(&metadata, 1), record.offset, proof.splits);
    std::vector<Digest> laterDigests;
    if (!first) {
        proof.previous = regridded(record, proof.splits);
        laterDigests = known(before, writtenAt, proof.splits, cellMap(*proof.previous, proof.splits));
    }
    const std::span<const Digest> beforeDigests = first ? metadataDigests : laterDigests;
    Layer fresh{{written, appended}, {}, record.savedSize};
    fresh.digests.reserve(cellCount(written.offset, written.length, proof.splits) +
                          cellCount(appended.offset, appended.length, proof.splits));
    addCellDigests(fresh.digests, record.written, writtenAt, proof.splits, before, beforeDigests);
    {
        const auto appendedDigests = tail.get();
        fresh.digests.insert(fresh.digests.end(), appendedDigests.begin(), appendedDigests.end());
    }
    if (appended.length == 0) fresh.ranges.pop_back();
    if (first) {
        proof.saved = std::move(fresh);
    } else {
        // What this save does not write stays as the last save left it.
        const CellMap now = cellMap(fresh, proof.splits), then = cellMap(*proof.previous, proof.splits);
        std::vector<Range> ranges = fresh.ranges;
        ranges.insert(ranges.end(), proof.previous->ranges.begin(), proof.previous->ranges.end());
        proof.saved = {merged(std::move(ranges), record.savedSize), {}, record.savedSize};
        for (const auto& [start, end] : cellsOf(proof.saved, proof.splits)) {
            const CellMap& state = now.contains(start) ? now : then;
            const auto found = state.find(start);
            if (found == state.end() || found->second.first != end) fail(backupExists);
            proof.saved.digests.push_back(found->second.second);
        }
    }
    const Digest proven = proofDigest(proof, metadataDigests);
    // Bound into the proof and stored nowhere: freed before the encoding copies the rest.
    std::vector<Digest>().swap(metadataDigests);

    const auto splits = numbers(proof.splits), savedRanges = rangeNumbers(proof.saved);
    const auto previousRanges = proof.previous ? rangeNumbers(*proof.previous) : std::vector<std::uint8_t>();
    using Data = std::span<const std::uint8_t>;
    std::vector<PropertyEntry> entries{
        {backupKey::offset, record.offset},          {backupKey::originalSize, record.originalSize},
        {backupKey::movieName, movieName},           {backupKey::digest, digestName},
        {backupKey::sectorSize, sectorSize},         {backupKey::splits, Data(splits)},
        {backupKey::savedRanges, Data(savedRanges)}, {backupKey::savedDigests, digestBytes(proof.saved)},
        {backupKey::savedSize, record.savedSize},    {backupKey::proofDigest, Data(proven)}};
    if (proof.previous) {
        entries.push_back({backupKey::previousRanges, Data(previousRanges)});
        entries.push_back({backupKey::previousDigests, digestBytes(*proof.previous)});
        entries.push_back({backupKey::previousSize, proof.previous->size});
    }
    // `metadata` comes last: the last data value is written from where it lies.
    entries.push_back({backupKey::metadata, metadata});
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
    if (!record.carried && occupied(folder, location)) fail(backupExists);
    const PropertyList encoded = backupRecord(record, movieName(movie));
    FileIdentity published;
    if (record.carried)
        published = replaceBackup(folder, location, encoded.pieces(), record.carried->identity, storage);
    else if (auto unnamed = storage.createUnnamed(folder, location))
        published = publishUnnamed(*unnamed, folder, location, encoded.pieces(), storage);
    else
        published = publishNamed(location, encoded.pieces(), storage);
    try {
        storage.synchroniseFolder(folder);
    } catch (...) {
        // A replacing backup stays: it restores the original as well as the one it replaced did.
        if (!record.carried) unpublish(folder, location, published);
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
