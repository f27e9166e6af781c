#include <limits>

#include "metadata/failure.hpp"
#include "metadata/rewrite.hpp"
#include "saving/backup.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

// Rewrites the labels and checks that every label found its "chan" atom.
std::vector<Atom> relabelled(const Movie& movie, const std::vector<std::uint32_t>& labels) {
    std::size_t index = 0;
    auto atoms = replace(movie.atoms(), labels, index);
    // Checked before the backup so that encoding after it cannot fail.
    for (const auto& atom : atoms)
        if (atom.encodedSize() > std::numeric_limits<std::uint32_t>::max()) fail("Metadata atom is too large to save.");
    if (index != labels.size()) fail("Channel count mismatch.");
    return atoms;
}

void checkUnchanged(const Movie& movie, Storage& storage) {
    const Movie current = storage.open(movie.url());
    if (current.size() != movie.size() || !(current.metadata() == movie.metadata()))
        fail("The file changed since opening. Reopen it before saving.");
}

void writeAndVerify(const Movie& movie, std::vector<Atom> atoms, const std::vector<std::uint32_t>& labels, File& file,
                    Storage& storage) {
    {
        const auto metadata = encode(atoms);
        atoms.clear();
        storage.write(file, movie.offset(), metadata);
        storage.setLength(file, movie.offset() + metadata.size());
    }
    storage.synchronise(file);
    if (storage.open(movie.url()).labels() != labels) fail("Verification failed.");
}

void rollBack(const Movie& movie, File& file, Storage& storage) {
    storage.write(file, movie.offset(), movie.metadata());
    storage.setLength(file, movie.size());
    storage.synchronise(file);
}

// Once the data is on storage a failing close cannot lose it.
void closeQuietly(File& file, Storage& storage) {
    try {
        storage.close(file);
    } catch (...) {
    }
}

}  // namespace

void Movie::save(const std::vector<std::uint32_t>& labels) const { save(labels, systemStorage()); }

void Movie::save(const std::vector<std::uint32_t>& labels, Storage& storage) const {
    if (labels.size() != labels_.size()) fail("Label count does not match.");
    checkUnchanged(*this, storage);
    auto atoms = relabelled(*this, labels);
    storage.writeBackup(*this);
    File file = storage.openForUpdate(url_);
    try {
        writeAndVerify(*this, std::move(atoms), labels, file, storage);
    } catch (...) {
        try {
            rollBack(*this, file, storage);
        } catch (...) {
            closeQuietly(file, storage);
            throw;
        }
        closeQuietly(file, storage);
        throw;
    }
    closeQuietly(file, storage);
}

}  // namespace lanemark
