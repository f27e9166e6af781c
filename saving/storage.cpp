#include "saving/storage.hpp"

#include "saving/backup.hpp"

namespace lanemark {

Movie Storage::open(const std::filesystem::path& url) { return Movie(url); }
void Storage::writeBackup(const Movie& movie) { lanemark::writeBackup(movie); }
File Storage::openForUpdate(const std::filesystem::path& url) { return File(url, File::Mode::update); }
void Storage::write(File& file, std::uint64_t offset, std::span<const std::uint8_t> data) {
    file.writeAt(offset, data);
}
void Storage::setLength(File& file, std::uint64_t length) { file.truncate(length); }
void Storage::synchronise(File& file) { file.sync(); }
void Storage::close(File& file) { file.close(); }

Storage& systemStorage() {
    static Storage storage;
    return storage;
}

}  // namespace lanemark
