#pragma once

// Core Audio channel-layout facts, generated into layout_tables.cpp by
// tools/layout_tables.py from the reference tables.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lanemark {

// One channel label: its number, the short name typed for it ("" when none is
// conventional) and its plain name without remarks.
struct LabelName {
    std::uint32_t number;
    std::string_view shortName;
    std::string_view name;
};

// Labels numbered base + N, such as Discrete_N; `name` says "N" for the index.
struct LabelRange {
    std::uint32_t first;
    std::uint32_t last;
    std::string_view name;
};

// A layout tag and where its channels' labels stand in layoutTagLabels.
struct LayoutTag {
    std::uint32_t tag;
    std::uint16_t first;
    std::uint16_t count;
};

// Tags ORed with their channel count, channel i taking label firstLabel + i,
// or no label at all.
struct LayoutFamily {
    std::uint32_t base;
    std::optional<std::uint32_t> firstLabel;
};

extern const std::span<const LabelName> labelNames;  // by number
extern const std::span<const LabelRange> labelRanges;
extern const std::span<const std::uint32_t> bitmapLabels;  // by bit; 0 where the bit is undefined
extern const std::span<const std::uint32_t> layoutTagLabels;
extern const std::span<const LayoutTag> layoutTags;  // by tag
extern const std::span<const LayoutFamily> layoutFamilies;

}  // namespace lanemark
