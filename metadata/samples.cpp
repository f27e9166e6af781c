#include "metadata/samples.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include "platform/failure.hpp"

namespace lanemark {
namespace {

// How many atoms enclose the children of a 'wave': moov, trak, mdia, minf, stbl, stsd, the entry and itself.
constexpr int wavePlace = 8;
constexpr std::uint32_t floatFlag = 1, bigEndianFlag = 2, signedFlag = 4, nonInterleavedFlag = 32;

const Atom* child(const Atom& atom, std::string_view type) {
    if (!atom.children) return nullptr;
    const auto found = std::ranges::find(*atom.children, type, &Atom::type);
    return found == atom.children->end() ? nullptr : &*found;
}

// Whether an 'enda' in the entry's 'wave' says the samples are little-endian.
bool saysLittleEndian(const Atom& entry) {
    const Atom* wave = child(entry, "wave");
    if (!wave) return false;
    for (const auto& atom : parse(wave->body, wavePlace))
        if (atom.type == "enda") {
            if (atom.body.size() < 2) fail(unsupportedSampleFormat);
            return (atom.body[0] | atom.body[1]) != 0;
        }
    return false;
}

// The sample layout the entry type fixes; 'lpcm' says it in its flags instead.
void applyType(SampleFormat& format, const Atom& entry, std::uint32_t bits, std::uint32_t flags) {
    const std::string_view type = entry.type;
    format.bytes = bits / 8;
    // Samples narrower than their bytes would need the alignment the flags do not say.
    if (bits % 8 != 0 && type != "raw ") fail(unsupportedSampleFormat);
    if (type == "lpcm") {
        if (flags & nonInterleavedFlag) fail(unsupportedSampleFormat);
        format.isFloat = flags & floatFlag;
        format.bigEndian = flags & bigEndianFlag;
        format.isSigned = flags & signedFlag;
    } else if (type == "sowt") {
        format.bigEndian = false;
    } else if (type == "raw ") {
        format.bytes = 1;
        format.isSigned = false;
    } else if (type != "twos") {
        format.isFloat = type == "fl32" || type == "fl64";
        format.bigEndian = !saysLittleEndian(entry);
    }
    const bool known = format.isFloat ? format.bytes == 4 || format.bytes == 8
                                      : format.bytes >= 1 && format.bytes <= 4;
    if (!known) fail(unsupportedSampleFormat);
}

// A table's entries after its version and flags and `extra` header fields, and their count.
Bytes entries(const Atom& table, std::size_t extra, std::size_t entrySize, std::uint32_t& count) {
    if (table.body.size() < 8 + extra) fail(sampleTableIncomplete);
    count = u32(table.body, 4 + extra);
    const std::size_t start = 8 + extra;
    if ((table.body.size() - start) / entrySize < count) fail(sampleTableIncomplete);
    return table.body.slice(start, std::size_t(count) * entrySize);
}

std::uint64_t sampleCount(const Atom& stsz, std::uint32_t bytesPerFrame) {
    if (stsz.body.size() < 12) fail(sampleTableIncomplete);
    const std::uint32_t size = u32(stsz.body, 4);
    std::uint32_t count = 0;
    if (size != 0) {
        // Older writers count a frame as one byte-sized sample.
        if (size != 1 && size != bytesPerFrame) fail(sampleSizesDisagree);
        return u32(stsz.body, 8);
    }
    const Bytes sizes = entries(stsz, 4, 4, count);
    for (std::uint32_t i = 0; i < count; ++i)
        if (u32(sizes, std::size_t(i) * 4) != bytesPerFrame) fail(sampleSizesDisagree);
    return count;
}

std::uint64_t timedSamples(const Atom& stts) {
    std::uint32_t count = 0;
    const Bytes runs = entries(stts, 0, 8, count);
    std::uint64_t samples = 0;
    for (std::uint32_t i = 0; i < count; ++i) samples += u32(runs, std::size_t(i) * 8);
    return samples;
}

void checkChunkRuns(const SampleTables& tables, std::uint32_t runs) {
    if (tables.chunkCount > 0 && (runs == 0 || u32(tables.chunkRuns, 0) != 1)) fail(chunkRunsOutOfOrder);
    for (std::uint32_t i = 0; i < runs; ++i) {
        const std::uint32_t first = u32(tables.chunkRuns, std::size_t(i) * 12);
        if (first == 0 || first > tables.chunkCount) fail(chunkRunsPastTable);
        if (i > 0 && first <= u32(tables.chunkRuns, std::size_t(i - 1) * 12)) fail(chunkRunsOutOfOrder);
    }
}

template <unsigned Bytes, bool Big>
std::uint64_t load(const std::uint8_t* at) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < Bytes; ++i) value |= std::uint64_t(at[Big ? i : Bytes - 1 - i]) << (8 * (Bytes - 1 - i));
    return value;
}

