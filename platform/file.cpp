#include "platform/file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/failure.hpp"

namespace lanemark {
namespace {

FileIdentity identityOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

int openFlags(File::Mode mode) {
    switch (mode) {
        case File::Mode::read:
            return O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        case File::Mode::update:
            return O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        case File::Mode::folder:
            break;
    }
    return O_RDONLY | O_DIRECTORY | O_CLOEXEC;
}

int syncDescriptor(int fd) {
#ifdef F_FULLFSYNC
    return ::fcntl(fd, F_FULLFSYNC);
#else
    return ::fsync(fd);
#endif
}

// Escapes for the characters that would break a message's one line.
std::string_view escapeFor(std::string_view text, std::size_t& length) {
    static constexpr std::pair<std::string_view, std::string_view> separators[] = {
        {"\xc2\x85", "\\u0085"}, {"\xe2\x80\xa8", "\\u2028"}, {"\xe2\x80\xa9", "\\u2029"}};
    for (const auto& [sequence, escape] : separators)
        if (text.starts_with(sequence)) {
            length = sequence.size();
            return escape;
        }
    length = 1;
    switch (text.front()) {
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
    }
    return {};
}

}  // namespace

std::string printable(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::string_view escape = escapeFor(text.substr(i), length);
        if (!escape.empty()) {
            out += escape;
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string printable(const std::filesystem::path& path) { return printable(std::string_view(path.native())); }

void raiseSystemError(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::system_error(error, std::generic_category(), what + " \"" + printable(path) + "\"");
}

File::File(const std::filesystem::path& path, Mode mode) : path_(path), folder_(mode == Mode::folder) {
    if (folder_ && path_.empty()) path_ = ".";
    do fd_ = ::open(path_.c_str(), openFlags(mode));
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) raise(folder_ ? "Cannot open the folder" : "Cannot open", errno);
    identify();
}

void File::identify() {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        const int error = errno;
        ::close(std::exchange(fd_, -1));
        raise("Cannot read the length of", error);
    }
    identity_ = identityOf(info);
    if (!folder_ && !S_ISREG(info.st_mode)) {
        ::close(std::exchange(fd_, -1));
        fail(notRegular, FailureKind::notRegular);
    }
}

File File::createUnique(const std::filesystem::path& pattern) {
    std::string name = pattern.string();
    File file;
    file.fd_ = ::mkstemp(name.data());
    if (file.fd_ < 0) raiseSystemError("Cannot create a file in", pattern.parent_path(), errno);
    file.path_ = name;
    struct stat info {};
    if (::fstat(file.fd_, &info) == 0) file.identity_ = identityOf(info);
    // mkstemp keeps the file private; give it what any new file of the user gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    // Best effort: a private backup is still a complete one.
    (void)::fchmod(file.fd_, 0666 & ~mask);
    return file;
}

std::optional<File> File::createUnnamed([[maybe_unused]] const File& folder,
                                        [[maybe_unused]] const std::filesystem::path& destined) {
#if defined(O_TMPFILE)
    // It gets its name through /proc later, so without /proc it could never get one.
    if (::access("/proc/self/fd", X_OK) != 0) return std::nullopt;
    File file;
    do file.fd_ = ::openat(folder.fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    while (file.fd_ < 0 && errno == EINTR);
    if (file.fd_ < 0) {
        // Older kernels read the flag as a folder opened for writing (EISDIR).
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOSYS) return std::nullopt;
        raiseSystemError("Cannot create a file in", folder.path_, errno);
    }
    file.path_ = destined;
    file.identify();
    return file;
#else
    return std::nullopt;
#endif
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      folder_(other.folder_),
      identity_(other.identity_) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
        folder_ = other.folder_;
        identity_ = other.identity_;
    }
    return *this;
}

void File::raise(const char* what, int error) const { raiseSystemError(what, path_, error); }

std::uint64_t File::length() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) raise("Cannot read the length of", errno);
    return static_cast<std::uint64_t>(info.st_size);
}

