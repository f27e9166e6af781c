#pragma once

// Writes synthetic QuickTime movies, so tests say what they build.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace lanemark::build {

using Buffer = std::vector<std::uint8_t>;

Buffer be16(std::uint16_t value);
Buffer be32(std::uint32_t value);
Buffer be64(std::uint64_t value);
Buffer zeros(std::size_t count);
Buffer join(const std::vector<Buffer>& parts);

// An atom in the compact 8-byte form around `payload`.
Buffer atom(std::string_view type, const Buffer& payload = {});
// An atom whose four type bytes are given raw (for non-ASCII types).
Buffer rawAtom(const std::uint8_t (&type)[4], const Buffer& payload = {});
// A container atom holding `children` back to back.
Buffer box(std::string_view type, const std::vector<Buffer>& children);
// The header of an atom in the extended 16-byte form, announcing `size` bytes in all.
Buffer extendedHeader(std::string_view type, std::uint64_t size);

// "chan" payloads.
Buffer chanBody(std::uint32_t tag, const std::vector<std::uint32_t>& descriptionLabels, std::uint32_t bitmap = 0);
Buffer chanDescribing(std::uint32_t label);  // tag 0, one description: the form Lanemark writes
Buffer chanMono();                           // the mono layout tag, no descriptions (16 bytes)
Buffer chan(const Buffer& body);

// An "lpcm" sound description of the given version (0, 1 or 2) with extension
// atoms; `type` gives another PCM entry type the same fields.
Buffer lpcm(int version, std::uint32_t channels, const std::vector<Buffer>& extensions, std::string_view type = "lpcm");
// The uncompressed PCM entry types that share the "lpcm" layout.
inline const std::vector<std::string_view> pcmEntryTypes{"lpcm", "sowt", "twos", "in24",
                                                         "in32", "fl32", "fl64", "raw "};
// A mono version-2 "lpcm" whose "chan" names `label`, as 96 kHz masters carry it.
Buffer monoPcm(std::uint32_t label, int version = 2);

// A sample description table; `count` overrides the declared number of entries.
Buffer stsd(const std::vector<Buffer>& entries, std::optional<std::uint32_t> count = std::nullopt);
// A whole track around one sample description table.
Buffer track(std::string_view handler, const Buffer& sampleDescriptions);
Buffer soundTrack(const Buffer& sampleEntry);
Buffer videoTrack(const Buffer& sampleEntry = atom("apcn", zeros(78)));
// An uncompressed RGB video entry, as ffmpeg writes it for rawvideo.
Buffer rawVideoEntry();

// A "moov" with one video track and one mono PCM track per label.
Buffer moovWithLabels(const std::vector<std::uint32_t>& labels);
Buffer moov(const std::vector<Buffer>& tracks);

// "ftyp", "wide", an "mdat" of `mediaBytes` patterned bytes, then `metadata`.
Buffer movie(const Buffer& metadata, std::size_t mediaBytes = 64);

// Labels as a movie reports them, every channel labelled.
std::vector<std::optional<std::uint32_t>> labelled(const std::vector<std::uint32_t>& labels);

void writeFile(const std::filesystem::path& path, const Buffer& data);
Buffer readFile(const std::filesystem::path& path);

// A movie whose extended-size "mdat" of `mediaBytes` is a hole in a sparse file.
void writeSparseMovie(const std::filesystem::path& path, std::uint64_t mediaBytes, const Buffer& metadata);

// A fresh directory under the system's temporary folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace lanemark::build
