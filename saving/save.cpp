#include <algorithm>
#include <limits>
#include <new>

#include "metadata/failure.hpp"
#include "metadata/rewrite.hpp"
#include "saving/backup.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

constexpr const char* changed = "The file changed since opening. Reopen it before saving.";

// Rewrites the labels and checks that every label found its "chan" atom.
std::vector<Atom> relabelledTree(const Movie& movie, const std::vector<std::uint32_t>& labels) {
    std::size_t index = 0;
    auto atoms = replace(movie.atoms(), labels, index);
    std::uint64_t size = 0;
    // Checked before anything is allocated for the encoding.
    for (const auto& atom : atoms) {
        if (atom.encodedSize() > std::numeric_limits<std::uint32_t>::max()) fail("Metadata atom is too large to save.");
        size += atom.encodedSize();
    }
    if (index != labels.size()) fail("Channel count mismatch.");
    // Metadata that would no longer open is refused before there is a backup to block the next edit.
    if (size >= metadataLimit) fail(notOneTrailingBlock);
    return atoms;
}

// The new metadata, encoded before the backup is written: running out of
// memory here leaves nothing behind. The tree is dropped as soon as it is encoded.
Bytes relabelled(const Movie& movie, const std::vector<std::uint32_t>& labels) {
    return encode(relabelledTree(movie, labels));
}

// The descriptor must lead to the file that was opened, holding what was read from it.
void checkUnchanged(const Movie& movie, const File& file) {
    if (file.identity() != movie.identity() || file.length() != movie.size() ||
        !file.holds(movie.offset(), movie.metadata()))
        fail(changed);
}

// Another program that appended meanwhile keeps its bytes, and the save does not report success over them.
void expectLength(const File& file, std::uint64_t length) {
    if (file.length() != length) fail(changed);
}

// The verification opens by path, so it must find the very file this save wrote.
Movie reopened(const std::filesystem::path& url, const File& file, Storage& storage) {
    try {
        Movie again = storage.open(url);
        if (again.identity() == file.identity()) return again;
    } catch (...) {
        // Another file at the path explains the failure better than anything read from it.
        if (identityAt(url) == file.identity()) throw;
    }
    fail(changed);
}

// Lanemark's own bytes are the old metadata's region and whatever the new
// metadata adds past the file's old end: `end` is where they stop. Past it
// lies what another program wrote during the save.
struct Written {
    std::uint64_t end = 0;
    bool touched = false;
};

void writeAndVerify(const Movie& movie, Bytes metadata, const std::vector<std::uint32_t>& labels, File& file,
                    Storage& storage, Written& written) {
    {
        const std::uint64_t end = movie.offset() + metadata.size();
        expectLength(file, movie.size());
        written = {std::max(movie.size(), end), true};
        storage.write(file, movie.offset(), metadata);
        expectLength(file, written.end);
        storage.setLength(file, end);
        written.end = end;
        // Dropped before the verification reads the metadata once more.
        metadata = Bytes();
    }
    storage.synchronise(file);
    // Dropped at once: nothing else may be held beside the freshly read metadata.
    if (!std::ranges::equal(reopened(movie.url(), file, storage).labels(), labels)) fail("Verification failed.");
}

// Puts the old metadata back and the old length, but never over bytes
// another program wrote: then the length stays, the old metadata goes back
// only where it fits within Lanemark's own bytes, and the change is reported.
void rollBack(const Movie& movie, File& file, Storage& storage, const Written& written) {
    if (!written.touched) return;
    const bool appended = file.length() > written.end;
    if (!appended || movie.size() <= written.end) storage.write(file, movie.offset(), movie.metadata());
    if (!appended) storage.setLength(file, movie.size());
    storage.synchronise(file);
    if (appended) fail(changed);
}

// A save that never wrote to the movie leaves no backup to block the next
// edit. The backup still holds the movie as it is, so failing to take it
// away loses nothing and does not hide the failure that ended the save.
void withdrawBackup(const Movie& movie, const std::optional<FileIdentity>& backup, const Written& written) {
    if (!backup || written.touched) return;
    try {
        removeBackup(movie.url(), *backup);
    } catch (...) {
    }
}

// Once the data is on storage a failing close cannot lose it.
void closeQuietly(File& file, Storage& storage) {
    try {
        storage.close(file);
    } catch (...) {
    }
}

// Every step after the opening goes through the one descriptor, so a file
// renamed or linked onto the path meanwhile is never written.
void saveBound(const Movie& movie, const std::vector<std::uint32_t>& labels, Storage& storage) {
    if (labels.size() != movie.labels().size()) fail("Label count does not match.");
    File file = storage.openForUpdate(movie.url());
    Written written;
    std::optional<FileIdentity> backup;
    try {
        checkUnchanged(movie, file);
        Bytes metadata = relabelled(movie, labels);
        BackupRecord record = recordOf(movie);
        record.written = {metadata.span()};
        record.savedSize = movie.offset() + metadata.size();
        backup = storage.writeBackup(movie.url(), record);
        writeAndVerify(movie, std::move(metadata), labels, file, storage, written);
    } catch (...) {
        withdrawBackup(movie, backup, written);
        try {
            rollBack(movie, file, storage, written);
        } catch (...) {
            closeQuietly(file, storage);
            throw;
        }
        closeQuietly(file, storage);
        throw;
    }
    closeQuietly(file, storage);
}

}  // namespace

void Movie::save(const std::vector<std::uint32_t>& labels) const { save(labels, systemStorage()); }

void Movie::save(const std::vector<std::uint32_t>& labels, Storage& storage) const {
    try {
        saveBound(*this, labels, storage);
    } catch (const std::bad_alloc&) {
        fail(notEnoughMemoryToSave);
    } catch (const Failure& failure) {
        // The verification's opening speaks of opening; the user asked to save.
        if (failure.message() == notEnoughMemoryToOpen) fail(notEnoughMemoryToSave);
        throw;
    }
}

}  // namespace lanemark
