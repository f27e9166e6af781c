#include "saving/digest.hpp"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "platform/bytes.hpp"

namespace lanemark {
namespace {

Digest canonical(XXH128_hash_t hash) {
    XXH128_canonical_t bytes;
    XXH128_canonicalFromHash(&bytes, hash);
    Digest digest;
    std::memcpy(digest.data(), bytes.digest, digestSize);
    return digest;
}

}  // namespace

Digest digestOf(std::span<const std::uint8_t> data) { return canonical(XXH3_128bits(data.data(), data.size())); }

Hasher::Hasher() : state_(XXH3_createState()) {
    if (!state_) throw std::bad_alloc();
    reset();
}
void Hasher::reset() { XXH3_128bits_reset(static_cast<XXH3_state_t*>(state_)); }
Hasher::~Hasher() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }
void Hasher::add(std::span<const std::uint8_t> data) {
    XXH3_128bits_update(static_cast<XXH3_state_t*>(state_), data.data(), data.size());
}
void Hasher::add(std::uint64_t number) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = std::uint8_t(number >> (56 - 8 * i));
    add(bytes);
}
Digest Hasher::finish() const { return canonical(XXH3_128bits_digest(static_cast<XXH3_state_t*>(state_))); }

std::uint64_t cellEnd(std::uint64_t at, std::span<const std::uint64_t> splits) {
    const std::uint64_t sector = (at / sectorSize + 1) * sectorSize;
    const auto split = std::upper_bound(splits.begin(), splits.end(), at);
    return split == splits.end() ? sector : std::min(sector, *split);
}

std::vector<Digest> cellDigests(std::span<const std::span<const std::uint8_t>> pieces, std::uint64_t offset,
                                std::span<const std::uint64_t> splits, std::span<const std::uint8_t> same,
                                std::span<const Digest> sameDigests) {
    std::vector<Digest> digests;
    addCellDigests(digests, pieces, offset, splits, same, sameDigests);
    return digests;
}

void addCellDigests(std::vector<Digest>& all, std::span<const std::span<const std::uint8_t>> pieces,
                    std::uint64_t offset, std::span<const std::uint64_t> splits, std::span<const std::uint8_t> same,
                    std::span<const Digest> sameDigests) {
    const std::uint64_t length = lengthOf(pieces);
    // Reserved once: a grown vector would briefly hold the digests twice.
    all.reserve(all.size() + cellCount(offset, length, splits));
    const std::size_t first = all.size();
    // This piece's digests, as a vector of their own would number them.
    struct {
        std::vector<Digest>& all;
        std::size_t first;
        std::size_t size() const { return all.size() - first; }
        void push_back(const Digest& digest) { all.push_back(digest); }
    } digests{all, first};
    Hasher hasher;
    bool hashing = false;
    std::uint64_t at = offset, end = cellEnd(offset, splits);
    for (auto piece : pieces) {
        while (!piece.empty()) {
            const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - at));
            const auto part = piece.first(taken);
            const bool whole = !hashing && at + taken == end;
            // Sizes first: a pointer may only be formed within `same`.
            if (whole && digests.size() < sameDigests.size() && at - offset + taken <= same.size() &&
                part.data() == same.data() + (at - offset))
                digests.push_back(sameDigests[digests.size()]);
            else if (whole)
                digests.push_back(digestOf(part));  // the usual case: the cell lies in one piece
            else {
                if (!hashing) hasher.reset();
                hasher.add(part);
                hashing = true;
                if (at + taken == end) digests.push_back(hasher.finish()), hashing = false;
            }
            piece = piece.subspan(taken);
            if ((at += taken) == end) end = cellEnd(at, splits);
        }
    }
    if (hashing) digests.push_back(hasher.finish());
}

std::uint64_t cellCount(std::uint64_t offset, std::uint64_t length, std::span<const std::uint64_t> splits) {
    // A range past the end of any file has no cells to count ahead.
    if (length == 0 || offset > std::numeric_limits<std::uint64_t>::max() - length) return 0;
    const std::uint64_t end = offset + length;
    const auto inside = std::upper_bound(splits.begin(), splits.end(), offset) - splits.begin();
    const auto before = std::lower_bound(splits.begin(), splits.end(), end) - splits.begin();
    // Every sector boundary and every split strictly inside ends a cell.
    return std::min(length, (end - 1) / sectorSize - offset / sectorSize + 1 + static_cast<std::uint64_t>(before - inside));
}

// FIPS 180-4, for backups made before XXH3 only.
std::array<std::uint8_t, legacyDigestSize> sha256(std::span<const std::uint8_t> data) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto rotate = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    const auto block = [&](const std::uint8_t* p) {
        std::uint32_t w[64], v[8];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t(p[4 * i]) << 24 | p[4 * i + 1] << 16 | p[4 * i + 2] << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::copy(h, h + 8, v);
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = v[7] + (rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25)) +
                                     ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
            const std::uint32_t t2 = (rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22)) +
                                     ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
            std::copy_backward(v, v + 7, v + 8);
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    };
    std::size_t at = 0;
    for (; data.size() - at >= 64; at += 64) block(data.data() + at);
    std::uint8_t tail[128] = {};
    const std::size_t rest = data.size() - at;
    if (rest) std::memcpy(tail, data.data() + at, rest);
    tail[rest] = 0x80;
    const std::size_t length = rest < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[length - 1 - i] = std::uint8_t((std::uint64_t(data.size()) * 8) >> (8 * i));
    for (std::size_t i = 0; i < length; i += 64) block(tail + i);
    std::array<std::uint8_t, legacyDigestSize> digest;
    for (int i = 0; i < 32; ++i) digest[i] = std::uint8_t(h[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
}

}  // namespace lanemark
