#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metadata/atom.hpp"

namespace lanemark {

// A copy of `atoms` in which every PCM track, in walk order, takes the next
// labels, one per channel, from labels[index] on; `index` advances past them.
// Each track's layout is written in the descriptions form, into its "chan" or
// into a new one after the entry's other extensions. Payloads are shared, not copied.
std::vector<Atom> replace(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels, std::size_t& index);

}  // namespace lanemark
