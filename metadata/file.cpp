#include "metadata/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

namespace lanemark {

void raiseSystemError(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::system_error(error, std::generic_category(), what + " \"" + path.string() + "\"");
}

File::File(const std::filesystem::path& path, Mode mode) : path_(path) {
    const int flags = (mode == Mode::read ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    do fd_ = ::open(path.c_str(), flags);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) raise("Cannot open", errno);
}

File File::createUnique(const std::filesystem::path& pattern) {
    std::string name = pattern.string();
    File file;
    file.fd_ = ::mkstemp(name.data());
    if (file.fd_ < 0) raiseSystemError("Cannot create a file in", pattern.parent_path(), errno);
    file.path_ = name;
    // mkstemp keeps the file private; give it what any new file of the user gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    // Best effort: a private backup is still a complete one.
    (void)::fchmod(file.fd_, 0666 & ~mask);
    return file;
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        path_ = std::move(other.path_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void File::raise(const char* what, int error) const { raiseSystemError(what, path_, error); }

std::uint64_t File::length() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) raise("Cannot read the length of", errno);
    return static_cast<std::uint64_t>(info.st_size);
}

std::size_t File::readInto(std::uint8_t* data, std::uint64_t offset, std::size_t count) const {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd_, data + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) raise("Cannot read", errno);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::vector<std::uint8_t> File::readAt(std::uint64_t offset, std::size_t count) const {
    std::vector<std::uint8_t> data(count);
    data.resize(readInto(data.data(), offset, count));
    return data;
}

Bytes File::readBytesAt(std::uint64_t offset, std::size_t count) const {
    auto buffer = allocateBuffer(count);
    const std::size_t got = readInto(buffer.get(), offset, count);
    return Bytes(std::move(buffer), got);
}

void File::writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) raise("Cannot write", errno);
        if (put == 0) raise("Cannot write", EIO);
        done += static_cast<std::size_t>(put);
    }
}

void File::writeAt(std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) {
    std::vector<iovec> vectors;
    for (const auto piece : pieces)
        if (!piece.empty()) vectors.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < vectors.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(vectors.size() - first, IOV_MAX));
        const ssize_t put = ::pwritev(fd_, &vectors[first], count, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) raise("Cannot write", errno);
        if (put == 0) raise("Cannot write", EIO);
        offset += static_cast<std::uint64_t>(put);
        // A short write: skip what went out and go on from inside the piece where it stopped.
        for (std::size_t left = static_cast<std::size_t>(put); left > 0;) {
            auto& vector = vectors[first];
            const std::size_t step = std::min(left, vector.iov_len);
            vector.iov_base = static_cast<std::uint8_t*>(vector.iov_base) + step;
            vector.iov_len -= step;
            left -= step;
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

static int syncDescriptor(int fd) {
#ifdef F_FULLFSYNC
    return ::fcntl(fd, F_FULLFSYNC);
#else
    return ::fsync(fd);
#endif
}

void File::sync() {
    if (syncDescriptor(fd_) != 0) raise("Cannot synchronise", errno);
}

void File::close() {
    const int fd = fd_;
    fd_ = -1;
    // POSIX leaves the descriptor closed even when close reports EINTR.
    if (::close(fd) != 0 && errno != EINTR) raise("Cannot close", errno);
}

void syncDirectory(const std::filesystem::path& directory) {
    const auto path = directory.empty() ? std::filesystem::path(".") : directory;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) raiseSystemError("Cannot open the folder", path, errno);
    const int result = syncDescriptor(fd);
    const int error = errno;
    ::close(fd);
    if (result != 0) raiseSystemError("Cannot synchronise the folder", path, error);
}

}  // namespace lanemark
