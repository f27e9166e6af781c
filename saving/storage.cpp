#include "saving/storage.hpp"

#include "saving/backup.hpp"

namespace lanemark {

File Storage::openForUpdate(const std::filesystem::path& url) { return File(url, File::Mode::update); }
// The movie was whole in memory a moment ago, so no limit on its atoms guards anything here.
MovieContents Storage::open(const std::filesystem::path& url) { return outlineMovie(url, noAtomLimit); }
FileIdentity Storage::writeBackup(const std::filesystem::path& movie, const BackupRecord& record) {
    return lanemark::writeBackup(movie, record, *this);
}
std::optional<File> Storage::createUnnamed(const File& folder, const std::filesystem::path& destined) {
    return File::createUnnamed(folder, destined);
}
void Storage::synchroniseBackup(File& backup) { backup.sync(); }
void Storage::synchroniseFolder(File& folder) { folder.sync(); }
void Storage::write(File& file, std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) {
    file.writeAt(offset, pieces);
}
void Storage::setLength(File& file, std::uint64_t length) { file.truncate(length); }
void Storage::synchronise(File& file) { file.sync(); }
void Storage::close(File& file) { file.close(); }

Storage& systemStorage() {
    static Storage storage;
    return storage;
}

}  // namespace lanemark
