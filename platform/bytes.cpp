#include "platform/bytes.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "platform/failure.hpp"

namespace lanemark {
namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;

}  // namespace

std::shared_ptr<std::uint8_t[]> allocateBuffer(std::size_t size) {
    if (size < hugePage) return std::shared_ptr<std::uint8_t[]>(new std::uint8_t[size]);
    const std::size_t rounded = (size + hugePage - 1) / hugePage * hugePage;
    void* memory = std::aligned_alloc(hugePage, rounded);
    if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the buffer works the same, just slower to fill.
    (void)::madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return std::shared_ptr<std::uint8_t[]>(static_cast<std::uint8_t*>(memory), [](std::uint8_t* p) { std::free(p); });
}

std::size_t Reader::take(std::size_t count) const {
    if (!has(count)) fail(incomplete_);
    return position_ + count;
}

}  // namespace lanemark
