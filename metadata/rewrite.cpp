#include "metadata/rewrite.hpp"

#include "metadata/failure.hpp"

namespace lanemark {

Bytes singleChannelLayout(std::uint32_t label) {
    std::vector<std::uint8_t> body(36, 0);
    const auto count = bytes(1);
    const auto value = bytes(label);
    std::copy(count.begin(), count.end(), body.begin() + 12);
    std::copy(value.begin(), value.end(), body.begin() + 16);
    return Bytes(std::move(body));
}

std::vector<Atom> replace(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels,
                          std::size_t& index) {
    std::vector<Atom> result;
    result.reserve(atoms.size());
    for (const auto& atom : atoms) {
        // Children are rebuilt below, so copy the node without its subtree.
        Atom copy;
        copy.type = atom.type;
        copy.code = atom.code;
        copy.body = atom.body;
        copy.prefix = atom.prefix;
        if (copy.type == "chan") {
            if (index >= labels.size()) fail("Channel count changed.");
            copy.body = singleChannelLayout(labels[index]);
            ++index;
        }
        if (atom.children) copy.children = replace(*atom.children, labels, index);
        result.push_back(std::move(copy));
    }
    return result;
}

}  // namespace lanemark
