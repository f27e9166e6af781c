#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "metadata/bytes.hpp"

namespace lanemark {

// An unbuffered POSIX file handle, closed on every path out of its scope.
// Errors are std::system_error whose text names the step and the file, as in
// `Cannot open "x.mov": No such file or directory`.
class File {
public:
    enum class Mode { read, update };

    File(const std::filesystem::path& path, Mode mode);
    // A new file named after `pattern`, whose trailing XXXXXX become unique.
    static File createUnique(const std::filesystem::path& pattern);
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    std::uint64_t length() const;
    // Up to `count` bytes at `offset`; fewer only at the end of the file.
    std::vector<std::uint8_t> readAt(std::uint64_t offset, std::size_t count) const;
    // The same into one shared buffer, for reads too large to copy again.
    Bytes readBytesAt(std::uint64_t offset, std::size_t count) const;
    void writeAt(std::uint64_t offset, std::span<const std::uint8_t> data);
    // The pieces one after another from `offset`, gathered into as few writes as the system allows.
    void writeAt(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces);
    void truncate(std::uint64_t length);
    // Flushes the file to storage (F_FULLFSYNC where plain fsync stops at the drive cache).
    void sync();
    // Closes now and reports a failure; the destructor closes silently.
    void close();

    const std::filesystem::path& path() const { return path_; }

private:
    File() = default;
    [[noreturn]] void raise(const char* what, int error) const;
    std::size_t readInto(std::uint8_t* data, std::uint64_t offset, std::size_t count) const;

    std::filesystem::path path_;
    int fd_ = -1;
};

// Flushes a directory's entries to storage, so a new name in it survives a power cut.
void syncDirectory(const std::filesystem::path& directory);

// The one-line message of a failed platform call on `path`.
[[noreturn]] void raiseSystemError(const std::string& what, const std::filesystem::path& path, int error);

}  // namespace lanemark
