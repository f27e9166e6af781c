#include "metadata/movie.hpp"

#include <array>
#include <bit>
#include <new>

#include "metadata/failure.hpp"
#include "platform/file.hpp"

namespace lanemark {
namespace {

constexpr std::uint32_t monoLayoutTag = 0x640001;
constexpr std::uint32_t bitmapLayoutTag = 0x10000;
constexpr std::uint32_t monoLabel = 42;
// Bits 0-17 of a channel bitmap stand for labels 1-18; higher bits name no label.
constexpr std::uint32_t labelledBits = (1u << 18) - 1;

bool isMoov(std::span<const std::uint8_t> header) {
    return header[4] == 'm' && header[5] == 'o' && header[6] == 'o' && header[7] == 'v';
}

// The size of the top-level atom whose header is `header`, and whether it used the 8-byte form.
struct TopLevelAtom {
    std::uint64_t size;
    bool compact;
};

TopLevelAtom measure(std::span<const std::uint8_t> header, std::uint64_t cursor, std::uint64_t fileSize) {
    if (header.size() < 8) fail("Incomplete movie header.");
    std::uint64_t size = u32(header, 0);
    std::uint64_t headerLength = 8;
    if (size == 1) {
        if (header.size() != 16) fail("Incomplete extended header.");
        size = u64(header, 8);
        headerLength = 16;
    } else if (size == 0) {
        size = fileSize - cursor;
    }
    if (size < headerLength || size > fileSize - cursor) fail("Invalid movie structure.");
    return {size, headerLength == 8};
}

void checkPcmDescription(const Atom& atom) {
    std::size_t chanCount = 0;
    if (atom.children)
        for (const auto& child : *atom.children) chanCount += child.type == "chan";
    if (chanCount != 1) fail("PCM channel metadata is missing or ambiguous.");
    const Bytes& prefix = atom.prefix;
    // A tree not made by parse may lack the fixed fields; treat it as unreadable.
    if (prefix.size() < 28) fail("Only separate one-channel PCM tracks are supported in this version.");
    const unsigned version = prefix[8] << 8 | prefix[9];
    std::uint32_t channels;
    if (version == 2) {
        if (prefix.size() < 44) fail("Only separate one-channel PCM tracks are supported in this version.");
        channels = u32(prefix, 40);
    } else {
        channels = prefix[16] << 8 | prefix[17];
    }
    if (channels != 1) fail("Only separate one-channel PCM tracks are supported in this version.");
}

void checkSampleDescriptions(const Atom& atom) {
    const bool valid = atom.prefix.size() == 8 && u32(atom.prefix, 4) == 1 &&
                       !(atom.children && !atom.children->empty() && atom.children->front().type == "mp4a");
    if (!valid) fail("Unsupported sample descriptions.");
}

bool isFreeSpace(std::span<const std::uint8_t> header) {
    return std::equal(header.begin() + 4, header.begin() + 8, "free") ||
           std::equal(header.begin() + 4, header.begin() + 8, "skip");
}

struct Walk {
    MetadataPlace place;
    std::vector<std::uint64_t> spaceAfter;
};

// Headers only: media of any length is stepped over unread.
Walk walk(std::uint64_t fileSize, const ReadAt& read) {
    Walk found;
    bool seen = false, spaceContinues = false;
    std::uint64_t cursor = 0;
    while (fileSize - cursor >= 8) {
        std::array<std::uint8_t, 16> buffer{};
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(16, fileSize - cursor));
        const std::span<const std::uint8_t> header(buffer.data(), read(std::span(buffer).first(wanted), cursor));
        const auto atom = measure(header, cursor, fileSize);
        if (std::equal(header.begin() + 4, header.begin() + 8, "moof")) fail(fragmented);
        // Only compact sizes: the space taken is rewritten with one.
        spaceContinues = spaceContinues && isFreeSpace(header) && u32(header, 0) == atom.size;
        if (spaceContinues) found.spaceAfter.push_back(atom.size);
        if (isMoov(header)) {
            if (seen || !atom.compact || atom.size >= metadataLimit) fail(notOneTrailingBlock);
            found.place = {cursor, atom.size};
            seen = spaceContinues = true;
        }
        cursor += atom.size;
    }
    if (cursor != fileSize || !seen) fail("No supported trailing movie metadata found.");
    return found;
}

}  // namespace

