// Feeds arbitrary bytes through everything that opening and saving do with a
// movie, first as the metadata itself (parse, validate, read the PCM tracks,
// and the exact re-encoding of what parsed), then as a whole file: the
// top-level walk, and for an accepted movie the relabelling and its encoding,
// which must open again with the new labels. The channel-layout reader also
// takes the bytes on their own, as the body of a "chan". The lazy opening of
// the same file must come to the same end: the same labels, or a refusal in
// the same words. The sample tables of an accepted movie are read and decoded.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/failure.hpp"
#include "metadata/movie.hpp"
#include "metadata/outline.hpp"
#include "metadata/rewrite.hpp"
#include "metadata/samples.hpp"

namespace {

using namespace lanemark;

void check(bool holds) {
    if (!holds) std::abort();
}

// Opening's steps after the walk; nothing when the movie is refused.
std::optional<std::vector<ChannelLabel>> accepted(const std::vector<Atom>& atoms) {
    Movie::validate(atoms);
    const auto tracks = pcmTracks(atoms);
    if (tracks.empty()) return std::nullopt;
    return channelsOf(tracks);
}

void metadata(std::span<const std::uint8_t> input) {
    std::vector<Atom> atoms;
    try {
        atoms = parse(Bytes(std::vector<std::uint8_t>(input.begin(), input.end())));
    } catch (const Failure&) {
        return;
    }
    check(encode(atoms) == input);
    try {
        accepted(atoms);
    } catch (const Failure&) {
    }
}

// Every label moves one place on, so that each channel's label really changes.
std::vector<std::uint32_t> relabelling(const std::vector<ChannelLabel>& labels) {
    std::vector<std::uint32_t> next;
    for (const auto& label : labels) next.push_back(label.value_or(0) % 64 + 1);
    return next;
}

// The first byte picks a channel count, the rest is a "chan" body. A layout accepted names exactly
// that many channels, and its labels written in the descriptions form read back the same.
void layout(std::span<const std::uint8_t> input) {
    if (input.empty()) return;
    const std::uint32_t channels = input[0] % 8 + 1;
    const Bytes body(std::vector<std::uint8_t>(input.begin() + 1, input.end()));
    std::optional<std::vector<std::uint32_t>> labels;
    try {
        const auto read = readChannelLayout(body);
        check(16 + 20 * read.descriptions.size() <= body.size());
        labels = channelLabels(read, channels);
    } catch (const Failure&) {
        return;
    }
    if (!labels) return;
    const auto again = readChannelLayout(encodeChannelLayout({0, 0, *labels, true}));
    check(labels->size() == channels && again.tag == 0 && again.complete && channelLabels(again, channels) == labels);
}

// The labels an opening finds, or the sentence it refuses the movie with.
using Outcome = std::pair<std::vector<ChannelLabel>, std::string>;

template <typename Open>
Outcome outcomeOf(Open open) {
    try {
        return {channelsOf(checkedTracks(open())), ""};
    } catch (const Failure& failure) {
        return {{}, failure.what()};
    }
}

// The sample tables of an accepted movie: whatever they claim, the chunks they give
// lie in the file, add up to what the checks counted, and decode to levels in range.
void sampleTables(const std::vector<Atom>& atoms, std::span<const std::uint8_t> input) {
    std::vector<SampledTrack> tracks;
    try {
        tracks = sampledTracks(atoms, input.size());
    } catch (const Failure&) {
        return;
    }
    std::vector<double> decoded;
    for (const auto& track : tracks) {
        const auto& format = track.tables.format;
        std::uint64_t frames = 0, bytes = 0;
        ChunkCursor cursor(track.tables);
        while (const auto chunk = cursor.next()) {
            const std::uint64_t length = chunk->frames * format.bytesPerFrame;
            check(chunk->offset <= input.size() && length <= input.size() - chunk->offset);
            frames += chunk->frames;
            bytes += length;
            const auto piece = input.subspan(std::size_t(chunk->offset), std::size_t(std::min<std::uint64_t>(length, 4096)));
            decoded.assign(piece.size() / format.bytesPerFrame * format.channels, 0.0);
            decodeFrames(format, piece, decoded);
            for (const double value : decoded) check(format.isFloat || (value >= -1 && value < 1));
        }
        check(frames == track.tables.frames && bytes == track.tables.bytes && bytes <= input.size());
    }
}

void wholeFile(std::span<const std::uint8_t> input) {
    const auto read = [input](std::span<std::uint8_t> into, std::uint64_t offset) {
        if (offset >= input.size()) return std::size_t{0};
        const auto count = std::min<std::size_t>(into.size(), input.size() - std::size_t(offset));
        std::memcpy(into.data(), input.data() + offset, count);
        return count;
    };
    const auto full = outcomeOf([&] { return parse(findMetadata(input.size(), read).metadata); });
    const auto lazy = outcomeOf([&] { return readOutline(locateMetadata(input.size(), read), read); });
    check(full == lazy);
    std::vector<std::uint32_t> labels;
    std::vector<Atom> atoms;
    try {
        const auto found = findMetadata(input.size(), read);
        check(found.place.offset + found.metadata.size() <= input.size());
        atoms = parse(found.metadata);
        auto opened = accepted(atoms);
        if (!opened) return;
        sampleTables(atoms, input);
        labels = relabelling(*opened);
    } catch (const Failure&) {
        return;
    }
    std::size_t index = 0;
    std::vector<Atom> rewritten;
    try {
        rewritten = replace(atoms, labels, index);
    } catch (const Failure&) {
        return;  // a "chan" that carries no track's label, refused by the save as well
    }
    if (index != labels.size()) return;
    const auto again = parse(encode(rewritten));
    check(accepted(again) == std::vector<ChannelLabel>(labels.begin(), labels.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    metadata(input);
    wholeFile(input);
    layout(input);
    return 0;
}
