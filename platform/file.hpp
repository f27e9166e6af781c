#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.hpp"

namespace lanemark {

inline constexpr const char* notRegular = "Only regular files can be opened as movies.";

// Which file a name led to: the same device and inode is the same file, whatever its name now.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// An unbuffered POSIX file handle, closed on every path out of its scope.
// Errors are std::system_error whose text names the step and the file, as in
// `Cannot open "x.mov": No such file or directory`.
class File {
public:
    // `read` and `update` open regular files only, and never wait: a pipe or a
    // device is refused at once with `notRegular`. A `folder` is opened to be
    // synchronised and to create files in.
    enum class Mode { read, update, folder };

    File(const std::filesystem::path& path, Mode mode);
    // A new file named after `pattern`, whose trailing XXXXXX become unique.
    static File createUnique(const std::filesystem::path& pattern);
    // A new file in `folder` that has no name until it is linked in (as
    // `destined`, which messages name); nothing where the system cannot make such files.
    static std::optional<File> createUnnamed(const File& folder, const std::filesystem::path& destined);
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
    // Fills as much of `into` as the file holds from `offset` on; returns how much that was.
    std::size_t readInto(std::span<std::uint8_t> into, std::uint64_t offset) const;
    // Whether the file holds exactly `expected` at `offset`. Compared a piece at a
    // time through one small buffer: a second full copy of the metadata would
    // double the memory of a save or a restore.
    bool holds(std::uint64_t offset, std::span<const std::uint8_t> expected) const;
    // The same for pieces that lie one after another from `offset`.
    bool holds(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> expected) const;
    void writeAt(std::uint64_t offset, std::span<const std::uint8_t> data);
    // The pieces one after another from `offset`, gathered into as few writes as the system allows.
    void writeAt(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces);
    void truncate(std::uint64_t length);
    // Flushes the file to storage (F_FULLFSYNC where plain fsync stops at the drive cache).
    void sync();
    // Closes now and reports a failure; the destructor closes silently.
    void close();

    // On a folder, for the entry named like `location`'s last part: the file it leads to (through a
    // symbolic link when `followLinks`), nothing when there is none; other errors fail with `what`.
    std::optional<FileIdentity> entry(const std::filesystem::path& location, bool followLinks, const char* what) const;
    // On a folder: removes the entry named like `location`'s last part.
    void removeEntry(const std::filesystem::path& location, const char* what) const;
    // Names this unnamed file in `folder` as `location`'s last part; false when the name is taken.
    bool linkInto(const File& folder, const std::filesystem::path& location, const char* what) const;

    const std::filesystem::path& path() const { return path_; }
    FileIdentity identity() const { return identity_; }
    int descriptor() const { return fd_; }

private:
    File() = default;
    [[noreturn]] void raise(const char* what, int error) const;
    void identify();

    std::filesystem::path path_;
    int fd_ = -1;
    bool folder_ = false;
    FileIdentity identity_;
};

// The file a path leads to now, following links; nothing if none does.
std::optional<FileIdentity> identityAt(const std::filesystem::path& path);

// Renames `from` to `to` unless something is at `to`, which is never replaced: then false.
// Where the system has no such rename, a hard link and the removal of `from` stand in.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to, const char* what);

// Removes the file at `path`; nothing there is no failure.
void removeFile(const std::filesystem::path& path, const char* what);

// The text as it can stand in a one-line message: control characters and
// line separators are written as escapes such as \n.
std::string printable(std::string_view text);
// The same for a path, as the system spells it.
std::string printable(const std::filesystem::path& path);

// The one-line message of a failed platform call on `path`.
[[noreturn]] void raiseSystemError(const std::string& what, const std::filesystem::path& path, int error);

}  // namespace lanemark
