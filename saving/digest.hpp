#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace lanemark {

// XXH3-128 (libxxhash): the digests only tell the bytes a save wrote from any
// others, and whoever can write the backup can write any digest, so they need
// speed, not cryptographic strength.
inline constexpr std::string_view digestName = "XXH3-128";
inline constexpr std::size_t digestSize = 16;
using Digest = std::array<std::uint8_t, digestSize>;

// A disk writes a 512-byte sector whole or not at all; nothing larger is promised.
inline constexpr std::uint64_t sectorSize = 512;

Digest digestOf(std::span<const std::uint8_t> data);

// One digest over many pieces, as if they were one.
class Hasher {
public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    void add(std::span<const std::uint8_t> data);
    void add(std::uint64_t number);  // big-endian
    void reset();
    Digest finish() const;

private:
    void* state_;
};

// Where the cell of the file that starts at `at` ends: at the next sector
// boundary or the first of `splits` (sorted) after `at`, whichever is first.
// The file's lengths are among the splits, so a file cut at one of them
// never ends inside a cell.
std::uint64_t cellEnd(std::uint64_t at, std::span<const std::uint64_t> splits);

// The digests of the cells of the pieces laid one after another from
// `offset`. A cell whose bytes lie in `same` at the same place (`same` laid at
// `offset` too) takes its digest from `sameDigests` rather than hashing them again.
std::vector<Digest> cellDigests(std::span<const std::span<const std::uint8_t>> pieces, std::uint64_t offset,
                                std::span<const std::uint64_t> splits, std::span<const std::uint8_t> same = {},
                                std::span<const Digest> sameDigests = {});

// The same, added to the end of `digests`.
void addCellDigests(std::vector<Digest>& digests, std::span<const std::span<const std::uint8_t>> pieces,
                    std::uint64_t offset, std::span<const std::uint64_t> splits, std::span<const std::uint8_t> same = {},
                    std::span<const Digest> sameDigests = {});

// At most how many cells `length` bytes from `offset` make.
std::uint64_t cellCount(std::uint64_t offset, std::uint64_t length, std::span<const std::uint64_t> splits);

// SHA-256 in 4 KiB blocks, as backups made before XXH3 carry them; used only to restore those.
inline constexpr std::size_t legacyDigestSize = 32;
inline constexpr std::uint64_t legacyBlock = 4096;
std::array<std::uint8_t, legacyDigestSize> sha256(std::span<const std::uint8_t> data);

}  // namespace lanemark