// NaN carries no level; a float that holds one reads as silence there.
double finite(double value) { return std::isnan(value) ? 0.0 : value; }

template <unsigned Bytes, bool Big, bool Float, bool Signed>
void decodeAs(std::span<const std::uint8_t> data, std::span<double> out) {
    constexpr double scale = 1.0 / double(std::uint64_t(1) << (Bytes * 8 - 1));
    const std::uint8_t* at = data.data();
    for (double& value : out) {
        const std::uint64_t bits = load<Bytes, Big>(at);
        at += Bytes;
        if constexpr (Float && Bytes == 4) {
            value = finite(std::bit_cast<float>(std::uint32_t(bits)));
        } else if constexpr (Float) {
            value = finite(std::bit_cast<double>(bits));
        } else if constexpr (Signed) {
            constexpr unsigned shift = 64 - Bytes * 8;
            value = double(std::int64_t(bits << shift) >> shift) * scale;
        } else {
            value = (double(bits) - double(std::uint64_t(1) << (Bytes * 8 - 1))) * scale;
        }
    }
}

template <unsigned Bytes, bool Big>
void decodeWidth(const SampleFormat& format, std::span<const std::uint8_t> data, std::span<double> out) {
    if constexpr (Bytes == 4 || Bytes == 8)
        if (format.isFloat) return decodeAs<Bytes, Big, true, true>(data, out);
    if constexpr (Bytes <= 4) {
        if (format.isSigned) return decodeAs<Bytes, Big, false, true>(data, out);
        return decodeAs<Bytes, Big, false, false>(data, out);
    }
}

template <bool Big>
void decodeOrder(const SampleFormat& format, std::span<const std::uint8_t> data, std::span<double> out) {
    switch (format.bytes) {
        case 1:
            return decodeWidth<1, Big>(format, data, out);
        case 2:
            return decodeWidth<2, Big>(format, data, out);
        case 3:
            return decodeWidth<3, Big>(format, data, out);
        case 4:
            return decodeWidth<4, Big>(format, data, out);
        case 8:
            return decodeWidth<8, Big>(format, data, out);
    }
    fail(unsupportedSampleFormat);
}

}  // namespace

SampleFormat sampleFormat(const Atom& entry) {
    const SoundDescription sound = readSoundDescription(entry);
    SampleFormat format;
    format.channels = sound.channels;
    format.sampleRate = sound.sampleRate;
    std::uint32_t flags = 0, frameSize = 0, framesPerPacket = 1;
    // The prefix has the length of its version: 44 bytes for version 1, 64 for 2.
    if (sound.version == 1 && entry.prefix.size() >= 44) frameSize = u32(entry.prefix, 36);
    if (sound.version == 2 && entry.prefix.size() >= 64) {
        flags = u32(entry.prefix, 52);
        frameSize = u32(entry.prefix, 56);
        framesPerPacket = u32(entry.prefix, 60);
    } else if (entry.type == "lpcm") {
        fail(unsupportedSampleFormat);  // only version 2 carries the flags
    }
    applyType(format, entry, sound.bitsPerSample, flags);
    if (format.channels == 0 || !(format.sampleRate > 0) || !std::isfinite(format.sampleRate))
        fail(unsupportedSampleFormat);
    format.bytesPerFrame = format.channels * format.bytes;
    if (sound.version > 0 && (framesPerPacket != 1 || frameSize != format.bytesPerFrame))
        fail(unsupportedSampleFormat);
    return format;
}

