#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "metadata/atom.hpp"
#include "metadata/tracks.hpp"
#include "platform/bytes.hpp"

namespace lanemark {

// One sentence per way a track's sample tables can be wrong, so that a user
// (and a test) can tell which fault the file has.
inline constexpr const char* sampleTablesMissing = "A PCM track has no complete set of sample tables.";
inline constexpr const char* sampleTableIncomplete = "A PCM track's sample table is shorter than it says.";
inline constexpr const char* chunkPastEnd = "A PCM track's chunk lies past the end of the file.";
inline constexpr const char* chunkRunsOutOfOrder = "A PCM track's sample-to-chunk table is out of order.";
inline constexpr const char* chunkRunsPastTable = "A PCM track's sample-to-chunk table names chunks it does not have.";
inline constexpr const char* sampleSizesDisagree = "A PCM track's sample sizes do not match its frame size.";
inline constexpr const char* sampleCountsDisagree =
    "A PCM track's sample count disagrees with its time-to-sample table.";
inline constexpr const char* chunkSamplesDisagree =
    "A PCM track's chunks hold a different number of samples than its sample size table.";
inline constexpr const char* chunksOverlap = "The PCM tracks' chunks hold more bytes than the file.";
inline constexpr const char* unsupportedSampleFormat = "A PCM track's sample format cannot be read.";

// How a PCM track stores one sample of one channel, and a frame of all of them.
struct SampleFormat {
    unsigned bytes = 0;  // per sample: 1, 2, 3, 4 or 8
    bool isFloat = false;
    bool bigEndian = true;
    bool isSigned = true;
    std::uint32_t channels = 0;
    std::uint32_t bytesPerFrame = 0;
    double sampleRate = 0;
};

// The format a PCM sample entry describes: the entry type, the version 1 or 2
// frame size, the 'lpcm' flags, and an 'enda' in 'wave'. Throws
// `unsupportedSampleFormat` for what it cannot decode exactly.
SampleFormat sampleFormat(const Atom& entry);

// A PCM track's chunks as its tables place them, checked against each other and
// against a file of the given length. Views into the metadata; nothing is copied.
struct SampleTables {
    SampleFormat format;
    Bytes offsets;       // the entries of 'stco' or 'co64'
    bool wideOffsets = false;
    Bytes chunkRuns;     // the entries of 'stsc'
    std::uint32_t chunkCount = 0;
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
};

// Reads and checks the tables of the 'stbl' that holds `entry`; throws one of the
// sentences above. The work is linear in the tables' size, whatever they claim.
SampleTables sampleTables(const Atom& stbl, const Atom& entry, std::uint64_t fileSize);

// One chunk: where it starts and how many frames it holds.
struct Chunk {
    std::uint64_t offset = 0;
    std::uint64_t frames = 0;
};

// The chunks of checked tables one at a time, in table order, without a list of them.
class ChunkCursor {
public:
    explicit ChunkCursor(const SampleTables& tables) : tables_(&tables) {}
    std::optional<Chunk> next();

private:
    const SampleTables* tables_;
    std::uint32_t chunk_ = 0;  // the next chunk's index
    std::uint32_t run_ = 0;    // the 'stsc' entry that covers it
    std::uint32_t framesPerChunk_ = 0;
};

// One PCM track of a movie and where its samples are described.
struct SampledTrack {
    PcmTrack track;
    SampleTables tables;
};

// Every PCM track of a parsed, validated tree in the order `pcmTracks` gives
// them, with its checked tables.
std::vector<SampledTrack> sampledTracks(const std::vector<Atom>& atoms, std::uint64_t fileSize);

// Decodes whole frames of `format` into interleaved values where full scale is 1.
// `out` holds data.size() / bytesPerFrame * channels values.
void decodeFrames(const SampleFormat& format, std::span<const std::uint8_t> data, std::span<double> out);

// The magnitude at and above which a sample of `format` is at full scale: the
// largest integer code, or 1 for floats.
double fullScale(const SampleFormat& format);

}  // namespace lanemark
