#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lanemark {

// A named Core Audio channel label.
struct Label {
    std::string name;
    std::uint32_t value;
};

// The labels a user can pick, in menu order.
inline const std::vector<Label> choices{
    {"Left", 1},
    {"Right", 2},
    {"Center", 3},
    {"LFE", 4},
    {"Left Back / Surround", 5},
    {"Right Back / Surround", 6},
    {"Left Total", 38},
    {"Right Total", 39},
    {"Mono", 42},
};

// The twelve-track delivery layout: 5.1 then three Lt/Rt pairs.
inline const std::array<std::uint32_t, 12> preset{1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39};

// Names that stand for several labels at once in a typed list, matched without regard to case.
struct LayoutName {
    std::string name;
    std::vector<std::uint32_t> labels;
};
inline const std::vector<LayoutName> layoutNames{
    {"stereo", {1, 2}},
    {"LtRt", {38, 39}},
    {"5.1", {1, 2, 3, 4, 5, 6}},
    {"7.1", {1, 2, 3, 4, 5, 6, 33, 34}},
    {"delivery", {preset.begin(), preset.end()}},
};

// The index in `choices` of the entry carrying `value`, if any.
std::optional<std::size_t> choiceIndex(std::uint32_t value);

// The name a label goes by in reports: the catalogue's for its nine, the Core Audio
// name for the others, "Discrete N" for discrete channel N; none for a label without one.
std::optional<std::string> labelName(std::uint32_t label);

// The short name a label is typed as ("L", "Rls", "LFE2"...); none for a label without one.
std::optional<std::string> shortLabelName(std::uint32_t label);

// The layout whose labels these are, each once in any order: "mono", "stereo", "LtRt", "5.1" or "7.1".
std::optional<std::string> layoutOf(const std::vector<std::optional<std::uint32_t>>& labels);

// The value of one typed label, matched without regard to case: the short name of a Core
// Audio label ("Ls", "Rls", "LFE2", "M" for Mono...), a decimal label number, or a long name,
// so that every name `labelName` gives can be typed back ("Left Total", "Rear Surround Left",
// "Discrete 3"). A short name wins over a long one spelt the same ("X" is Ambisonic X).
std::optional<std::uint32_t> typedLabel(std::string_view item);

// Labels typed as one comma-separated list, blanks around each item ignored; a
// layout name puts its labels in at its place, and a long name that has commas in it spans as many
// items. Throws Failure naming the first item that is neither a name nor a number.
std::vector<std::uint32_t> typedLabels(std::string_view list);

}  // namespace lanemark
