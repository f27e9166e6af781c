#include "bench/movies.hpp"

#include <vector>

namespace lanemark::bench {

using namespace build;

Buffer manyTracks(std::size_t tracks) { return moovWithLabels(std::vector<std::uint32_t>(tracks, 42)); }

namespace {

// A table atom with a version/flags word, `leading` extra header words, an
// entry count and `entries` 32-bit entries that count upwards.
Buffer table(std::string_view type, std::vector<std::uint32_t> leading, std::size_t entries, std::uint32_t step) {
    Buffer payload = be32(0);
    for (auto word : leading) payload = join({payload, be32(word)});
    payload = join({payload, be32(std::uint32_t(entries))});
    payload.reserve(payload.size() + 4 * entries);
    for (std::size_t i = 0; i < entries; ++i) {
        const auto value = be32(std::uint32_t(i * step));
        payload.insert(payload.end(), value.begin(), value.end());
    }
    return atom(type, payload);
}

Buffer soundTrackWithTables(std::size_t entries, const Buffer& sampleEntry) {
    const Buffer hdlr = atom("hdlr", join({be32(0), zeros(4), Buffer{'s', 'o', 'u', 'n'}, zeros(12), Buffer{0}}));
    const Buffer stbl = box("stbl", {stsd({sampleEntry}), atom("stts", join({be32(0), be32(1), be32(1), be32(1)})),
                                     atom("stsc", join({be32(0), be32(1), be32(1), be32(1), be32(1)})),
                                     table("stsz", {0}, entries, 3), table("stco", {}, entries, 3)});
    const Buffer minf = box("minf", {atom("smhd", zeros(8)), stbl});
    return box("trak", {atom("tkhd", zeros(84)), box("mdia", {atom("mdhd", zeros(24)), hdlr, minf})});
}

// Two tables of four bytes an entry carry the size.
std::vector<Buffer> tracksOfSize(std::size_t bytes, const Buffer& sampleEntry) {
    std::vector<Buffer> tracks{videoTrack(), soundTrackWithTables(bytes / 8, sampleEntry)};
    for (int track = 1; track < 12; ++track) tracks.push_back(soundTrack(sampleEntry));
    return tracks;
}

}  // namespace

Buffer largeTables(std::size_t bytes, const Buffer& layout) {
    return moov(tracksOfSize(bytes, lpcm(2, 1, {chan(layout)})));
}

Buffer largeTablesWithoutLayouts(std::size_t bytes) {
    auto tracks = tracksOfSize(bytes, lpcm(2, 1, {}));
    tracks.push_back(atom("free", zeros(12 * chan(chanDescribing(42)).size() - 8)));
    return moov(tracks);
}

Buffer masterTables(std::size_t bytes) {
    const std::size_t entries = bytes / 12 / 8;
    std::vector<Buffer> tracks{videoTrack()};
    for (int track = 0; track < 12; ++track) tracks.push_back(soundTrackWithTables(entries, monoPcm(42)));
    return moov(tracks);
}

}  // namespace lanemark::bench
