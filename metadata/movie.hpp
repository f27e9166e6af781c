#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "metadata/atom.hpp"
#include "metadata/bytes.hpp"

namespace lanemark {

class Storage;

// Movies whose metadata reaches this size are refused.
inline constexpr std::uint64_t metadataLimit = 0x8000000;

// One opened movie: its trailing "moov" as read, parsed and validated, and
// one channel label per mono PCM track. Immutable once opened.
class Movie {
public:
    // Reads, parses and validates the movie at `url`; throws Failure or std::system_error.
    explicit Movie(std::filesystem::path url);

    const std::filesystem::path& url() const { return url_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t size() const { return size_; }
    const Bytes& metadata() const { return metadata_; }
    const std::vector<Atom>& atoms() const { return atoms_; }
    const std::vector<std::uint32_t>& labels() const { return labels_; }

    // Refuses trees outside the supported shape.
    static void validate(const std::vector<Atom>& atoms);

    // Writes `labels` into the file in place, with backup, verification and rollback.
    void save(const std::vector<std::uint32_t>& labels) const;
    // The same, with every step on disk taken through `storage`.
    void save(const std::vector<std::uint32_t>& labels, Storage& storage) const;

private:
    std::filesystem::path url_;
    std::uint64_t offset_ = 0;
    std::uint64_t size_ = 0;
    Bytes metadata_;
    std::vector<Atom> atoms_;
    std::vector<std::uint32_t> labels_;
};

// Where the trailing "moov" lies, found by reading only top-level headers.
struct TrailingMetadata {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;  // of the whole file
    Bytes metadata;
};
TrailingMetadata readTrailingMetadata(const std::filesystem::path& url);

// One label per "chan" atom that names a single channel, plus the count of PCM entries.
struct CollectedLabels {
    std::vector<std::uint32_t> labels;
    std::size_t pcmCount = 0;
};
CollectedLabels collectLabels(const std::vector<Atom>& atoms);

// The length of the top-level atom at `cursor` whose first (up to 16) bytes are
// `header`, in a file of `fileSize` bytes, as the opening walk measures it;
// throws the walk's Failure for a header it refuses.
std::uint64_t topLevelAtomSize(std::span<const std::uint8_t> header, std::uint64_t cursor, std::uint64_t fileSize);

}  // namespace lanemark
