// Times ways of bringing a movie's trailing bytes into memory, to show where
// the time of opening a large moov goes: a zero-filled std::vector (what
// File::readAt does), an uninitialised buffer, a buffer backed by huge pages,
// and a read-only mapping of the file.
// Usage: lanemark_read_strategies MOVIE OFFSET [ROUNDS]

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Reads every byte once so that each strategy ends with the data touched.
unsigned sum(const unsigned char* data, std::size_t size) {
    unsigned total = 0;
    for (std::size_t i = 0; i < size; i += 4096) total += data[i];
    return total;
}

bool readAll(int fd, unsigned char* into, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, into + done, size - done, offset + off_t(done));
        if (got <= 0) return false;
        done += std::size_t(got);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lanemark_read_strategies MOVIE OFFSET [ROUNDS]\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) return 1;
    const off_t offset = off_t(std::stoll(argv[2]));
    const std::size_t size = std::size_t(info.st_size - offset);
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    constexpr std::size_t hugePage = std::size_t(2) << 20;

    const std::vector<std::pair<const char*, std::function<unsigned()>>> strategies{
        {"zero-filled vector",
         [&] {
             std::vector<unsigned char> data(size);
             return readAll(fd, data.data(), size, offset) ? sum(data.data(), size) : 0;
         }},
        {"uninitialised buffer",
         [&] {
             std::unique_ptr<unsigned char[]> data(new unsigned char[size]);
             return readAll(fd, data.get(), size, offset) ? sum(data.get(), size) : 0;
         }},
        {"huge-page buffer",
         [&] {
             const std::size_t capacity = (size + hugePage - 1) / hugePage * hugePage;
             auto* data = static_cast<unsigned char*>(std::aligned_alloc(hugePage, capacity));
             ::madvise(data, capacity, MADV_HUGEPAGE);
             const unsigned total = readAll(fd, data, size, offset) ? sum(data, size) : 0;
             std::free(data);
             return total;
         }},
        {"read-only mapping",
         [&] {
             const off_t start = offset / 4096 * 4096;
             const std::size_t length = size + std::size_t(offset - start);
             void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, start);
             if (map == MAP_FAILED) return 0u;
             const unsigned total = sum(static_cast<unsigned char*>(map) + (offset - start), size);
             ::munmap(map, length);
             return total;
         }},
    };
    for (const auto& [name, strategy] : strategies) {
        double best = 1e9;
        unsigned check = 0;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            check = strategy();
            const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
            best = std::min(best, elapsed.count());
        }
        std::printf("%-22s best of %d: %7.1f ms  (check %u)\n", name, rounds, best, check);
    }
    return 0;
}
