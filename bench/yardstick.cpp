// The least I/O a save of a movie's trailing metadata needs, and nothing else:
// the yardstick bench/targets.py divides the time of --apply-preset by.
//   - three reads of the metadata (opening, change check, verification) into
//     one buffer, which is allocated once;
//   - the backup written, synchronised and named, then its folder synchronised;
//   - the metadata written over itself, the file's length set, synchronised;
//     or, with --first, for metadata that is not last and keeps its size:
//     the first "moov" written over itself, synchronised;
//     or, with --relocate, for metadata that is not last: the metadata
//     appended at the end, synchronised, the old atom's type overwritten
//     (4 bytes), synchronised again.
// It leaves MOVIE.yardstick-backup beside the movie; the caller removes it,
// and after --relocate also cuts the movie back and puts the type back.
// Usage: lanemark_yardstick [--relocate|--first] MOVIE

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

void readAll(int fd, unsigned char* into, std::size_t size, off_t offset) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = ::pread(fd, into + done, size - done, offset + off_t(done));
        if (got <= 0) die("read");
        done += std::size_t(got);
    }
}

void writeAll(int fd, const unsigned char* from, std::size_t size, off_t offset) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::pwrite(fd, from + done, size - done, offset + off_t(done));
        if (put <= 0) die("write");
        done += std::size_t(put);
    }
}

// The offset of the last top-level atom, or of the first "moov", found by reading headers only.
off_t findAtom(int fd, off_t length, bool moov) {
    off_t at = 0, last = 0;
    while (length - at >= 8) {
        unsigned char header[16];
        readAll(fd, header, length - at >= 16 ? 16 : 8, at);
        std::uint64_t size = 0;
        for (int i = 0; i < 4; ++i) size = size << 8 | header[i];
        if (size == 1)
            for (int i = 8; i < 16; ++i) size = size << 8 | header[i];
        if (size < 8) die("atom size");
        if (moov && header[4] == 'm' && header[5] == 'o' && header[6] == 'o' && header[7] == 'v') return at;
        last = at;
        at += off_t(size);
    }
    return last;
}

// The same kind of buffer the program reads into: aligned for huge pages, not zero-filled.
unsigned char* buffer(std::size_t size) {
    constexpr std::size_t hugePage = std::size_t(2) << 20;
    const std::size_t rounded = (size + hugePage - 1) / hugePage * hugePage;
    auto* memory = static_cast<unsigned char*>(std::aligned_alloc(hugePage, rounded ? rounded : hugePage));
    if (!memory) die("memory");
    ::madvise(memory, rounded, MADV_HUGEPAGE);
    return memory;
}

}  // namespace

int main(int argc, char** argv) {
    const bool relocate = argc == 3 && std::string(argv[1]) == "--relocate";
    const bool first = argc == 3 && std::string(argv[1]) == "--first";
    if (argc != 2 && !relocate && !first) {
        std::fprintf(stderr, "usage: lanemark_yardstick [--relocate|--first] MOVIE\n");
        return 2;
    }
    const std::filesystem::path movie = argv[argc - 1];
    const int fd = ::open(movie.c_str(), O_RDWR | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) die(movie.string());
    const off_t offset = findAtom(fd, info.st_size, relocate || first);
    std::uint64_t atomSize = 0;
    if (relocate || first) {
        unsigned char header[4];
        readAll(fd, header, 4, offset);
        for (const unsigned char byte : header) atomSize = atomSize << 8 | byte;
    }
    const std::size_t size = relocate || first ? std::size_t(atomSize) : std::size_t(info.st_size - offset);
    unsigned char* metadata = buffer(size);
    for (int reading = 0; reading < 3; ++reading) readAll(fd, metadata, size, offset);

    auto folder = movie.parent_path();
    if (folder.empty()) folder = ".";
    const auto backup = std::filesystem::path(movie.string() + ".yardstick-backup");
    std::string temporaryName = ".";
    temporaryName += backup.filename().string();
    temporaryName += ".tmp";
    const auto temporary = folder / temporaryName;
    const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) die(temporary.string());
    writeAll(out, metadata, size, 0);
    if (::fsync(out) != 0 || ::close(out) != 0) die("backup");
    if (::rename(temporary.c_str(), backup.c_str()) != 0) die("rename");
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0 || ::fsync(directory) != 0) die("folder");
    ::close(directory);

    if (relocate) {
        writeAll(fd, metadata, size, info.st_size);
        if (::fsync(fd) != 0) die("movie");
        writeAll(fd, reinterpret_cast<const unsigned char*>("free"), 4, offset + 4);
        if (::fsync(fd) != 0) die("movie");
    } else if (first) {
        writeAll(fd, metadata, size, offset);
        if (::fsync(fd) != 0) die("movie");
    } else {
        writeAll(fd, metadata, size, offset);
        if (::ftruncate(fd, offset + off_t(size)) != 0 || ::fsync(fd) != 0) die("movie");
    }
    ::close(fd);
    std::free(metadata);
    return 0;
}
