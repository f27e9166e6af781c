#pragma once

// A writer for binary property lists (bplist00) whose root is one dictionary,
// laid out so that a large data value is written from where it already lies
// instead of being copied into the encoding.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace lanemark {

// Text is UTF-8; it is stored as ASCII when it is ASCII and as UTF-16 otherwise.
using PropertyValue = std::variant<std::uint64_t, std::string_view, std::span<const std::uint8_t>>;

struct PropertyEntry {
    std::string_view key;
    PropertyValue value;
};

// The encoding in three pieces: `head`, then the bytes of the data value
// (not copied; they must outlive this), then `tail`.
struct PropertyList {
    std::vector<std::uint8_t> head;
    std::span<const std::uint8_t> data;
    std::vector<std::uint8_t> tail;

    std::array<std::span<const std::uint8_t>, 3> pieces() const { return {head, data, tail}; }
};

// A dictionary of `entries` in their order. At most one value may be data.
PropertyList encodeDictionary(std::span<const PropertyEntry> entries);

}  // namespace lanemark
