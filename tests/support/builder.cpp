#include "tests/support/builder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace lanemark::build {

Buffer be16(std::uint16_t value) { return {std::uint8_t(value >> 8), std::uint8_t(value)}; }

Buffer be32(std::uint32_t value) {
    return {std::uint8_t(value >> 24), std::uint8_t(value >> 16), std::uint8_t(value >> 8), std::uint8_t(value)};
}

Buffer be64(std::uint64_t value) { return join({be32(std::uint32_t(value >> 32)), be32(std::uint32_t(value))}); }

Buffer zeros(std::size_t count) { return Buffer(count, 0); }

Buffer join(const std::vector<Buffer>& parts) {
    Buffer out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

static Buffer typeBytes(std::string_view type) {
    if (type.size() != 4) throw std::invalid_argument("atom types have four characters");
    return Buffer(type.begin(), type.end());
}

Buffer atom(std::string_view type, const Buffer& payload) {
    return join({be32(std::uint32_t(payload.size() + 8)), typeBytes(type), payload});
}

Buffer rawAtom(const std::uint8_t (&type)[4], const Buffer& payload) {
    return join({be32(std::uint32_t(payload.size() + 8)), Buffer(type, type + 4), payload});
}

Buffer box(std::string_view type, const std::vector<Buffer>& children) { return atom(type, join(children)); }

Buffer extendedHeader(std::string_view type, std::uint64_t size) {
    return join({be32(1), typeBytes(type), be64(size)});
}

Buffer chanBody(std::uint32_t tag, const std::vector<std::uint32_t>& descriptionLabels, std::uint32_t bitmap) {
    Buffer body = join({be32(0), be32(tag), be32(bitmap), be32(std::uint32_t(descriptionLabels.size()))});
    for (auto label : descriptionLabels) body = join({body, be32(label), be32(0), zeros(12)});
    return body;
}

Buffer chanDescribing(std::uint32_t label) { return chanBody(0, {label}); }
Buffer chanMono() { return chanBody(0x640001, {}); }
Buffer chan(const Buffer& body) { return atom("chan", body); }

static Buffer pcmPrefix(int version, std::uint32_t channels) {
    const Buffer head = join({zeros(6), be16(1), be16(std::uint16_t(version)), be16(0), be32(0)});
    if (version == 2) {
        // Bytes 16-39 hold the fixed values of the version-2 layout, then the real fields.
        return join({head, be16(3), be16(16), be16(0xFFFE), be16(0), be32(0x10000), be32(72),
                     be64(0x40F7700000000000ULL) /* 96000.0 */, be32(channels), be32(0x7F000000), be32(24), be32(0x2),
                     be32(3), be32(1)});
    }
    const Buffer v0 = join({head, be16(std::uint16_t(channels)), be16(16), be16(0), be16(0), be32(48000u << 16)});
    if (version == 0) return v0;
    return join({v0, be32(1), be32(2), be32(2 * channels), be32(2)});
}

Buffer lpcm(int version, std::uint32_t channels, const std::vector<Buffer>& extensions, std::string_view type) {
    return atom(type, join({pcmPrefix(version, channels), join(extensions)}));
}

Buffer monoPcm(std::uint32_t label, int version) { return lpcm(version, 1, {chan(chanDescribing(label))}); }

Buffer stsd(const std::vector<Buffer>& entries, std::optional<std::uint32_t> count) {
    return atom("stsd", join({be32(0), be32(count.value_or(std::uint32_t(entries.size()))), join(entries)}));
}

Buffer track(std::string_view handler, const Buffer& sampleDescriptions) {
    const Buffer hdlr = atom("hdlr", join({be32(0), zeros(4), typeBytes(handler), zeros(12), Buffer{0}}));
    const Buffer stbl =
        box("stbl", {sampleDescriptions, atom("stts", join({be32(0), be32(0)})), atom("stsc", join({be32(0), be32(0)})),
                     atom("stsz", join({be32(0), be32(0), be32(0)})), atom("stco", join({be32(0), be32(0)}))});
    const Buffer minf = box("minf", {atom(handler == "soun" ? "smhd" : "vmhd", zeros(8)), stbl});
    return box("trak", {atom("tkhd", zeros(84)), box("mdia", {atom("mdhd", zeros(24)), hdlr, minf})});
}

Buffer soundTrack(const Buffer& sampleEntry) { return track("soun", stsd({sampleEntry})); }

Buffer videoTrack(const Buffer& sampleEntry) { return track("vide", stsd({sampleEntry})); }

Buffer rawVideoEntry() {
    // Read as a sound description (version 0), its 72 dpi would be the size of an extension atom.
    return atom("raw ", join({zeros(6), be16(1), zeros(16), be16(320), be16(240), be32(0x480000), be32(0x480000),
                              zeros(4), be16(1), zeros(32), be16(24), be16(0xFFFF)}));
}

Buffer moov(const std::vector<Buffer>& tracks) {
    std::vector<Buffer> children{atom("mvhd", zeros(100))};
    children.insert(children.end(), tracks.begin(), tracks.end());
    return box("moov", children);
}

Buffer moovWithLabels(const std::vector<std::uint32_t>& labels) {
    std::vector<Buffer> tracks{videoTrack()};
    for (auto label : labels) tracks.push_back(soundTrack(monoPcm(label)));
    return moov(tracks);
}

Buffer movie(const Buffer& metadata, std::size_t mediaBytes) {
    Buffer media(mediaBytes);
    for (std::size_t i = 0; i < mediaBytes; ++i) media[i] = std::uint8_t(i * 31 + 7);
    return join({atom("ftyp", join({typeBytes("qt  "), be32(0x200), typeBytes("qt  ")})), atom("wide"),
                 atom("mdat", media), metadata});
}

std::vector<std::optional<std::uint32_t>> labelled(const std::vector<std::uint32_t>& labels) {
    return {labels.begin(), labels.end()};
}

void writeFile(const std::filesystem::path& path, const Buffer& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

Buffer readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Buffer(std::istreambuf_iterator<char>(in), {});
}

void writeSparseMovie(const std::filesystem::path& path, std::uint64_t mediaBytes, const Buffer& metadata) {
    const Buffer head = join({atom("ftyp", join({typeBytes("qt  "), be32(0x200), typeBytes("qt  ")})),
                              extendedHeader("mdat", mediaBytes + 16)});
    writeFile(path, head);
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    const off_t end = off_t(head.size() + mediaBytes);
    const bool ok = ::pwrite(fd, metadata.data(), metadata.size(), end) == ssize_t(metadata.size());
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path.string());
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lanemark-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace lanemark::build