SampleTables sampleTables(const Atom& stbl, const Atom& entry, std::uint64_t fileSize) {
    SampleTables tables;
    tables.format = sampleFormat(entry);
    const Atom* stco = child(stbl, "stco");
    const Atom* co64 = stco ? nullptr : child(stbl, "co64");
    const Atom* stsc = child(stbl, "stsc");
    const Atom* stsz = child(stbl, "stsz");
    const Atom* stts = child(stbl, "stts");
    if ((!stco && !co64) || !stsc || !stsz || !stts) fail(sampleTablesMissing);
    tables.wideOffsets = co64 != nullptr;
    tables.offsets = entries(co64 ? *co64 : *stco, 0, co64 ? 8 : 4, tables.chunkCount);
    std::uint32_t runs = 0;
    tables.chunkRuns = entries(*stsc, 0, 12, runs);
    checkChunkRuns(tables, runs);
    const std::uint64_t samples = sampleCount(*stsz, tables.format.bytesPerFrame);
    if (samples != timedSamples(*stts)) fail(sampleCountsDisagree);
    ChunkCursor cursor(tables);
    while (const auto chunk = cursor.next()) {
        // At most 2^32 frames of at most 2^19 bytes: no product overflows.
        const std::uint64_t bytes = chunk->frames * tables.format.bytesPerFrame;
        if (bytes > fileSize || chunk->offset > fileSize - bytes) fail(chunkPastEnd);
        tables.frames += chunk->frames;
        tables.bytes += bytes;
        // Chunks that together hold more than the file must share bytes: a table made
        // to read the same bytes again and again is refused before anything is read.
        if (tables.bytes > fileSize) fail(chunksOverlap);
    }
    if (tables.frames != samples) fail(chunkSamplesDisagree);
    return tables;
}

std::optional<Chunk> ChunkCursor::next() {
    const SampleTables& tables = *tables_;
    if (chunk_ >= tables.chunkCount) return std::nullopt;
    const std::size_t runs = tables.chunkRuns.size() / 12;
    if (chunk_ == 0) framesPerChunk_ = u32(tables.chunkRuns, 4);
    while (run_ + 1 < runs && u32(tables.chunkRuns, std::size_t(run_ + 1) * 12) - 1 <= chunk_) {
        ++run_;
        framesPerChunk_ = u32(tables.chunkRuns, std::size_t(run_) * 12 + 4);
    }
    const std::uint64_t offset =
        tables.wideOffsets ? u64(tables.offsets, std::size_t(chunk_) * 8) : u32(tables.offsets, std::size_t(chunk_) * 4);
    ++chunk_;
    return Chunk{offset, framesPerChunk_};
}

std::vector<SampledTrack> sampledTracks(const std::vector<Atom>& atoms, std::uint64_t fileSize) {
    // The PCM entries in the order `pcmTracks` finds them, each with the 'stbl' around it.
    std::vector<std::pair<const Atom*, const Atom*>> entries;
    const auto walk = [&entries](const auto& self, const std::vector<Atom>& level, const Atom* stbl, bool video) -> void {
        for (const auto& atom : level) {
            if (countsAsPcm(atom, video)) entries.emplace_back(&atom, stbl);
            if (atom.children)
                self(self, *atom.children, atom.type == "stbl" ? &atom : stbl,
                     atom.type == "trak" ? isVideoTrack(atom) : video);
        }
    };
    walk(walk, atoms, nullptr, false);
    auto tracks = pcmTracks(atoms);
    std::vector<SampledTrack> sampled;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < tracks.size() && i < entries.size(); ++i) {
        if (!entries[i].second) fail(sampleTablesMissing);
        sampled.push_back({std::move(tracks[i]), sampleTables(*entries[i].second, *entries[i].first, fileSize)});
        bytes += sampled.back().tables.bytes;
        if (bytes > fileSize) fail(chunksOverlap);
    }
    return sampled;
}

void decodeFrames(const SampleFormat& format, std::span<const std::uint8_t> data, std::span<double> out) {
    const std::size_t frames = data.size() / format.bytesPerFrame;
    data = data.first(frames * format.bytesPerFrame);
    out = out.first(frames * format.channels);
    if (format.bytes == 1 || format.bigEndian) return decodeOrder<true>(format, data, out);
    decodeOrder<false>(format, data, out);
}

double fullScale(const SampleFormat& format) {
    if (format.isFloat) return 1.0;
    const double half = double(std::uint64_t(1) << (format.bytes * 8 - 1));
    return (half - 1) / half;
}

}  // namespace lanemark
