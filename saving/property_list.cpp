#include "saving/property_list.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace lanemark {
namespace {

using Buffer = std::vector<std::uint8_t>;

// The high nibble of an object's first byte.
enum Marker : std::uint8_t {
    integerMarker = 0x10,
    dataMarker = 0x40,
    asciiMarker = 0x50,
    utf16Marker = 0x60,
    dictionaryMarker = 0xD0
};

void appendBig(Buffer& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The fewest of 1, 2, 4 or 8 bytes that hold `value`.
unsigned widthOf(std::uint64_t value) {
    if (value <= 0xFF) return 1;
    if (value <= 0xFFFF) return 2;
    if (value <= 0xFFFFFFFF) return 4;
    return 8;
}

// Readers take an eight-byte integer as signed, so larger values need the
// sixteen-byte form, whose upper half is zero here.
void appendInteger(Buffer& out, std::uint64_t value) {
    if (value > std::uint64_t{std::numeric_limits<std::int64_t>::max()}) {
        out.push_back(integerMarker | 4);
        appendBig(out, 0, 8);
        appendBig(out, value, 8);
        return;
    }
    const unsigned width = widthOf(value);
    out.push_back(static_cast<std::uint8_t>(integerMarker | std::countr_zero(width)));
    appendBig(out, value, width);
}

// A count below 15 fits in the marker's low nibble; larger ones follow it as an integer.
void appendMarker(Buffer& out, Marker marker, std::uint64_t count) {
    if (count < 15) {
        out.push_back(static_cast<std::uint8_t>(marker | count));
        return;
    }
    out.push_back(marker | 0x0F);
    appendInteger(out, count);
}

// Expects well-formed UTF-8; a sequence cut short at the end is dropped.
std::vector<char16_t> utf16(std::string_view text) {
    std::vector<char16_t> units;
    for (std::size_t at = 0; at < text.size();) {
        const unsigned lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (text.size() - at < length) break;
        char32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t i = 1; i < length; ++i) point = point << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        at += length;
        if (point < 0x10000) {
            units.push_back(static_cast<char16_t>(point));
        } else {
            point -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        }
    }
    return units;
}

void appendText(Buffer& out, std::string_view text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        appendMarker(out, asciiMarker, text.size());
        out.insert(out.end(), text.begin(), text.end());
        return;
    }
    const auto units = utf16(text);
    appendMarker(out, utf16Marker, units.size());
    for (const char16_t unit : units) appendBig(out, unit, 2);
}

bool isData(const PropertyEntry& entry) { return std::holds_alternative<std::span<const std::uint8_t>>(entry.value); }

void appendValue(Buffer& out, const PropertyValue& value) {
    if (const auto* number = std::get_if<std::uint64_t>(&value)) {
        appendInteger(out, *number);
    } else if (const auto* text = std::get_if<std::string_view>(&value)) {
        appendText(out, *text);
    } else {
        const auto data = std::get<std::span<const std::uint8_t>>(value);
        appendMarker(out, dataMarker, data.size());
        out.insert(out.end(), data.begin(), data.end());
    }
}

}  // namespace

PropertyList encodeDictionary(std::span<const PropertyEntry> entries) {
    // Object 0 is the dictionary, 1 to n its keys, then the values with the
    // last data value last, so that its bytes end the objects and need no copy.
    const std::uint64_t count = entries.size();
    const std::uint64_t objects = 1 + 2 * count;
    const auto lastData = std::find_if(entries.rbegin(), entries.rend(), isData);
    const std::size_t streamed = lastData == entries.rend() ? count : std::size_t(entries.rend() - lastData) - 1;
    const unsigned referenceWidth = widthOf(objects);
    std::vector<std::uint64_t> valueObjects;
    std::uint64_t next = 1 + count;
    for (std::size_t i = 0; i < count; ++i) valueObjects.push_back(i == streamed ? objects - 1 : next++);

    PropertyList list;
    Buffer& out = list.head;
    // Reserved once, for the worst case of every object: a backup's digests
    // are megabytes, and a grown buffer would briefly hold them twice.
    std::size_t most = 64 + count * 2 * referenceWidth;
    for (std::size_t i = 0; i < count; ++i) {
        const auto& [key, value] = entries[i];
        most += 2 * key.size() + 32;
        if (i == streamed) continue;
        if (const auto* text = std::get_if<std::string_view>(&value)) most += 2 * text->size();
        if (const auto* data = std::get_if<std::span<const std::uint8_t>>(&value)) most += data->size();
    }
    out.reserve(most);
    out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<std::uint64_t> offsets{out.size()};
    appendMarker(out, dictionaryMarker, count);
    for (std::uint64_t key = 1; key <= count; ++key) appendBig(out, key, referenceWidth);
    for (const auto object : valueObjects) appendBig(out, object, referenceWidth);
    for (const auto& entry : entries) {
        offsets.push_back(out.size());
        appendText(out, entry.key);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (i == streamed) continue;
        offsets.push_back(out.size());
        appendValue(out, entries[i].value);
    }
    if (streamed < count) {
        offsets.push_back(out.size());
        list.data = std::get<std::span<const std::uint8_t>>(entries[streamed].value);
        appendMarker(out, dataMarker, list.data.size());
    }

    const std::uint64_t tableOffset = out.size() + list.data.size();
    const unsigned offsetWidth = widthOf(tableOffset);
    for (const auto offset : offsets) appendBig(list.tail, offset, offsetWidth);
    list.tail.insert(list.tail.end(), 6, 0);  // unused, then the sort version
    list.tail.push_back(static_cast<std::uint8_t>(offsetWidth));
    list.tail.push_back(static_cast<std::uint8_t>(referenceWidth));
    appendBig(list.tail, objects, 8);
    appendBig(list.tail, 0, 8);  // the root object
    appendBig(list.tail, tableOffset, 8);
    return list;
}

}  // namespace lanemark
