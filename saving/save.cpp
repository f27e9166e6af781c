#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <system_error>

#include "platform/failure.hpp"
#include "metadata/outline.hpp"
#include "metadata/rewrite.hpp"
#include "saving/backup.hpp"
#include "saving/plan.hpp"
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
// memory here leaves nothing behind. Its payloads stay views of the metadata
// as opened, so a large moov is not copied.
EncodedPieces relabelled(const Movie& movie, const std::vector<std::uint32_t>& labels) {
    return encodePieces(relabelledTree(movie, labels));
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
MovieContents reopened(const std::filesystem::path& url, const File& file, Storage& storage) {
    try {
        MovieContents again = storage.open(url);
        if (again.identity == file.identity()) return again;
    } catch (...) {
        // Another file at the path explains the failure better than anything read from it.
        if (identityAt(url) == file.identity()) throw;
    }
    fail(changed);
}

// Whether the atoms after the metadata in `region` lead from `from` to the
// header at its end of an atom that runs to the end of the file, as the opening found them.
bool leadsToOpenEnd(const Movie& movie, const Bytes& region, std::size_t from) {
    const std::size_t header = region.size() - 8;
    try {
        for (std::size_t at = from; at < header;) {
            const auto head = region.span().subspan(at, std::min<std::size_t>(16, region.size() - at));
            at += static_cast<std::size_t>(topLevelAtomSize(head, movie.offset() + at, movie.size()));
            if (at > header) return false;
        }
    } catch (const Failure&) {
        return false;
    }
    return u32(region, header) == 0;
}

// Whether the space after the metadata in `region` is still free space of the sizes the opening found.
bool stillFree(const Movie& movie, const Bytes& region, std::size_t from) {
    for (std::size_t at = from, index = 0; at < region.size(); at += movie.spaceAfter()[index++]) {
        if (!isFreeSpace(region.span().subspan(at, 8)) || u32(region, at) != movie.spaceAfter()[index]) return false;
    }
    return true;
}

// The old bytes of the region a save changes, `length` of them from the
// metadata's offset on: the metadata as opened, and the free space after it
// that the new metadata takes, or the atoms up to the header of a last atom
// whose size the save writes.
Bytes regionOf(const Movie& movie, const File& file, std::uint64_t length) {
    const std::size_t own = movie.metadata().size();
    if (length == own) return movie.metadata();
    const Bytes region = file.readBytesAt(movie.offset(), static_cast<std::size_t>(length));
    if (region.size() != length || !(region.slice(0, own) == movie.metadata())) fail(changed);
    const bool closes = movie.openEnd() && movie.offset() + length == *movie.openEnd() + 8;
    if (!(closes ? leadsToOpenEnd(movie, region, own) : stillFree(movie, region, own))) fail(changed);
    return region;
}

SavePlan planned(const Movie& movie, EncodedPieces fresh, const File& file) {
    Bytes region = regionOf(movie, file, regionLength(movie, fresh.size));
    return planSave(movie, std::move(fresh), std::move(region));
}

// The file must hold exactly what the plan wrote, read back through this
// descriptor a small buffer at a time, beside the metadata already in memory.
// The labels and the checks of opening come from a fresh opening by path,
// which reads the headers and the sample descriptions but not the sample tables.
void writeAndVerify(const Movie& movie, SavePlan& saving, const std::vector<std::uint32_t>& labels, File& file,
                    Storage& storage, Progress& progress) {
    const Plan& plan = saving.plan;
    carryOut(plan, movie.size(), file, storage, progress,
             [&file](std::uint64_t length) { expectLength(file, length); });
    expectLength(file, plan.length);
    // The plan's patches never overlap, so each must still be there as written.
    for (const auto& patch : plan.patches)
        if (!file.holds(patch.offset, patch.pieces)) fail("Verification failed.");
    if (!std::ranges::equal(reopened(movie.url(), file, storage).labels, labels)) fail("Verification failed.");
}

// Puts the old region back and the old length, but never over bytes another
// program wrote: then the length stays, the region goes back only where it
// lies within Lanemark's own bytes, and the change is reported. Should that
// fail too, the backup is what brings the movie back, and the message says so.
void rollBack(const Movie& movie, const BackupRecord& record, File& file, Storage& storage, const Progress& progress) {
    if (!progress.touched) return;
    Plan back = restoring(record.offset, record.metadata, record.originalSize);
    bool appended = false;
    try {
        const std::uint64_t length = file.length();
        appended = length > progress.end;
        if (appended) {
            back.length = length;
            if (record.offset + record.metadata.size() > progress.end) back.patches.clear();
        }
        Progress ignored;
        carryOut(back, length, file, storage, ignored, {});
    } catch (const std::system_error& error) {
        fail(std::string(error.what()) + ". lanemark --restore \"" + printable(movie.url()) +
             "\" can bring the movie back.");
    }
    if (appended) fail(changed);
}

// A save that never wrote to the movie leaves no backup to block the next
// edit. The backup still holds the movie as it is, so failing to take it
// away loses nothing and does not hide the failure that ended the save.
void withdrawBackup(const Movie& movie, const std::optional<FileIdentity>& backup, const Progress& progress) {
    if (!backup || progress.touched) return;
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
    Progress progress;
    std::optional<FileIdentity> backup;
    std::optional<SavePlan> saving;
    try {
        checkUnchanged(movie, file);
        saving = planned(movie, relabelled(movie, labels), file);
        backup = storage.writeBackup(movie.url(), saving->record);
        writeAndVerify(movie, *saving, labels, file, storage, progress);
    } catch (...) {
        withdrawBackup(movie, backup, progress);
        try {
            if (saving) rollBack(movie, saving->record, file, storage, progress);
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
        if (failure.kind() == FailureKind::outOfMemory) fail(notEnoughMemoryToSave);
        throw;
    }
}

}  // namespace lanemark
