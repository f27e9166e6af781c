#include "metadata/labels.hpp"

#include <algorithm>
#include <charconv>

#include "metadata/failure.hpp"
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

}  // namespace

std::optional<std::size_t> choiceIndex(std::uint32_t value) {
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (choices[i].value == value) return i;
    return std::nullopt;
}

std::optional<std::uint32_t> typedLabel(std::string_view item) {
    for (const auto& label : labelNames)
        if (!label.shortName.empty() && sameIgnoringCase(item, label.shortName)) return label.number;
    // from_chars takes no sign for unsigned types and reports values past the type's range.
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), value);
    if (item.empty() || error != std::errc() || end != item.data() + item.size()) return std::nullopt;
    return value;
}

std::vector<std::uint32_t> typedLabels(std::string_view list) {
    std::vector<std::uint32_t> labels;
    for (std::size_t start = 0;;) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const auto item = trimmed(list.substr(start, comma - start));
        const auto label = typedLabel(item);
        if (!label)
            fail("Unknown channel label \"" + printable(item) +
                 "\". Use L, R, C, LFE, Ls, Rs, Lt, Rt, M or a label number.");
        labels.push_back(*label);
        if (comma == list.size()) return labels;
        start = comma + 1;
    }
}

}  // namespace lanemark
