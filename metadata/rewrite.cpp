#include "metadata/rewrite.hpp"

#include "platform/failure.hpp"
#include "metadata/tracks.hpp"

namespace lanemark {
namespace {

std::vector<Atom> replaceLevel(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels,
                               std::size_t& index, bool inVideoTrack);

// The layout of the entry's channels, taken from the labels at `index`.
Bytes nextLayout(const Atom& entry, const std::vector<std::uint32_t>& labels, std::size_t& index) {
    const std::uint32_t channels = readSoundDescription(entry).channels;
    if (index > labels.size() || labels.size() - index < channels) fail("Channel count changed.");
    ChannelLayout layout;
    layout.descriptions.assign(labels.begin() + std::ptrdiff_t(index),
                               labels.begin() + std::ptrdiff_t(index + channels));
    index += channels;
    return encodeChannelLayout(layout);
}

// The entry's extensions with its one "chan" carrying `layout`, appended when it had none.
std::vector<Atom> withLayout(std::vector<Atom> children, Bytes layout) {
    for (auto& child : children)
        if (child.type == "chan") {
            child.body = std::move(layout);
            return children;
        }
    children.emplace_back("chan", std::move(layout));
    return children;
}

std::vector<Atom> replaceLevel(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels,
                               std::size_t& index, bool inVideoTrack) {
    std::vector<Atom> result;
    result.reserve(atoms.size());
    for (const auto& atom : atoms) {
        // Children are rebuilt below, so copy the node without its subtree.
        Atom copy;
        copy.type = atom.type;
        copy.code = atom.code;
        copy.body = atom.body;
        copy.prefix = atom.prefix;
        if (atom.children) {
            const bool pcm = countsAsPcm(atom, inVideoTrack);
            // A track's labels come before those of anything nested in it, as they are read.
            auto layout = pcm ? nextLayout(atom, labels, index) : Bytes();
            const bool video = atom.type == "trak" ? isVideoTrack(atom) : inVideoTrack;
            copy.children = replaceLevel(*atom.children, labels, index, video);
            if (pcm) copy.children = withLayout(std::move(*copy.children), std::move(layout));
        }
        result.push_back(std::move(copy));
    }
    return result;
}

}  // namespace

std::vector<Atom> replace(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels,
                          std::size_t& index) {
    return replaceLevel(atoms, labels, index, false);
}

}  // namespace lanemark
