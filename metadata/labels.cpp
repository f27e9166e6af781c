#include "metadata/labels.hpp"

namespace lanemark {

std::optional<std::size_t> choiceIndex(std::uint32_t value) {
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (choices[i].value == value) return i;
    return std::nullopt;
}

}  // namespace lanemark
