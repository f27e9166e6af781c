#include "metadata/labels.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

#include "platform/failure.hpp"
#include "metadata/layout_tables.hpp"
#include "platform/file.hpp"

namespace lanemark {
namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Discrete_N is 65536 + N.
constexpr std::uint32_t discreteLabels = 0x10000;

std::optional<std::uint32_t> decimal(std::string_view text) {
    // from_chars takes no sign for unsigned types and reports values past the type's range.
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The label of a numbered range whose name, with "N" for the index, is `pattern`: "Discrete 3" is 65539.
std::optional<std::uint32_t> rangeNamed(std::string_view item, std::string_view pattern, const LabelRange& range) {
    const auto at = pattern.find(" N");
    if (at == std::string_view::npos) return std::nullopt;
    const auto head = pattern.substr(0, at + 1), tail = pattern.substr(at + 2);
    if (item.size() <= head.size() + tail.size() || !sameIgnoringCase(item.substr(0, head.size()), head) ||
        !sameIgnoringCase(item.substr(item.size() - tail.size()), tail))
        return std::nullopt;
    const auto index = decimal(item.substr(head.size(), item.size() - head.size() - tail.size()));
    if (!index || *index > range.last - range.first) return std::nullopt;
    return range.first + *index;
}

// A label by the name reports give it, or the plain name of the reference tables.
std::optional<std::uint32_t> longNamed(std::string_view item) {
    for (const auto& choice : choices)
        if (sameIgnoringCase(item, choice.name)) return choice.value;
    for (const auto& label : labelNames)
        if (sameIgnoringCase(item, label.name)) return label.number;
    for (const auto& range : labelRanges) {
        if (const auto label = rangeNamed(item, range.name, range)) return label;
        if (range.first == discreteLabels)
            if (const auto label = rangeNamed(item, "Discrete N", range)) return label;
    }
    return std::nullopt;
}

// Reports name some labels with commas in them ("HOA channel, ACN index 3, SN3D normalisation"):
// a name of up to three items from `start` on, and where it ends.
std::optional<std::pair<std::uint32_t, std::size_t>> spannedName(std::string_view list, std::size_t start) {
    std::size_t end = list.find(',', start);
    for (int items = 2; items <= 3 && end != std::string_view::npos; ++items) {
        end = std::min(list.find(',', end + 1), list.size());
        if (const auto label = longNamed(trimmed(list.substr(start, end - start)))) return std::pair(*label, end);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> choiceIndex(std::uint32_t value) {
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (choices[i].value == value) return i;
    return std::nullopt;
}

std::optional<std::string> labelName(std::uint32_t label) {
    if (const auto index = choiceIndex(label)) return choices[*index].name;
    const auto named = std::ranges::lower_bound(labelNames, label, {}, &LabelName::number);
    if (named != labelNames.end() && named->number == label) return std::string(named->name);
    for (const auto& range : labelRanges) {
        if (label < range.first || label > range.last) continue;
        const std::string index = std::to_string(label - range.first);
        if (range.first == discreteLabels) return "Discrete " + index;
        // The table says "N" where the index goes.
        std::string name(range.name);
        const auto at = name.find(" N");
        return at == std::string::npos ? name : name.replace(at + 1, 1, index);
    }
    return std::nullopt;
}

std::optional<std::string> shortLabelName(std::uint32_t label) {
    const auto named = std::ranges::lower_bound(labelNames, label, {}, &LabelName::number);
    if (named == labelNames.end() || named->number != label || named->shortName.empty()) return std::nullopt;
    return std::string(named->shortName);
}

std::optional<std::string> layoutOf(const std::vector<std::optional<std::uint32_t>>& labels) {
    if (labels.size() == 1 && labels[0] == 42u) return "mono";
    if (std::ranges::any_of(labels, [](const auto& label) { return !label; })) return std::nullopt;
    std::vector<std::uint32_t> sorted;
    for (const auto& label : labels) sorted.push_back(*label);
    std::ranges::sort(sorted);
    for (const auto& layout : layoutNames) {
        if (layout.name == "delivery") continue;
        auto wanted = layout.labels;
        std::ranges::sort(wanted);
        if (sorted == wanted) return layout.name;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> typedLabel(std::string_view item) {
    for (const auto& label : labelNames)
        if (!label.shortName.empty() && sameIgnoringCase(item, label.shortName)) return label.number;
    if (const auto value = decimal(item)) return value;
    return longNamed(item);
}

std::vector<std::uint32_t> typedLabels(std::string_view list) {
    std::vector<std::uint32_t> labels;
    for (std::size_t start = 0;;) {
        std::size_t comma = std::min(list.find(',', start), list.size());
        const auto item = trimmed(list.substr(start, comma - start));
        const auto layout = std::ranges::find_if(
            layoutNames, [item](const LayoutName& name) { return sameIgnoringCase(item, name.name); });
        if (layout != layoutNames.end())
            labels.insert(labels.end(), layout->labels.begin(), layout->labels.end());
        else if (const auto label = typedLabel(item))
            labels.push_back(*label);
        else if (const auto spanned = spannedName(list, start)) {
            labels.push_back(spanned->first);
            comma = spanned->second;
        } else
            fail("Unknown channel label \"" + printable(item) +
                 "\". Use L, R, C, LFE, Ls, Rs, Lt, Rt, M or a label number.");
        if (comma == list.size()) return labels;
        start = comma + 1;
    }
}

}  // namespace lanemark
