#pragma once

// A writer and a strict reader for binary property lists (bplist00) whose
// root is one dictionary. The writer lays a large data value out so that it is
// written from where it already lies instead of being copied into the encoding.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/bytes.hpp"

namespace lanemark {

// Text is UTF-8; it is stored as ASCII when it is ASCII and as UTF-16 otherwise.
using PropertyValue = std::variant<std::uint64_t, std::string_view, std::span<const std::uint8_t>>;

struct PropertyEntry {
    std::string_view key;
    PropertyValue value;
};

// The encoding in three pieces: `head`, then the bytes of the last data value
// (not copied; they must outlive this), then `tail`.
struct PropertyList {
    std::vector<std::uint8_t> head;
    std::span<const std::uint8_t> data;
    std::vector<std::uint8_t> tail;

    std::array<std::span<const std::uint8_t>, 3> pieces() const { return {head, data, tail}; }
};

// A dictionary of `entries` in their order; data values other than the last are copied.
PropertyList encodeDictionary(std::span<const PropertyEntry> entries);

// A value as read: text as UTF-8, data as a view into the encoding.
using DecodedValue = std::variant<std::uint64_t, std::string, Bytes>;
using DecodedDictionary = std::map<std::string, DecodedValue, std::less<>>;

// Reads what the writer writes: one dictionary of distinct text keys whose
// values are unsigned integers, data or text, in any layout the format allows.
// Nothing for anything else: other objects, nesting, references or offsets
// outside the file, or more than `maxDecodedEntries` entries.
inline constexpr std::uint64_t maxDecodedEntries = 1024;
std::optional<DecodedDictionary> decodeDictionary(const Bytes& encoded);

}  // namespace lanemark
