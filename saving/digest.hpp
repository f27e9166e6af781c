#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace lanemark {

// SHA-256, from OpenSSL: a backup proves with it what it holds and what the save wrote.
inline constexpr std::size_t digestSize = 32;
using Digest = std::array<std::uint8_t, digestSize>;

// Written bytes are digested in blocks that end at the file's 4 KiB
// boundaries, the first one running from where they start to the first
// boundary: a write cut short, by a kill or a power cut, stops at such a boundary.
inline constexpr std::uint64_t digestBlock = 4096;

// Where the block that holds byte `at` of the file ends.
inline std::uint64_t blockEnd(std::uint64_t at) { return (at / digestBlock + 1) * digestBlock; }

// How many blocks `length` bytes from `offset` on make.
inline std::uint64_t blockCount(std::uint64_t offset, std::uint64_t length) {
    return length == 0 ? 0 : (offset + length - 1) / digestBlock - offset / digestBlock + 1;
}

Digest sha256(std::span<const std::uint8_t> data);

// The digest of each block of the pieces taken one after another from
// `offset` in the file, concatenated. The pieces are read where they lie.
std::vector<std::uint8_t> blockDigests(std::span<const std::span<const std::uint8_t>> pieces, std::uint64_t offset);

}  // namespace lanemark
