#include <algorithm>
#include <cstring>

#include "saving/property_list.hpp"

namespace lanemark {
namespace {

// Thrown at the first thing the reader does not accept; it never leaves this file.
struct Malformed {};

void require(bool holds) {
    if (!holds) throw Malformed{};
}

// Every read of the encoding goes through here and is checked against its end.
class Region {
public:
    explicit Region(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::span<const std::uint8_t> take(std::uint64_t at, std::uint64_t count) const {
        require(at <= bytes_.size() && count <= bytes_.size() - at);
        return bytes_.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(count));
    }
    std::uint8_t byte(std::uint64_t at) const { return take(at, 1)[0]; }
    // A big-endian unsigned number of 1 to 8 bytes.
    std::uint64_t big(std::uint64_t at, unsigned width) const {
        std::uint64_t value = 0;
        for (const auto byte : take(at, width)) value = value << 8 | byte;
        return value;
    }
    std::uint64_t size() const { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
};

constexpr std::size_t trailerSize = 32;

struct Trailer {
    unsigned offsetWidth = 0;
    unsigned referenceWidth = 0;
    std::uint64_t objects = 0;
    std::uint64_t root = 0;
    std::uint64_t table = 0;  // where the offset table starts; the objects lie before it
};

Trailer trailerOf(const Region& file) {
    require(file.size() >= 8 + trailerSize && std::memcmp(file.take(0, 8).data(), "bplist00", 8) == 0);
    const std::uint64_t at = file.size() - trailerSize;
    Trailer trailer{file.byte(at + 6), file.byte(at + 7), file.big(at + 8, 8), file.big(at + 16, 8),
                    file.big(at + 24, 8)};
    require(trailer.offsetWidth >= 1 && trailer.offsetWidth <= 8);
    require(trailer.referenceWidth >= 1 && trailer.referenceWidth <= 8);
    require(trailer.table >= 8 && trailer.table <= at && trailer.root < trailer.objects);
    require(trailer.objects <= (at - trailer.table) / trailer.offsetWidth);
    return trailer;
}

// An object's kind (the marker's high nibble), its count and where its contents start.
struct Header {
    unsigned kind;
    std::uint64_t count;
    std::uint64_t contents;
};

// UTF-16 code units, big-endian, to UTF-8; a surrogate without its pair is refused.
std::string utf8(std::span<const std::uint8_t> units) {
    std::string text;
    for (std::size_t at = 0; at < units.size(); at += 2) {
        char32_t point = char32_t(units[at] << 8 | units[at + 1]);
        require(point < 0xDC00 || point > 0xDFFF);
        if (point >= 0xD800 && point < 0xDC00) {
            require(units.size() - at >= 4);
            const char32_t low = char32_t(units[at + 2] << 8 | units[at + 3]);
            require(low >= 0xDC00 && low <= 0xDFFF);
            point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
            at += 2;
        }
        const auto push = [&text](char32_t byte) { text.push_back(static_cast<char>(byte)); };
        if (point < 0x80) {
            push(point);
        } else if (point < 0x800) {
            push(0xC0 | point >> 6);
            push(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            push(0xE0 | point >> 12);
            push(0x80 | (point >> 6 & 0x3F));
            push(0x80 | (point & 0x3F));
        } else {
            push(0xF0 | point >> 18);
            push(0x80 | (point >> 12 & 0x3F));
            push(0x80 | (point >> 6 & 0x3F));
            push(0x80 | (point & 0x3F));
        }
    }
    return text;
}

// The objects are read only from the root dictionary down one level, and
// every value must be a leaf, so no reference is ever followed twice in a row.
class Decoder {
public:
    explicit Decoder(const Bytes& encoded)
        : encoded_(encoded),
          file_(encoded.span()),
          trailer_(trailerOf(file_)),
          objects_(encoded.span().first(static_cast<std::size_t>(trailer_.table))) {}

    DecodedDictionary dictionary() const {
        const Header root = header(offsetOf(trailer_.root));
        require(root.kind == 0xD && root.count <= maxDecodedEntries);
        DecodedDictionary entries;
        for (std::uint64_t i = 0; i < root.count; ++i) {
            const auto key = reference(root.contents + i * trailer_.referenceWidth);
            const auto value = reference(root.contents + (root.count + i) * trailer_.referenceWidth);
            require(entries.emplace(text(offsetOf(key)), this->value(offsetOf(value))).second);
        }
        return entries;
    }

private:
    std::uint64_t offsetOf(std::uint64_t object) const {
        require(object < trailer_.objects);
        const std::uint64_t offset = file_.big(trailer_.table + object * trailer_.offsetWidth, trailer_.offsetWidth);
        require(offset >= 8 && offset < trailer_.table);
        return offset;
    }

    std::uint64_t reference(std::uint64_t at) const { return objects_.big(at, trailer_.referenceWidth); }

    // A count of 15 or more follows the marker as an integer object of 1 to 8 bytes.
    Header header(std::uint64_t at) const {
        const std::uint8_t marker = objects_.byte(at);
        if ((marker & 0x0F) != 0x0F) return {unsigned(marker >> 4), marker & 0x0Fu, at + 1};
        const std::uint8_t countMarker = objects_.byte(at + 1);
        require((countMarker & 0xF0) == 0x10 && (countMarker & 0x0F) <= 3);
        const unsigned width = 1u << (countMarker & 0x0F);
        return {unsigned(marker >> 4), objects_.big(at + 2, width), at + 2 + width};
    }

    // Unsigned values only: an eight-byte integer is signed, and a sixteen-byte one carries its upper half first.
    std::uint64_t integer(std::uint64_t at) const {
        const unsigned size = objects_.byte(at) & 0x0F;
        require(size <= 4);
        if (size == 4) {
            require(objects_.big(at + 1, 8) == 0);
            return objects_.big(at + 9, 8);
        }
        const std::uint64_t value = objects_.big(at + 1, 1u << size);
        require(size < 3 || value >> 63 == 0);
        return value;
    }

    std::string text(std::uint64_t at) const {
        const Header object = header(at);
        if (object.kind == 0x6) {
            require(object.count <= objects_.size() / 2);
            return utf8(objects_.take(object.contents, object.count * 2));
        }
        require(object.kind == 0x5);
        const auto characters = objects_.take(object.contents, object.count);
        require(std::all_of(characters.begin(), characters.end(), [](std::uint8_t c) { return c < 0x80; }));
        return std::string(characters.begin(), characters.end());
    }

    DecodedValue value(std::uint64_t at) const {
        switch (objects_.byte(at) >> 4) {
            case 0x1:
                return integer(at);
            case 0x4: {
                const Header object = header(at);
                objects_.take(object.contents, object.count);
                return encoded_.slice(static_cast<std::size_t>(object.contents),
                                      static_cast<std::size_t>(object.count));
            }
            default:
                return text(at);
        }
    }

    const Bytes& encoded_;
    Region file_;
    Trailer trailer_;
    Region objects_;
};

}  // namespace

std::optional<DecodedDictionary> decodeDictionary(const Bytes& encoded) {
    try {
        return Decoder(encoded).dictionary();
    } catch (const Malformed&) {
        return std::nullopt;
    }
}

}  // namespace lanemark
