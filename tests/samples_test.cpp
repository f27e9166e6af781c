#include "metadata/samples.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "analysis/analyze.hpp"
#include "main/verbs.hpp"
#include "tests/support/builder.hpp"

namespace lanemark {
namespace {

using namespace build;

// A sound entry whose fields say `bits`, `flags` and the frame size of one channel.
Buffer entry(std::string_view type, int version, std::uint32_t bits, std::uint32_t flags, bool littleEndian) {
    const std::uint32_t bytes = type == "in24" ? 3 : bits / 8;
    const Buffer head = join({zeros(6), be16(1), be16(std::uint16_t(version)), be16(0), be32(0)});
    Buffer prefix = join({head, be16(1), be16(std::uint16_t(bits)), be16(0), be16(0), be32(48000u << 16)});
    if (version == 1) prefix = join({prefix, be32(1), be32(bytes), be32(bytes), be32(bytes)});
    if (version == 2)
        prefix = join({head, be16(3), be16(16), be16(0xFFFE), be16(0), be32(0x10000), be32(72),
                       be64(0x40E7700000000000ULL) /* 48000.0 */, be32(1), be32(0x7F000000), be32(bits), be32(flags),
                       be32(bytes), be32(1)});
    return atom(type, join({prefix, littleEndian ? atom("wave", atom("enda", be16(1))) : Buffer{}, chan(chanMono())}));
}

// A movie of one mono track whose one chunk holds `samples`; `frames` and `timed`
// are what 'stsz' and 'stts' claim, `offset` where 'stco' puts the chunk.
Buffer pcmMovie(const Buffer& sampleEntry, const Buffer& samples, std::uint32_t frames, std::uint32_t timed,
                std::optional<std::uint32_t> offset = {}) {
    const Buffer stbl = box("stbl", {stsd({sampleEntry}), atom("stts", join({be32(0), be32(1), be32(timed), be32(1)})),
                                     atom("stsc", join({be32(0), be32(1), be32(1), be32(frames), be32(1)})),
                                     atom("stsz", join({be32(0), be32(1), be32(frames)})),
                                     atom("stco", join({be32(0), be32(1), be32(offset.value_or(36))}))});
    const Buffer hdlr = atom("hdlr", join({be32(0), zeros(4), Buffer{'s', 'o', 'u', 'n'}, zeros(12), Buffer{0}}));
    const Buffer minf = box("minf", {atom("smhd", zeros(8)), stbl});
    const Buffer trak = box("trak", {atom("tkhd", zeros(84)), box("mdia", {atom("mdhd", zeros(24)), hdlr, minf})});
    // ftyp (20 bytes) and wide (8), then the samples at byte 36 inside 'mdat'.
    return join({atom("ftyp", join({Buffer{'q', 't', ' ', ' '}, be32(0x200), Buffer{'q', 't', ' ', ' '}})),
                 atom("wide"), atom("mdat", samples), moov({trak})});
}

// Writes each of `movies` to a file and analyses them all in one run.
nlohmann::json analyzed(const std::vector<Buffer>& movies, int& status) {
    const TempDir dir;
    std::vector<std::string> names;
    for (const auto& bytes : movies) {
        names.push_back((dir / ("movie" + std::to_string(names.size()) + ".mov")).string());
        writeFile(names.back(), bytes);
    }
    std::vector<char*> arguments;
    for (auto& name : names) arguments.push_back(name.data());
    std::ostringstream out, err;
    status = analyzeMovies(arguments, out, err);
    return nlohmann::json::parse(out.str());
}

TEST(SampleReading, DecodesEveryPcmFlavour) {
    // Type, version, bits, flags, 'enda', and the samples +0.5 then -0.25 of full scale.
    const std::tuple<std::string_view, int, std::uint32_t, std::uint32_t, bool, Buffer> flavours[] = {
        {"twos", 0, 8, 0, false, {0x40, 0xE0}},
        {"raw ", 0, 8, 0, false, {0xC0, 0x60}},
        {"twos", 0, 16, 0, false, {0x40, 0, 0xE0, 0}},
        {"sowt", 0, 16, 0, false, {0, 0x40, 0, 0xE0}},
        {"in24", 0, 24, 0, false, {0x40, 0, 0, 0xE0, 0, 0}},
        {"in24", 1, 16, 0, true, {0, 0, 0x40, 0, 0, 0xE0}},  // ffmpeg's form: the field says 16
        {"in32", 1, 32, 0, false, {0x40, 0, 0, 0, 0xE0, 0, 0, 0}},
        {"in32", 0, 32, 0, true, {0, 0, 0, 0x40, 0, 0, 0, 0xE0}},
        {"fl32", 0, 32, 0, false, {0x3F, 0, 0, 0, 0xBE, 0x80, 0, 0}},
        {"fl32", 1, 32, 0, true, {0, 0, 0, 0x3F, 0, 0, 0x80, 0xBE}},
        {"fl64", 0, 64, 0, false, join({be64(0x3FE0000000000000), be64(0xBFD0000000000000)})},
        {"fl64", 0, 64, 0, true, {0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 0, 0, 0, 0, 0, 0, 0xD0, 0xBF}},
        {"lpcm", 2, 24, 4 | 8, false, {0, 0, 0x40, 0, 0, 0xE0}},
        {"lpcm", 2, 16, 2 | 8, false, {0xC0, 0, 0x60, 0}},
        {"lpcm", 2, 32, 1 | 2 | 8, false, {0x3F, 0, 0, 0, 0xBE, 0x80, 0, 0}},
        {"lpcm", 2, 64, 1 | 8, false, {0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 0, 0, 0, 0, 0, 0, 0xD0, 0xBF}}};
    std::vector<Buffer> written;
    for (const auto& [type, version, bits, flags, enda, samples] : flavours)
        written.push_back(pcmMovie(entry(type, version, bits, flags, enda), samples, 2, 2));
    int status = -1;
    const auto movies = analyzed(written, status);
    ASSERT_EQ(movies.size(), std::size(flavours));
    for (std::size_t i = 0; i < movies.size(); ++i) {
        SCOPED_TRACE(std::string(std::get<0>(flavours[i])) + " row " + std::to_string(i));
        ASSERT_FALSE(movies[i].contains("error")) << movies[i];
        const auto& channel = movies[i]["tracks"][0]["channels"][0];
        EXPECT_EQ(channel["peak"], std::round(20 * std::log10(0.5) * 100) / 100);
        EXPECT_EQ(channel["dcOffset"], 0.125);
        EXPECT_EQ(channel["label"], 42);
    }
}

TEST(SampleReading, DamagedTablesAreErrorsAndTheOtherMoviesAreStillAnalysed) {
    const Buffer sampleEntry = entry("twos", 0, 16, 0, false);
    const Buffer samples{0x40, 0, 0xE0, 0};
    const std::pair<Buffer, std::string> damaged[] = {
        {pcmMovie(sampleEntry, samples, 2, 2, 4096), chunkPastEnd},
        {pcmMovie(sampleEntry, samples, 2, 3), sampleCountsDisagree},
        {pcmMovie(entry("in32", 1, 16, 0, false), samples, 2, 2), unsupportedSampleFormat},       // frames of 2 bytes
        {pcmMovie(entry("lpcm", 2, 16, 32 | 4, false), samples, 2, 2), unsupportedSampleFormat},  // not interleaved
        {pcmMovie(entry("twos", 0, 12, 0, false), samples, 2, 2), unsupportedSampleFormat},
    };
    std::vector<Buffer> written{pcmMovie(sampleEntry, samples, 2, 2)};  // a good movie, analysed last
    for (const auto& [bytes, sentence] : damaged) written.insert(written.end() - 1, bytes);
    int status = -1;
    const auto movies = analyzed(written, status);
    EXPECT_EQ(status, 2);
    ASSERT_EQ(movies.size(), written.size());
    for (std::size_t i = 0; i < std::size(damaged); ++i) EXPECT_EQ(movies[i]["error"], damaged[i].second) << i;
    EXPECT_EQ(movies.back()["tracks"][0]["channels"][0]["dcOffset"], 0.125);
}

TEST(Findings, ProgramsAndSentencesNameChannelsAsApplyLabelsCountsThem) {
    // R L C LFE Ls Rs in any order make 5.1; Lt Rt make LtRt; Mono alone has no layout; L R at two rates are two.
    const std::vector<ChannelLabel> labels{2, 1, 3, 4, 6, 5, 38, 39, 42, 1, 2};
    const std::vector<double> rates{48e3, 48e3, 48e3, 48e3, 48e3, 48e3, 48e3, 48e3, 48e3, 48e3, 96e3};
    std::string programs;
    for (const auto& program : programsOf(labels, rates))
        programs += ::testing::PrintToString(program.channels) + program.layout.value_or("-") + " ";
    EXPECT_EQ(programs, "{ 1, 2, 3, 4, 5, 6 }5.1 { 7, 8 }LtRt { 9 }- { 10 }- { 11 }- ");

    ChannelMeasures loud;
    loud.silent = false, loud.highFrequencyShare = -0.1;
    auto clipped = loud, bass = loud;
    clipped.fullScaleSamples = 1204, clipped.clipped = true, bass.highFrequencyShare = -41;
    const std::vector<TrackAnalysis> tracks{
        {1, 1, {{1, clipped}, {ChannelLabel{}, ChannelMeasures{}}, {3, bass}, {37, loud}}},
        {2, 5, {{5, loud}, {6, loud}, {65537, loud}}}};
    std::string texts;
    for (const auto& finding : findingsOf(tracks, {{0, 2, false}, {4, 5, true}, {1, 6, false}, {4, 6, false}}))
        texts += finding.code + " " + finding.text + "\n";
    EXPECT_EQ(texts,
              "clipped Channel 1 (L) has 1,204 samples at full scale.\nsilent Channel 2 is silent.\n"
              "lowFrequencyOnly Channel 3 (C) carries only low frequencies.\n"
              "lfeFullRange Channel 4 (LFE2) carries full-range sound.\n"
              "identical Channels 1 (L) and 3 (C) are identical.\ninverted Channel 6 (Rs) is channel 5 (Ls) inverted.\n"
              "identical Channels 5 (Ls) and 7 are identical.\n");
}

}  // namespace
}  // namespace lanemark
