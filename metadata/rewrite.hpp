#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metadata/atom.hpp"

namespace lanemark {

// A copy of `atoms` in which the index-th "chan" atom in walk order names
// labels[index], as a one-description layout. `index` advances once per label placed.
std::vector<Atom> replace(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels, std::size_t& index);

// The 36-byte channel layout naming one channel.
Bytes singleChannelLayout(std::uint32_t label);

}  // namespace lanemark
