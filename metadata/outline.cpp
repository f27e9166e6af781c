#include "metadata/outline.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "platform/failure.hpp"
#include "platform/file.hpp"

namespace lanemark {
namespace {

constexpr std::size_t headerSize = 8;
constexpr std::size_t pageSize = 4096;

// Reads through the last page read: the headers of neighbouring atoms mostly share
// a page, so the walk makes one system call per page rather than one per header.
// No page reaches past `end`, the end of the metadata.
class PagedRead {
public:
    PagedRead(const ReadAt& read, std::uint64_t end) : read_(read), end_(end) {}

    std::size_t operator()(std::span<std::uint8_t> into, std::uint64_t offset) {
        if (into.size() > pageSize / 2) return read_(into, offset);
        if (offset < start_ || offset - start_ + into.size() > length_) {
            start_ = offset - offset % pageSize;
            // A read across the page's end gets a page of its own.
            if (offset - start_ + into.size() > pageSize) start_ = offset;
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(pageSize, end_ - std::min(end_, start_)));
            length_ = read_(std::span(page_).first(length), start_);
        }
        const std::size_t skip = static_cast<std::size_t>(offset - start_);
        const std::size_t count = skip < length_ ? std::min(into.size(), length_ - skip) : 0;
        std::memcpy(into.data(), page_.data() + skip, count);
        return count;
    }

private:
    const ReadAt& read_;
    std::uint64_t end_;
    std::array<std::uint8_t, pageSize> page_{};
    std::uint64_t start_ = 0;
    std::size_t length_ = 0;
};

struct Walk {
    PagedRead read;
    std::size_t atomLimit;
    std::size_t atoms = 0;
};

// The leaves that opening looks into, read whole; any other leaf is skipped.
bool isRead(std::string_view type, bool inVideoTrack) {
    return type == "stsd" || type == "tkhd" || type == "hdlr" || (isPcmEntry(type) && !inVideoTrack);
}

struct Place {
    std::uint64_t offset;
    std::uint64_t length;
};

// The payload of the first atom of `type` in the level at `level`, found from the
// headers up to the first that could not be walked, as parsing finds it.
std::optional<Place> findChild(Walk& walk, Place level, std::string_view type) {
    for (std::uint64_t position = 0; level.length - position >= headerSize;) {
        std::array<std::uint8_t, headerSize> header{};
        if (walk.read(header, level.offset + position) < headerSize) fail("Could not read complete metadata.");
        const std::uint32_t size = u32(header, 0);
        if (size < headerSize || size > level.length - position) return std::nullopt;
        if (std::equal(type.begin(), type.end(), header.begin() + 4))
            return Place{level.offset + position + headerSize, size - headerSize};
        position += size;
    }
    return std::nullopt;
}

// Whether the "trak" whose payload is at `trak` is a video track, by its handler.
bool isVideoTrack(Walk& walk, Place trak) {
    const auto media = findChild(walk, trak, "mdia");
    const auto handler = media ? findChild(walk, *media, "hdlr") : std::nullopt;
    if (!handler || handler->length < 12) return false;
    std::array<std::uint8_t, 4> type{};
    if (walk.read(type, handler->offset + 8) < type.size()) fail("Could not read complete metadata.");
    return std::ranges::equal(type, std::string_view("vide"));
}

std::vector<Atom> readLevel(Walk& walk, Place level, int depth, bool inVideoTrack);

Atom readAtom(Walk& walk, Place place, const std::array<std::uint8_t, 4>& code, int depth, bool inVideoTrack) {
    const std::string type = typeName(code);
    if (isRead(type, inVideoTrack)) {
        const auto size = static_cast<std::size_t>(place.length);
        auto data = allocateBuffer(size);
        if (walk.read({data.get(), size}, place.offset) < size) fail("Could not read complete metadata.");
        // Parsed as the full opening parses it, at the depth it has there.
        return std::move(parse(Bytes(std::move(data), size), depth, inVideoTrack).front());
    }
    Atom atom;
    atom.type = type;
    atom.code = code;
    if (isContainer(type)) {
        const Place payload{place.offset + headerSize, place.length - headerSize};
        if (type == "trak") inVideoTrack = isVideoTrack(walk, payload);
        if (depth >= maxNesting) fail("Metadata nesting is too deep.");
        atom.children = readLevel(walk, payload, depth + 1, inVideoTrack);
    }
    return atom;
}

std::vector<Atom> readLevel(Walk& walk, Place level, int depth, bool inVideoTrack) {
    std::vector<Atom> atoms;
    for (std::uint64_t position = 0; position < level.length;) {
        const std::uint64_t left = level.length - position;
        if (left < headerSize) fail("Incomplete metadata atom.");
        std::array<std::uint8_t, headerSize> header{};
        if (walk.read(header, level.offset + position) < headerSize) fail("Could not read complete metadata.");
        const std::uint32_t size = u32(header, 0);
        if (size < headerSize || size > left) fail("Unsupported metadata atom size.");
        if (++walk.atoms > walk.atomLimit) fail(tooManyAtoms);
        atoms.push_back(readAtom(walk, {level.offset + position, size}, {header[4], header[5], header[6], header[7]},
                                 depth, inVideoTrack));
        position += size;
    }
    return atoms;
}

}  // namespace

std::vector<Atom> readOutline(MetadataPlace place, const ReadAt& read, std::size_t atomLimit) {
    Walk walk{PagedRead(read, place.offset + place.length), atomLimit};
    return readLevel(walk, {place.offset, place.length}, 0, false);
}

MovieContents outlineMovie(const std::filesystem::path& url, std::size_t atomLimit) try {
    const File file(url, File::Mode::read);
    const ReadAt read = [&file](std::span<std::uint8_t> into, std::uint64_t offset) {
        return file.readInto(into, offset);
    };
    auto tracks = checkedTracks(readOutline(locateMetadata(file.length(), read), read, atomLimit));
    auto labels = channelsOf(tracks);
    return {std::move(tracks), std::move(labels), file.identity()};
} catch (const std::bad_alloc&) {
    fail(notEnoughMemoryToOpen, FailureKind::outOfMemory);
}

}  // namespace lanemark
