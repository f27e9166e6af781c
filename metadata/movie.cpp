#include "metadata/movie.hpp"

#include <array>
#include <new>
#include <optional>

#include "platform/failure.hpp"
#include "platform/file.hpp"

namespace lanemark {
namespace {

// Beyond this no layout tag could name a track's channels.
constexpr std::uint32_t channelsPerTrack = 0xFFFF;

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

// A track without a layout is unlabelled; one with several cannot be read.
void checkPcmDescription(const Atom& atom) {
    const auto layouts = layoutAtoms(atom);
    if (!atom.children || layouts.size() > 1) fail("PCM channel metadata is missing or ambiguous.");
    const auto channels = readSoundDescription(atom).channels;
    if (channels == 0 || channels > channelsPerTrack) fail(channelCountRefused);
    if (!layouts.empty()) readChannelLayout(layouts.front()->body);
}

void checkSampleDescriptions(const Atom& atom) {
    const bool valid = atom.prefix.size() == 8 && u32(atom.prefix, 4) == 1 &&
                       !(atom.children && !atom.children->empty() && atom.children->front().type == "mp4a");
    if (!valid) fail("Unsupported sample descriptions.");
}

void validateLevel(const std::vector<Atom>& atoms, bool inVideoTrack) {
    for (const auto& atom : atoms) {
        if (atom.type == "stsd") checkSampleDescriptions(atom);
        if (countsAsPcm(atom, inVideoTrack)) checkPcmDescription(atom);
        if (atom.children) validateLevel(*atom.children, atom.type == "trak" ? isVideoTrack(atom) : inVideoTrack);
    }
}

// Fragments take their defaults from the "mvex"; such a movie is not one block of metadata.
void refuseFragments(const std::vector<Atom>& atoms) {
    for (const auto& moov : atoms)
        if (moov.children)
            for (const auto& child : *moov.children)
                if (child.type == "mvex") fail(fragmented);
}

struct Walk {
    MetadataPlace place;
    std::vector<std::uint64_t> spaceAfter;
    std::optional<std::uint64_t> openEnd;
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
        if (hasType(header, "moof")) fail(fragmented);
        if (u32(header, 0) == 0) found.openEnd = cursor;
        // Only compact sizes: the space taken is rewritten with one.
        spaceContinues = spaceContinues && isFreeSpace(header) && u32(header, 0) == atom.size;
        if (spaceContinues) found.spaceAfter.push_back(atom.size);
        if (hasType(header, "moov")) {
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
    auto [place, spaceAfter, openEnd] = walk(fileSize, read);
    const auto length = static_cast<std::size_t>(place.length);
    auto data = allocateBuffer(length);
    if (read({data.get(), length}, place.offset) < length) fail("Could not read complete metadata.");
    return {place, fileSize, Bytes(std::move(data), length), std::move(spaceAfter), openEnd, {}};
}

FoundMetadata readMetadata(const std::filesystem::path& url) {
    const File file(url, File::Mode::read);
    auto found = findMetadata(file.length(), [&file](std::span<std::uint8_t> into, std::uint64_t offset) {
        return file.readInto(into, offset);
    });
    found.identity = file.identity();
    return found;
}

void Movie::validate(const std::vector<Atom>& atoms) { validateLevel(atoms, false); }

bool hasType(std::span<const std::uint8_t> header, std::string_view type) {
    return header.size() >= 8 && type.size() == 4 && std::equal(type.begin(), type.end(), header.begin() + 4);
}

bool isFreeSpace(std::span<const std::uint8_t> header) { return hasType(header, "free") || hasType(header, "skip"); }

std::uint64_t topLevelAtomSize(std::span<const std::uint8_t> header, std::uint64_t cursor, std::uint64_t fileSize) {
    return measure(header, cursor, fileSize).size;
}

std::vector<PcmTrack> checkedTracks(const std::vector<Atom>& atoms) {
    refuseFragments(atoms);
    Movie::validate(atoms);
    auto tracks = pcmTracks(atoms);
    if (tracks.empty()) fail(noPcmTracks);
    return tracks;
}

Movie::Movie(std::filesystem::path url) try : url_(std::move(url)) {
    auto found = readMetadata(url_);
    offset_ = found.place.offset;
    size_ = found.size;
    identity_ = found.identity;
    metadata_ = std::move(found.metadata);
    spaceAfter_ = std::move(found.spaceAfter);
    openEnd_ = found.openEnd;
    atoms_ = parse(metadata_);
    tracks_ = checkedTracks(atoms_);
    labels_ = channelsOf(tracks_);
} catch (const std::bad_alloc&) {
    fail(notEnoughMemoryToOpen, FailureKind::outOfMemory);
}

}  // namespace lanemark
