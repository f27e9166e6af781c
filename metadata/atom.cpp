#include "metadata/atom.hpp"

#include <algorithm>
#include <limits>

#include "platform/failure.hpp"

namespace lanemark {
namespace {

constexpr std::size_t headerSize = 8;

std::array<std::uint8_t, 4> codeOf(const std::string& type) {
    std::array<std::uint8_t, 4> code{};
    for (std::size_t i = 0; i < code.size() && i < type.size(); ++i) code[i] = static_cast<std::uint8_t>(type[i]);
    return code;
}

// The payload of the first atom of `type` among those filling `level`, found from
// their headers alone; parsing the level reports whatever is wrong with it.
std::optional<Bytes> findChild(const Bytes& level, std::string_view type) {
    for (std::size_t position = 0; level.size() - position >= headerSize;) {
        const std::uint32_t size = u32(level, position);
        if (size < headerSize || size > level.size() - position) return std::nullopt;
        if (std::equal(type.begin(), type.end(), level.begin() + position + 4))
            return level.slice(position + headerSize, size - headerSize);
        position += size;
    }
    return std::nullopt;
}

// Whether a "trak" payload belongs to a video track, whose sample entries are never
// sound descriptions: uncompressed video ("raw ") shares a type with PCM audio.
bool isVideoPayload(const Bytes& trak) {
    const auto media = findChild(trak, "mdia");
    const auto handler = media ? findChild(*media, "hdlr") : std::nullopt;
    return handler && handler->size() >= 12 && std::ranges::equal(handler->slice(8, 4), std::string_view("vide"));
}

// How many payload bytes precede the children, or nothing for a leaf.
std::optional<std::size_t> prefixLength(const std::string& type, const Bytes& payload, bool inVideoTrack) {
    if (isContainer(type)) return 0;
    if (type == "stsd") return 8;
    if (!isPcmEntry(type) || inVideoTrack) return std::nullopt;
    if (payload.size() < 28) fail("Incomplete PCM description.");
    switch (payload[8] << 8 | payload[9]) {
        case 0:
            return 28;
        case 1:
            return 44;
        case 2:
            return 64;
        default:
            fail("Unsupported PCM description version.");
    }
}

std::vector<Atom> parseLevel(const Bytes& data, int depth, bool inVideoTrack);

Atom parseAtom(const Bytes& data, std::size_t position, std::uint32_t size, int depth, bool inVideoTrack) {
    Atom atom;
    for (std::size_t i = 0; i < 4; ++i) atom.code[i] = data[position + 4 + i];
    atom.type = typeName(atom.code);
    atom.body = data.slice(position + headerSize, size - headerSize);
    auto length = prefixLength(atom.type, atom.body, inVideoTrack);
    if (!length) return atom;
    if (atom.type == "trak") inVideoTrack = isVideoPayload(atom.body);
    if (depth >= maxNesting) fail("Metadata nesting is too deep.");
    if (atom.body.size() < *length) fail("Incomplete audio metadata.");
    atom.prefix = atom.body.slice(0, *length);
    atom.children = parseLevel(atom.body.slice(*length, atom.body.size() - *length), depth + 1, inVideoTrack);
    return atom;
}

// How many atoms a level holds, counted from their headers, so that the level's
// list is allocated once at its final size: a tree of many small atoms weighs
// several times the metadata, and growing lists would leave up to half of each unused.
std::size_t countLevel(const Bytes& data) {
    std::size_t count = 0;
    for (std::size_t position = 0; data.size() - position >= headerSize; ++count) {
        const std::uint32_t size = u32(data, position);
        if (size < headerSize || size > data.size() - position) return count + 1;
        position += size;
    }
    return count;
}

std::vector<Atom> parseLevel(const Bytes& data, int depth, bool inVideoTrack) {
    std::vector<Atom> atoms;
    atoms.reserve(countLevel(data));
    std::size_t position = 0;
    while (position < data.size()) {
        const std::size_t left = data.size() - position;
        if (left < headerSize) fail("Incomplete metadata atom.");
        const std::uint32_t size = u32(data, position);
        if (size < headerSize || size > left) fail("Unsupported metadata atom size.");
        atoms.push_back(parseAtom(data, position, size, depth, inVideoTrack));
        position += size;
    }
    return atoms;
}

std::uint8_t* put(std::uint8_t* out, std::span<const std::uint8_t> data) {
    return data.empty() ? out : std::copy(data.begin(), data.end(), out);
}

}  // namespace

bool isContainer(std::string_view type) {
    return type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl";
}

std::string typeName(const std::array<std::uint8_t, 4>& code) {
    for (auto byte : code)
        if (byte > 0x7F) return "????";
    return std::string(code.begin(), code.end());
}

bool isPcmEntry(std::string_view type) {
    static constexpr std::array<std::string_view, 8> types{"lpcm", "sowt", "twos", "in24",
                                                           "in32", "fl32", "fl64", "raw "};
    return std::find(types.begin(), types.end(), type) != types.end();
}

Atom::Atom(std::string type_, Bytes body_, std::optional<std::vector<Atom>> children_, Bytes prefix_)
    : type(std::move(type_)),
      body(std::move(body_)),
      children(std::move(children_)),
      prefix(std::move(prefix_)),
      code(codeOf(type)) {}

std::uint64_t Atom::encodedSize() const {
    if (!children) return headerSize + body.size();
    std::uint64_t size = headerSize + prefix.size();
    for (const auto& child : *children) size += child.encodedSize();
    return size;
}

namespace {

std::uint8_t* putHeader(const Atom& atom, std::uint8_t* out) {
    const std::uint64_t size = atom.encodedSize();
    if (size > std::numeric_limits<std::uint32_t>::max()) fail("Metadata atom is too large to save.");
    out = put(out, bytes(static_cast<std::uint32_t>(size)));
    // The bytes as read stand for the type unless the text was changed since.
    return put(out, typeName(atom.code) == atom.type ? atom.code : codeOf(atom.type));
}

}  // namespace

std::uint8_t* Atom::encodeInto(std::uint8_t* out) const {
    out = putHeader(*this, out);
    if (!children) return put(out, body);
    out = put(out, prefix);
    for (const auto& child : *children) out = child.encodeInto(out);
    return out;
}

std::vector<std::uint8_t> Atom::encoded() const {
    std::vector<std::uint8_t> out(encodedSize());
    encodeInto(out.data());
    return out;
}

std::vector<Atom> parse(const Bytes& data, int depth, bool inVideoTrack) {
    return parseLevel(data, depth, inVideoTrack);
}

Bytes encode(const std::vector<Atom>& atoms) {
    std::uint64_t total = 0;
    for (const auto& atom : atoms) total += atom.encodedSize();
    auto buffer = allocateBuffer(static_cast<std::size_t>(total));
    std::uint8_t* out = buffer.get();
    for (const auto& atom : atoms) out = atom.encodeInto(out);
    return Bytes(std::move(buffer), static_cast<std::size_t>(total));
}

namespace {

std::size_t countAtoms(const std::vector<Atom>& atoms) {
    std::size_t count = atoms.size();
    for (const auto& atom : atoms)
        if (atom.children) count += countAtoms(*atom.children);
    return count;
}

// Pieces that follow each other in memory become one, so that a run of headers is one write.
void addPiece(EncodedPieces& encoded, std::span<const std::uint8_t> piece) {
    if (piece.empty()) return;
    auto& pieces = encoded.pieces;
    if (!pieces.empty() && pieces.back().data() + pieces.back().size() == piece.data())
        pieces.back() = {pieces.back().data(), pieces.back().size() + piece.size()};
    else
        pieces.push_back(piece);
}

void addPieces(const Atom& atom, EncodedPieces& encoded, std::uint8_t*& header) {
    std::uint8_t* const start = header;
    header = putHeader(atom, header);
    addPiece(encoded, {start, headerSize});
    if (!atom.children) return addPiece(encoded, atom.body);
    addPiece(encoded, atom.prefix);
    for (const auto& child : *atom.children) addPieces(child, encoded, header);
}

}  // namespace

EncodedPieces encodePieces(std::vector<Atom> atoms) {
    EncodedPieces encoded;
    encoded.atoms = std::move(atoms);
    encoded.headers.resize(countAtoms(encoded.atoms) * headerSize);
    std::uint8_t* header = encoded.headers.data();
    for (const auto& atom : encoded.atoms) {
        encoded.size += atom.encodedSize();
        addPieces(atom, encoded, header);
    }
    return encoded;
}

void visit(const std::vector<Atom>& atoms, const std::function<void(const Atom&)>& callback) {
    for (const auto& atom : atoms) {
        callback(atom);
        if (atom.children) visit(*atom.children, callback);
    }
}

}  // namespace lanemark
