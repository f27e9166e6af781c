#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.hpp"

namespace lanemark {

// Opened atoms nest no deeper than this; real movies use seven levels.
inline constexpr int maxNesting = 64;

// One node of a movie's metadata tree.
struct Atom {
    std::string type;                           // four characters; "????" when the type bytes are not ASCII
    Bytes body;                                 // the payload as read, also for atoms with children
    std::optional<std::vector<Atom>> children;  // present only for opened atoms
    Bytes prefix;                               // payload bytes ahead of the first child
    std::array<std::uint8_t, 4> code{};         // the type bytes as read

    Atom() = default;
    Atom(std::string type, Bytes body, std::optional<std::vector<Atom>> children = std::nullopt, Bytes prefix = {});

    // The atom's bytes, header and content, with sizes computed afresh.
    std::vector<std::uint8_t> encoded() const;
    std::uint64_t encodedSize() const;
    // Writes encodedSize() bytes at `out` and returns the end of them.
    std::uint8_t* encodeInto(std::uint8_t* out) const;
};

// The uncompressed PCM sample entry types, opened, checked and labelled alike:
// "lpcm" and the per-format types that describe rates below 65,536 Hz.
bool isPcmEntry(std::string_view type);

// Whether `parse` opens atoms of this type as plain containers of other atoms.
bool isContainer(std::string_view type);

// The type an atom goes by for its type bytes: "????" when they are not ASCII.
std::string typeName(const std::array<std::uint8_t, 4>& code);

// Bytes to a list of atoms; throws Failure on malformed input. For data taken
// from inside a tree, `depth` is how many atoms enclose the list and
// `inVideoTrack` whether a video track does.
std::vector<Atom> parse(const Bytes& data, int depth = 0, bool inVideoTrack = false);

// The concatenated encodings of a list of atoms, built in one buffer.
Bytes encode(const std::vector<Atom>& atoms);

// The same encoding without a copy of the payloads: every header is made
// anew, every payload is a view of the bytes it was parsed from. It holds the
// tree, which owns what the views point into.
struct EncodedPieces {
    std::vector<Atom> atoms;
    std::vector<std::uint8_t> headers;
    std::vector<std::span<const std::uint8_t>> pieces;  // in order; together they are the encoding
    std::uint64_t size = 0;
};
EncodedPieces encodePieces(std::vector<Atom> atoms);

// Depth-first, parent before children.
void visit(const std::vector<Atom>& atoms, const std::function<void(const Atom&)>& callback);

}  // namespace lanemark