MetadataPlace locateMetadata(std::uint64_t fileSize, const ReadAt& read) { return walk(fileSize, read).place; }

FoundMetadata findMetadata(std::uint64_t fileSize, const ReadAt& read) {
    auto [place, spaceAfter] = walk(fileSize, read);
    const auto length = static_cast<std::size_t>(place.length);
    auto data = allocateBuffer(length);
    if (read({data.get(), length}, place.offset) < length) fail("Could not read complete metadata.");
    return {place, fileSize, Bytes(std::move(data), length), std::move(spaceAfter), {}};
}

FoundMetadata readMetadata(const std::filesystem::path& url) {
    const File file(url, File::Mode::read);
    auto found = findMetadata(file.length(), [&file](std::span<std::uint8_t> into, std::uint64_t offset) {
        return file.readInto(into, offset);
    });
    found.identity = file.identity();
    return found;
}

void Movie::validate(const std::vector<Atom>& atoms) {
    for (const auto& atom : atoms) {
        if (atom.type == "stsd") checkSampleDescriptions(atom);
        if (isPcmEntry(atom.type)) checkPcmDescription(atom);
        if (atom.type == "chan" && atom.body.size() < 16) fail("Incomplete channel layout.");
        if (atom.children) validate(*atom.children);
    }
}

std::uint64_t topLevelAtomSize(std::span<const std::uint8_t> header, std::uint64_t cursor, std::uint64_t fileSize) {
    return measure(header, cursor, fileSize).size;
}

CollectedLabels collectLabels(const std::vector<Atom>& atoms) {
    CollectedLabels found;
    visit(atoms, [&found](const Atom& atom) {
        if (isPcmEntry(atom.type)) ++found.pcmCount;
        if (atom.type != "chan" || atom.body.size() < 16) return;
        const std::uint32_t tag = u32(atom.body, 4);
        const std::uint32_t bitmap = u32(atom.body, 8);
        const std::uint32_t descriptions = u32(atom.body, 12);
        if (tag == 0 && descriptions == 1 && atom.body.size() >= 36)
            found.labels.push_back(u32(atom.body, 16));
        else if (tag == monoLayoutTag)
            found.labels.push_back(monoLabel);
        else if (tag == bitmapLayoutTag && std::has_single_bit(bitmap) && (bitmap & labelledBits))
            found.labels.push_back(static_cast<std::uint32_t>(std::countr_zero(bitmap)) + 1);
    });
    return found;
}

Movie::Movie(std::filesystem::path url) try : url_(std::move(url)) {
    auto found = readMetadata(url_);
    offset_ = found.place.offset;
    size_ = found.size;
    identity_ = found.identity;
    metadata_ = std::move(found.metadata);
    spaceAfter_ = std::move(found.spaceAfter);
    atoms_ = parse(metadata_);
    // Fragments take their defaults from the "mvex"; such a movie is not one block of metadata.
    if (const auto& moov = atoms_.front(); moov.children)
        for (const auto& child : *moov.children)
            if (child.type == "mvex") fail(fragmented);
    validate(atoms_);
    auto collected = collectLabels(atoms_);
    if (collected.labels.empty() || collected.labels.size() != collected.pcmCount)
        fail(
            "Each PCM audio entry must have one supported mono channel layout. This file is outside the supported "
            "scope.");
    labels_ = std::move(collected.labels);
} catch (const std::bad_alloc&) {
    fail(notEnoughMemoryToOpen);
}

}  // namespace lanemark
