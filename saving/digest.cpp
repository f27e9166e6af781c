#include "saving/digest.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <new>

#include "platform/failure.hpp"

namespace lanemark {
namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// One running SHA-256, restarted after each digest it gives.
class Hasher {
public:
    Hasher() : context_(EVP_MD_CTX_new()) {
        if (!context_) throw std::bad_alloc();
        start();
    }
    void add(std::span<const std::uint8_t> data) {
        if (!data.empty()) check(EVP_DigestUpdate(context_.get(), data.data(), data.size()));
    }
    Digest finish() {
        Digest digest{};
        unsigned length = 0;
        check(EVP_DigestFinal_ex(context_.get(), digest.data(), &length) == 1 && length == digestSize);
        start();
        return digest;
    }

private:
    // Fetched once: looking the algorithm up again for every 4 KiB block costs more than hashing it.
    static const EVP_MD* algorithm() {
        static const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched;
    }
    void start() { check(algorithm() && EVP_DigestInit_ex2(context_.get(), algorithm(), nullptr)); }
    static void check(bool succeeded) {
        if (!succeeded) fail("The SHA-256 digest could not be computed.");
    }

    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
};

}  // namespace

Digest sha256(std::span<const std::uint8_t> data) {
    Hasher hasher;
    hasher.add(data);
    return hasher.finish();
}

std::vector<std::uint8_t> blockDigests(std::span<const std::span<const std::uint8_t>> pieces, std::uint64_t offset) {
    Hasher hasher;
    std::vector<std::uint8_t> digests;
    std::uint64_t at = offset, end = blockEnd(offset);  // in the file; `end` closes the current block
    const auto emit = [&] {
        const Digest digest = hasher.finish();
        digests.insert(digests.end(), digest.begin(), digest.end());
    };
    for (auto piece : pieces) {
        while (!piece.empty()) {
            const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - at));
            hasher.add(piece.first(taken));
            piece = piece.subspan(taken);
            if ((at += taken) == end) {
                emit();
                end += digestBlock;
            }
        }
    }
    if (at > end - digestBlock && at > offset) emit();
    return digests;
}

}  // namespace lanemark
