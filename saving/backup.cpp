#include "saving/backup.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "metadata/failure.hpp"
#include "metadata/file.hpp"

namespace lanemark {
namespace {

PropertyList encodeRecord(const Movie& movie) {
    return backupRecord(movie.offset(), movie.size(), movie.metadata(), movieName(movie.url()));
}

// The length of the well-formed UTF-8 sequence at `text`, or 0 when none starts there.
std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length;
    unsigned low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else
        return 0;
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

bool occupied(const std::filesystem::path& location) {
    struct stat info {};
    if (::stat(location.c_str(), &info) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    raiseSystemError("Cannot check for a backup at", location, errno);
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
    ::unlink(from.c_str());
#endif
}

}  // namespace

std::filesystem::path backupLocation(const std::filesystem::path& movie) {
    auto location = movie;
    location += ".lanemark-backup";
    return location;
}

std::string movieName(const std::filesystem::path& movie) {
    const std::string name = movie.filename().string();
    std::string text;
    text.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = sequenceLength(std::string_view(name).substr(at));
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++at;
        } else {
            text.append(name, at, length);
            at += length;
        }
    }
    return text;
}

PropertyList backupRecord(std::uint64_t offset, std::uint64_t originalSize, std::span<const std::uint8_t> metadata,
                          const std::string& movieName) {
    const PropertyEntry entries[] = {
        {"offset", offset}, {"originalSize", originalSize}, {"metadata", metadata}, {"movieName", movieName}};
    return encodeDictionary(entries);
}

void writeBackup(const Movie& movie) {
    const auto location = backupLocation(movie.url());
    if (occupied(location)) fail(backupExists);
    const PropertyList record = encodeRecord(movie);
    auto directory = location.parent_path();
    if (directory.empty()) directory = ".";
    std::string temporaryName = ".";
    temporaryName += location.filename().string();
    temporaryName += ".XXXXXX";
    File temporary = File::createUnique(directory / temporaryName);
    try {
        temporary.writeAt(0, record.pieces());
        temporary.sync();
        temporary.close();
        publish(temporary.path(), location);
    } catch (...) {
        ::unlink(temporary.path().c_str());
        throw;
    }
    syncDirectory(directory);
}

}  // namespace lanemark