std::size_t File::readInto(std::span<std::uint8_t> into, std::uint64_t offset) const {
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t got = ::pread(fd_, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) raise("Cannot read", errno);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool File::holds(std::uint64_t offset, std::span<const std::uint8_t> expected) const {
    return holds(offset, std::span<const std::span<const std::uint8_t>>(&expected, 1));
}

bool File::holds(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> expected) const {
    const std::uint64_t total = lengthOf(expected);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(total, std::uint64_t{1} << 16)));
    // Read a buffer at a time, however small the pieces: a tree of many atoms is many small pieces.
    auto piece = expected.begin();
    std::size_t within = 0;
    for (std::uint64_t done = 0; done < total;) {
        const auto read =
            std::span(buffer).first(static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), total - done)));
        if (readInto(read, offset + done) != read.size()) return false;
        for (std::size_t at = 0; at < read.size();) {
            if (within == piece->size()) {
                ++piece;
                within = 0;
                continue;
            }
            const std::size_t count = std::min(piece->size() - within, read.size() - at);
            if (!std::equal(read.begin() + std::ptrdiff_t(at), read.begin() + std::ptrdiff_t(at + count),
                            piece->begin() + std::ptrdiff_t(within)))
                return false;
            at += count;
            within += count;
        }
        done += read.size();
    }
    return true;
}

std::vector<std::uint8_t> File::readAt(std::uint64_t offset, std::size_t count) const {
    std::vector<std::uint8_t> data(count);
    data.resize(readInto(data, offset));
    return data;
}

Bytes File::readBytesAt(std::uint64_t offset, std::size_t count) const {
    auto buffer = allocateBuffer(count);
    const std::size_t got = readInto({buffer.get(), count}, offset);
    return Bytes(std::move(buffer), got);
}

void File::writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
    writeAt(offset, std::span<const std::span<const std::uint8_t>>(&data, 1));
}

void File::writeAt(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) {
    std::vector<iovec> vectors;
    for (const auto piece : pieces)
        if (!piece.empty()) vectors.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < vectors.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(vectors.size() - first, IOV_MAX));
        const ssize_t put = ::pwritev(fd_, vectors.data() + first, count, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) raise("Cannot write", errno);
        if (put == 0) raise("Cannot write", EIO);
        offset += static_cast<std::uint64_t>(put);
        // A short write stops anywhere: step over the whole pieces and into the one it stopped in.
        for (auto done = static_cast<std::size_t>(put); done > 0;) {
            iovec& vector = vectors[first];
            const std::size_t step = std::min(done, vector.iov_len);
            vector.iov_base = static_cast<std::uint8_t*>(vector.iov_base) + step;
            vector.iov_len -= step;
            done -= step;
            if (vector.iov_len == 0) ++first;
        }
    }
}

void File::truncate(std::uint64_t length) {
    int result;
    do result = ::ftruncate(fd_, static_cast<off_t>(length));
    while (result != 0 && errno == EINTR);
    if (result != 0) raise("Cannot set the length of", errno);
}

void File::sync() {
    if (syncDescriptor(fd_) != 0) raise(folder_ ? "Cannot synchronise the folder" : "Cannot synchronise", errno);
}

void File::close() {
    const int fd = fd_;
    fd_ = -1;
    // POSIX leaves the descriptor closed even when close reports EINTR.
    if (::close(fd) != 0 && errno != EINTR) raise("Cannot close", errno);
}

std::optional<FileIdentity> File::entry(const std::filesystem::path& location, bool followLinks,
                                        const char* what) const {
    struct stat info {};
    if (::fstatat(fd_, location.filename().c_str(), &info, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0)
        return identityOf(info);
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    raiseSystemError(what, location, errno);
}

void File::removeEntry(const std::filesystem::path& location, const char* what) const {
    if (::unlinkat(fd_, location.filename().c_str(), 0) != 0) raiseSystemError(what, location, errno);
}

bool File::linkInto(const File& folder, const std::filesystem::path& location, const char* what) const {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, source.c_str(), folder.fd_, location.filename().c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno == EEXIST) return false;
    raiseSystemError(what, location, errno);
}

bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to, const char* what) {
#if defined(__APPLE__)
    if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return true;
    if (errno == EEXIST) return false;
    raiseSystemError(what, to, errno);
#else
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) raiseSystemError(what, to, errno);
#endif
    // File systems without an exclusive rename: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        raiseSystemError(what, to, errno);
    }
    try {
        removeFile(from, "Cannot remove the temporary file");
    } catch (...) {
        ::unlink(to.c_str());
        throw;
    }
    return true;
#endif
}

void removeFile(const std::filesystem::path& path, const char* what) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) raiseSystemError(what, path, errno);
}

std::optional<FileIdentity> identityAt(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return identityOf(info);
}

}  // namespace lanemark
