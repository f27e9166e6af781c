// Lanemark against independent readers and writers of QuickTime movies:
// movies made by ffmpeg and GStreamer are opened, relabelled, and read back by
// ffprobe and MediaInfo, whose readings must say what the label numbers mean.
//
// Usage: lanemark_interop --lanemark PATH [--needs TOOL,TOOL...] [gtest flags]
// Exits 77 (reported by CTest as skipped) with the reason on standard output
// when a needed tool is not on PATH.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "metadata/labels.hpp"
#include "tests/support/builder.hpp"
#include "tests/support/layouts.hpp"
#include "tests/support/process.hpp"

namespace lanemark {

// The program under test, which the tests in other files run too.
std::string lanemarkProgram;

namespace {

using namespace build;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) found.push_back(line);
    return found;
}

std::string describe(const Outcome& outcome) {
    return "status " + std::to_string(outcome.status) + "\n--- stdout\n" + outcome.out + "--- stderr\n" + outcome.err;
}

Outcome lanemark(const std::string& verb, const std::filesystem::path& movie) {
    return runProgram({lanemarkProgram, verb, movie.string()});
}

std::string labelLine(const std::vector<std::uint32_t>& labels) {
    std::string line = "[";
    for (std::size_t i = 0; i < labels.size(); ++i) line += (i ? ", " : "") + std::to_string(labels[i]);
    return line + "]\n";
}

// Runs ffmpeg quietly; a failure here is a broken fixture, not a finding.
void ffmpeg(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"ffmpeg", "-nostdin", "-v", "error", "-y"});
    const auto outcome = runProgram(arguments);
    ASSERT_EQ(outcome.status, 0) << "ffmpeg could not make the fixture\n" << describe(outcome);
}

// ffprobe's channel_layout for each audio stream, in stream order.
std::vector<std::string> ffprobeLayouts(const std::filesystem::path& movie) {
    const auto outcome =
        runProgram({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=channel_layout", "-of",
                    "default=noprint_wrappers=1:nokey=1", movie.string()});
    EXPECT_EQ(outcome.status, 0) << describe(outcome);
    return lines(outcome.out);
}

// MediaInfo's ChannelLayout for each audio track, in track order.
std::vector<std::string> mediainfoLayouts(const std::filesystem::path& movie) {
    const auto outcome = runProgram({"mediainfo", "--Inform=Audio;%ChannelLayout%\\n", movie.string()});
    EXPECT_EQ(outcome.status, 0) << describe(outcome);
    auto found = lines(outcome.out);
    // MediaInfo ends its report with an empty line.
    while (!found.empty() && found.back().empty()) found.pop_back();
    return found;
}

// One "index,type,hash" line per stream, over every packet of it.
std::vector<std::string> streamHashes(const std::filesystem::path& movie) {
    const auto outcome = runProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", movie.string(), "-map", "0", "-c",
                                     "copy", "-f", "streamhash", "-hash", "sha256", "-"});
    EXPECT_EQ(outcome.status, 0) << describe(outcome);
    return lines(outcome.out);
}

// ffmpeg prints a one-channel layout as "1 channels (FL)", except front centre
// alone, which is its "mono"; both become the bare channel name.
std::string channelName(const std::string& layout) {
    if (layout == "mono") return "FC";
    const auto open = layout.find(" channels (");
    if (layout.rfind("1", 0) == 0 && open != std::string::npos && layout.back() == ')')
        return layout.substr(open + 11, layout.size() - open - 12);
    return layout;
}

// What ffprobe and MediaInfo must read once the delivery preset is in place.
// ffprobe's names: Core Audio labels 1-18 are bits 0-17 of its channel mask
// (the WAVE speaker order, where label 5, Left Surround, is "back left"), and
// 38/39 (Left/Right Total) are its stereo downmix pair DL/DR.
void expectPresetInEveryReader(const std::filesystem::path& path) {
    std::vector<std::string> names;
    for (const auto& layout : ffprobeLayouts(path)) names.push_back(channelName(layout));
    EXPECT_EQ(names,
              (std::vector<std::string>{"FL", "FR", "FC", "LFE", "BL", "BR", "DL", "DR", "DL", "DR", "DL", "DR"}));
    EXPECT_EQ(mediainfoLayouts(path),
              (std::vector<std::string>{"L", "R", "C", "LFE", "Ls", "Rs", "Lt", "Rt", "Lt", "Rt", "Lt", "Rt"}));
}

// ---------------------------------------------------------------------------
// The fixture helper itself: what it adds must be exactly what the builder
// writes directly, or every finding below rests on a wrong movie.

TEST(ChannelLayoutHelper, AddsTheSameBytesTheBuilderWrites) {
    const Buffer bare =
        moov({videoTrack(), soundTrack(lpcm(2, 1, {})), soundTrack(lpcm(0, 1, {})), soundTrack(lpcm(1, 1, {}))});
    const Buffer expected =
        moov({videoTrack(), soundTrack(lpcm(2, 1, {chan(chanMono())})), soundTrack(lpcm(0, 1, {chan(chanMono())})),
              soundTrack(lpcm(1, 1, {chan(chanMono())}))});
    EXPECT_EQ(withChannelLayouts(bare, {chanMono()}), expected);

    const Buffer labelled =
        moov({videoTrack(), soundTrack(lpcm(2, 1, {chan(chanDescribing(38))})),
              soundTrack(lpcm(0, 1, {chan(chanDescribing(39))})), soundTrack(lpcm(1, 1, {chan(chanMono())}))});
    EXPECT_EQ(withChannelLayouts(bare, {chanDescribing(38), chanDescribing(39), chanMono()}), labelled);
}

TEST(ChannelLayoutHelper, LeavesExistingLayoutsAndOtherAtomsAlone) {
    const Buffer partly = moov({soundTrack(lpcm(2, 1, {chan(chanDescribing(5))})), soundTrack(lpcm(2, 1, {})),
                                track("soun", stsd({atom("sowt", zeros(28))}))});
    const Buffer expected =
        moov({soundTrack(lpcm(2, 1, {chan(chanDescribing(5))})), soundTrack(lpcm(2, 1, {chan(chanDescribing(6))})),
              track("soun", stsd({atom("sowt", zeros(28))}))});
    EXPECT_EQ(withChannelLayouts(partly, {chanDescribing(6)}), expected);
    EXPECT_EQ(withChannelLayouts(expected, {chanDescribing(7)}), expected);
}

TEST(ChannelLayoutHelper, RefusesWhatItCannotWalk) {
    const Buffer two = moov({soundTrack(lpcm(2, 1, {})), soundTrack(lpcm(2, 1, {}))});
    EXPECT_THROW(withChannelLayouts(two, {chanMono(), chanMono(), chanMono()}), std::runtime_error);
    EXPECT_THROW(withChannelLayouts(two, {}), std::runtime_error);
    Buffer cut = two;
    cut.resize(cut.size() - 3);
    EXPECT_THROW(withChannelLayouts(cut, {chanMono()}), std::runtime_error);
    EXPECT_THROW(withChannelLayouts(atom("mdat", zeros(8)), {chanMono()}), std::runtime_error);
}

TEST(ChannelLayoutHelper, ReportsTheDescriptionsItWalked) {
    const auto seen = pcmDescriptions(
        moov({soundTrack(lpcm(2, 1, {chan(chanDescribing(3))})), soundTrack(lpcm(0, 2, {})), videoTrack()}));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].version, 2u);
    EXPECT_EQ(seen[0].channels, 1u);
    ASSERT_EQ(seen[0].chanBodies.size(), 1u);
    EXPECT_EQ(seen[0].chanBodies[0], chanDescribing(3));
    EXPECT_EQ(seen[1].version, 0u);
    EXPECT_EQ(seen[1].channels, 2u);
    EXPECT_TRUE(seen[1].chanBodies.empty());
}

TEST(ChannelLayoutHelper, RewritesOnlyTheTrailingMoovOfAFile) {
    const TempDir dir;
    const auto path = dir / "movie.mov";
    const Buffer bare = moov({videoTrack(), soundTrack(lpcm(2, 1, {})), soundTrack(lpcm(2, 1, {}))});
    const Buffer before = movie(bare, 4096);
    writeFile(path, before);
    EXPECT_EQ(addChannelLayouts(path, {chanDescribing(1), chanDescribing(2)}), 2u);
    const Buffer after = readFile(path);
    const std::size_t mediaEnd = before.size() - bare.size();
    ASSERT_GT(after.size(), mediaEnd);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + std::ptrdiff_t(mediaEnd), after.begin()));
    EXPECT_EQ(readTrailingMoov(path).offset, mediaEnd);
    EXPECT_EQ(readTrailingMoov(path).metadata, withChannelLayouts(bare, {chanDescribing(1), chanDescribing(2)}));
    // A movie whose metadata is not last is not something the helper may rewrite.
    writeFile(path, join({bare, atom("mdat", zeros(16))}));
    EXPECT_THROW(addChannelLayouts(path), std::runtime_error);
}

// ---------------------------------------------------------------------------
// One mono PCM track as ffmpeg writes it: above 65535 Hz the description is
// "lpcm" version 2, and ffmpeg adds a "chan" with the mono layout tag.

class FfmpegSingleTrack : public ::testing::TestWithParam<std::string> {};

TEST_P(FfmpegSingleTrack, OpensAsOneMonoTrack) {
    const TempDir dir;
    const auto path = dir / "one track.mov";
    ffmpeg({"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=96000", "-t", "1", "-c:a", GetParam(), "-f", "mov",
            path.string()});
    if (HasFatalFailure()) return;

    // The premise, read without Lanemark: version 2 with ffmpeg's own layout.
    const auto seen = pcmDescriptions(readTrailingMoov(path).metadata);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].version, 2u);
    EXPECT_EQ(seen[0].channels, 1u);
    ASSERT_EQ(seen[0].chanBodies.size(), 1u);
    EXPECT_EQ(seen[0].chanBodies[0], chanMono());

    const auto before = readFile(path);
    const auto outcome = lanemark("--inspect", path);
    EXPECT_EQ(outcome.status, 0) << describe(outcome);
    EXPECT_EQ(outcome.out, "[42]\n") << describe(outcome);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(readFile(path), before);
}

INSTANTIATE_TEST_SUITE_P(Codecs, FfmpegSingleTrack,
                         ::testing::Values("pcm_s16le", "pcm_s24le", "pcm_s24be", "pcm_s32le", "pcm_f32le"),
                         [](const auto& info) { return info.param; });

// ---------------------------------------------------------------------------
// Twelve 96 kHz mono tracks and a video track muxed by ffmpeg, which writes no
// "chan" atoms then; the helper adds them, half in each of the two forms.

class FfmpegTwelveTracks : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new TempDir;
        master = *folder / "master.mov";
        std::vector<std::string> arguments{"-f", "lavfi", "-i", "testsrc=size=320x180:rate=24"};
        std::vector<std::string> maps{"-map", "0:v"};
        for (int track = 1; track <= 12; ++track) {
            // A different tone per track, so a swapped or lost track changes a stream hash.
            arguments.insert(arguments.end(), {"-f", "lavfi", "-i",
                                               "sine=frequency=" + std::to_string(110 * track) + ":sample_rate=96000"});
            maps.insert(maps.end(), {"-map", std::to_string(track) + ":a"});
        }
        arguments.insert(arguments.end(), maps.begin(), maps.end());
        arguments.insert(arguments.end(), {"-t", "2", "-c:v", "prores_ks", "-profile:v", "2", "-c:a", "pcm_s24le", "-f",
                                           "mov", master.string()});
        ffmpeg(arguments);
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }

    void SetUp() override {
        if (HasFatalFailure() || !std::filesystem::exists(master)) GTEST_FAIL() << "no ffmpeg-made fixture";
        path = dir / "delivery master.mov";
        std::filesystem::copy_file(master, path);
    }

    static std::vector<Buffer> mixedForms() {
        std::vector<Buffer> bodies;
        for (int track = 0; track < 12; ++track) bodies.push_back(track % 2 ? chanMono() : chanDescribing(42));
        return bodies;
    }

    static inline TempDir* folder = nullptr;
    static inline std::filesystem::path master;
    TempDir dir;
    std::filesystem::path path;
};

TEST_F(FfmpegTwelveTracks, FfmpegWritesNoLayoutsForSeveralMonoTracks) {
    const auto seen = pcmDescriptions(readTrailingMoov(path).metadata);
    ASSERT_EQ(seen.size(), 12u);
    for (const auto& description : seen) {
        EXPECT_EQ(description.version, 2u);
        EXPECT_EQ(description.channels, 1u);
        EXPECT_TRUE(description.chanBodies.empty());
    }
    // Without them every channel opens unlabelled.
    const auto outcome = lanemark("--inspect", path);
    EXPECT_EQ(outcome.status, 0) << describe(outcome);
    EXPECT_EQ(outcome.out, "[null, null, null, null, null, null, null, null, null, null, null, null]\n");
}

TEST_F(FfmpegTwelveTracks, ReadersOnTheTwoMonoForms) {
    const auto hashes = streamHashes(path);
    ASSERT_EQ(addChannelLayouts(path, mixedForms()), 12u);
    const auto outcome = lanemark("--inspect", path);
    EXPECT_EQ(outcome.status, 0) << describe(outcome);
    EXPECT_EQ(outcome.out, labelLine(std::vector<std::uint32_t>(12, 42)));
    // Lanemark reads both forms as label 42; the other readers do not agree
    // with each other or across the forms. ffmpeg maps only labels 1-18 and
    // 35-39 to channels and leaves a described label 42 unset ("unknown"),
    // while the mono tag is its front-centre "mono"; MediaInfo names the
    // label "M" and the tag "C".
    std::vector<std::string> ffprobeExpected, mediainfoExpected;
    for (const auto& body : mixedForms()) {
        ffprobeExpected.push_back(body == chanMono() ? "mono" : "unknown");
        mediainfoExpected.push_back(body == chanMono() ? "C" : "M");
    }
    EXPECT_EQ(ffprobeLayouts(path), ffprobeExpected);
    EXPECT_EQ(mediainfoLayouts(path), mediainfoExpected);
    EXPECT_EQ(streamHashes(path), hashes);
}

TEST_F(FfmpegTwelveTracks, DeliveryPresetReadsTheSameInEveryReader) {
    ASSERT_EQ(addChannelLayouts(path, mixedForms()), 12u);
    const auto hashes = streamHashes(path);
    ASSERT_EQ(hashes.size(), 13u);
    const auto trailing = readTrailingMoov(path);
    const Buffer before = readFile(path);

    const auto applied = lanemark("--apply-preset", path);
    ASSERT_EQ(applied.status, 0) << "--apply-preset failed; it needs the saving code\n" << describe(applied);
    EXPECT_EQ(applied.out, "Saved and verified\n");
    EXPECT_EQ(applied.err, "");
    // The backup stays: it is the user's.
    EXPECT_TRUE(std::filesystem::exists(path.string() + ".lanemark-backup"));

    // Lanemark's own reading.
    const std::vector<std::uint32_t> expected(preset.begin(), preset.end());
    EXPECT_EQ(lanemark("--inspect", path).out, labelLine(expected));

    expectPresetInEveryReader(path);

    // The media: every packet of every stream, and every byte ahead of the metadata.
    EXPECT_EQ(streamHashes(path), hashes);
    const Buffer after = readFile(path);
    ASSERT_GE(after.size(), trailing.offset);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + std::ptrdiff_t(trailing.offset), after.begin()));
    // The labels are all that changed in the metadata.
    const auto seen = pcmDescriptions(readTrailingMoov(path).metadata);
    ASSERT_EQ(seen.size(), 12u);
    for (std::size_t track = 0; track < seen.size(); ++track) {
        ASSERT_EQ(seen[track].chanBodies.size(), 1u);
        EXPECT_EQ(seen[track].chanBodies[0], chanDescribing(expected[track])) << "track " << track + 1;
    }

    // The backup proves the movie as the edit left it, so the same edit runs again and changes nothing.
    const Buffer edited = readFile(path);
    EXPECT_EQ(lanemark("--apply-preset", path).out, "Saved and verified\n");
    EXPECT_EQ(readFile(path), edited);
}

// ---------------------------------------------------------------------------
// Below 65536 Hz ffmpeg describes PCM by its format ("sowt", "in24", ...), not
// as "lpcm", and names one channel other than front centre with a one-bit
// channel bitmap; front centre alone gets the mono layout tag.

// The type of the first entry of every sample description table, in file order.
std::vector<std::string> sampleEntryTypes(const Buffer& metadata) {
    std::vector<std::string> types;
    const std::string_view text(reinterpret_cast<const char*>(metadata.data()), metadata.size());
    for (auto at = text.find("stsd"); at != std::string_view::npos && at + 16 <= text.size();
         at = text.find("stsd", at + 4))
        types.emplace_back(text.substr(at + 16, 4));
    return types;
}

TEST(FfmpegPcmEntries, OpenEveryMonoTrackWithItsLabel) {
    const std::pair<std::string, std::string> codecs[] = {
        {"pcm_s16le", "sowt"}, {"pcm_s16be", "twos"}, {"pcm_s24le", "in24"}, {"pcm_s24be", "in24"},
        {"pcm_s32le", "in32"}, {"pcm_f32le", "fl32"}, {"pcm_f64le", "fl64"}};
    const std::pair<std::string, std::uint32_t> layouts[] = {{"FL", 1}, {"SR", 11}, {"FC", 42}};
    struct Case {
        std::filesystem::path path;
        std::string entry;
        std::uint32_t label;
    };
    const TempDir dir;
    // One ffmpeg run writes the whole matrix, one output file per case.
    std::vector<std::string> arguments{"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=0.1"};
    std::vector<Case> cases;
    for (int rate : {44100, 48000, 96000}) {
        for (const auto& [codec, entry] : codecs) {
            for (const auto& [layout, label] : layouts) {
                const auto path = dir / (codec + "-" + std::to_string(rate) + "-" + layout + ".mov");
                arguments.insert(arguments.end(), {"-ar", std::to_string(rate), "-c:a", codec, "-channel_layout",
                                                   layout, "-f", "mov", path.string()});
                cases.push_back({path, rate > 65535 ? "lpcm" : entry, label});
            }
        }
    }
    ffmpeg(arguments);
    if (HasFatalFailure()) return;
    for (const auto& [path, entry, label] : cases) {
        EXPECT_EQ(sampleEntryTypes(readTrailingMoov(path).metadata), std::vector<std::string>{entry}) << path;
        const auto outcome = lanemark("--inspect", path);
        EXPECT_EQ(outcome.out, labelLine({label})) << path << "\n" << describe(outcome);
    }
}

TEST(FfmpegPcmEntries, ReadAStereoTrack) {
    const TempDir dir;
    const auto path = dir / "stereo.mov";
    ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=48000:duration=0.1", "-ac", "2", "-c:a", "pcm_s24le", "-f", "mov",
            path.string()});
    if (HasFatalFailure()) return;
    EXPECT_EQ(sampleEntryTypes(readTrailingMoov(path).metadata), std::vector<std::string>{"in24"});
    const auto before = readFile(path);
    const auto outcome = lanemark("--inspect", path);
    EXPECT_EQ(outcome.out, "[1, 2]\n") << describe(outcome);
    EXPECT_EQ(readFile(path), before);
}

// A 48 kHz 24-bit master as ffmpeg writes it when told each track's channel.
void labelledMaster(const std::filesystem::path& path, const std::vector<std::string>& options = {}) {
    const std::string channels[] = {"FL", "FR", "FC", "LFE", "BL", "BR", "FL", "FR", "FL", "FR", "FL", "FR"};
    std::vector<std::string> arguments{"-f", "lavfi", "-i", "testsrc=size=320x180:rate=24:duration=0.5"};
    std::vector<std::string> outputs{"-map", "0:v"};
    for (int track = 0; track < 12; ++track) {
        // A different tone per track, so a swapped or lost track changes a stream hash.
        arguments.insert(arguments.end(),
                         {"-f", "lavfi", "-i",
                          "sine=frequency=" + std::to_string(110 * (track + 1)) + ":sample_rate=48000:duration=0.5"});
        outputs.insert(outputs.end(), {"-map", std::to_string(track + 1) + ":a",
                                       "-channel_layout:a:" + std::to_string(track), channels[track]});
    }
    arguments.insert(arguments.end(), outputs.begin(), outputs.end());
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(),
                     {"-c:v", "prores_ks", "-profile:v", "2", "-c:a", "pcm_s24le", "-f", "mov", path.string()});
    ffmpeg(arguments);
}

TEST(FfmpegLabelledMaster, TakesThePresetInPlace) {
    const TempDir dir;
    const auto path = dir / "master.mov";
    labelledMaster(path);
    if (HasFatalFailure()) return;
    const auto hashes = streamHashes(path);
    ASSERT_EQ(hashes.size(), 13u);

    // Among several mono tracks ffmpeg describes front centre as label 3 (Center),
    // not by the mono tag it gives a lone FC track; the others are one-bit bitmaps.
    const auto inspected = lanemark("--inspect", path);
    EXPECT_EQ(inspected.out, "[1, 2, 3, 4, 5, 6, 1, 2, 1, 2, 1, 2]\n") << describe(inspected);
    const auto applied = lanemark("--apply-preset", path);
    ASSERT_EQ(applied.status, 0) << describe(applied);
    EXPECT_EQ(applied.out, "Saved and verified\n");

    expectPresetInEveryReader(path);
    EXPECT_EQ(streamHashes(path), hashes);
    // Relabelled entries keep their type.
    EXPECT_EQ(sampleEntryTypes(readTrailingMoov(path).metadata).back(), "in24");
}

// ---------------------------------------------------------------------------
// Movies as other writers make them, several channels to a track or none
// labelled: each opens with what its file holds, takes labels in place, reads
// back in ffprobe and MediaInfo with its media untouched, and restores.

// ffmpeg writing one 48 kHz tone per track with `channels[i]` channels in
// track i, each at its own pitch so that a swapped or lost track changes a
// stream hash; `video` adds a video track encoded with those options.
std::vector<std::string> ffmpegTones(const std::vector<int>& channels, const std::vector<std::string>& video = {}) {
    std::vector<std::string> inputs{"ffmpeg", "-nostdin", "-v", "error", "-y"}, outputs;
    if (!video.empty()) {
        inputs.insert(inputs.end(), {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=24:duration=0.2"});
        outputs.insert(outputs.end(), {"-map", "0:v"});
        outputs.insert(outputs.end(), video.begin(), video.end());
    }
    for (std::size_t track = 0; track < channels.size(); ++track) {
        const auto input = std::to_string(track + (video.empty() ? 0 : 1));
        inputs.insert(inputs.end(),
                      {"-f", "lavfi", "-i",
                       "sine=frequency=" + std::to_string(110 * (track + 1)) + ":sample_rate=48000:duration=0.2"});
        outputs.insert(outputs.end(),
                       {"-map", input + ":a", "-ac:a:" + std::to_string(track), std::to_string(channels[track])});
    }
    outputs.insert(outputs.end(), {"-c:a", "pcm_s24le", "-f", "mov", "{out}"});
    inputs.insert(inputs.end(), outputs.begin(), outputs.end());
    return inputs;
}

// GStreamer's QuickTime muxer writing one track of test tone in the given raw caps.
std::vector<std::string> qtmux(const std::string& caps) {
    return {"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=10", "!", "audio/x-raw,rate=48000," + caps, "!",
            "qtmux",          "!",  "filesink",     "location={out}"};
}

struct WrittenMovie {
    std::string name;                             // the writer first: the CTest entries pick their rows by it
    std::vector<std::string> make;                // "{out}" stands for the movie's path
    std::vector<std::string> entries;             // each track's sample entry type, as written
    std::string opened, labels, relabelled;       // --inspect before, --apply-labels, --inspect after
    std::vector<std::string> ffprobe, mediainfo;  // per audio track, after
};

class OtherWriters : public ::testing::TestWithParam<WrittenMovie> {};

TEST_P(OtherWriters, OpensTakesLabelsReadsBackAndRestores) {
    const auto& row = GetParam();
    const TempDir dir;
    const auto path = dir / "their movie.mov";
    auto make = row.make;
    for (auto& argument : make)
        if (const auto at = argument.find("{out}"); at != std::string::npos) argument.replace(at, 5, path.string());
    const auto made = runProgram(make);
    ASSERT_EQ(made.status, 0) << "the writer could not make the fixture\n" << describe(made);
    const Buffer original = readFile(path);
    const auto mediaEnd = std::ptrdiff_t(readTrailingMoov(path).offset);
    const auto hashes = streamHashes(path);
    ASSERT_FALSE(hashes.empty());
    EXPECT_EQ(sampleEntryTypes(readTrailingMoov(path).metadata), row.entries);

    EXPECT_EQ(lanemark("--inspect", path).out, row.opened);
    const auto applied = runProgram({lanemarkProgram, "--apply-labels", path.string(), row.labels});
    ASSERT_EQ(applied.status, 0) << describe(applied);
    EXPECT_EQ(lanemark("--inspect", path).out, row.relabelled);
    EXPECT_EQ(ffprobeLayouts(path), row.ffprobe);
    EXPECT_EQ(mediainfoLayouts(path), row.mediainfo);
    EXPECT_EQ(streamHashes(path), hashes);
    const Buffer edited = readFile(path);
    ASSERT_GE(edited.size(), std::size_t(mediaEnd));
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + mediaEnd, edited.begin())) << "not edited in place";

    const auto restored = lanemark("--restore", path);
    EXPECT_EQ(restored.status, 0) << describe(restored);
    EXPECT_EQ(readFile(path), original);
}

const std::string nulls6 = "[null, null, null, null, null, null]\n";

// ffmpeg 5.1 names one channel "1 channels (X)" but front centre alone "mono",
// labels 5 and 6 BL and BR, and 38 and 39 its downmix pair. It keeps a
// described layout only when its labels come in the order of its channel mask
// (R L reads as "unknown" too): so the film order L R Ls Rs C LFE has no name
// in ffprobe, while MediaInfo reads every channel of it.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Movies, OtherWriters, ::testing::Values(
    //           name; writer; entries; --inspect on opening; labels written; --inspect after; ffprobe; MediaInfo
    WrittenMovie{"ffmpeg_six_mono_tracks_without_layouts", ffmpegTones({1, 1, 1, 1, 1, 1}),
                 std::vector<std::string>(6, "in24"), nulls6, "L,R,C,LFE,Ls,Rs", "[1, 2, 3, 4, 5, 6]\n",
                 {"1 channels (FL)", "1 channels (FR)", "mono", "1 channels (LFE)", "1 channels (BL)",
                  "1 channels (BR)"},
                 {"L", "R", "C", "LFE", "Ls", "Rs"}},
    WrittenMovie{"ffmpeg_stereo", ffmpegTones({2}), {"in24"}, "[1, 2]\n", "Lt,Rt", "[38, 39]\n",
                 {"downmix"}, {"Lt Rt"}},
    WrittenMovie{"ffmpeg_5_1", ffmpegTones({6}), {"in24"}, "[1, 2, 3, 4, 5, 6]\n", "L,R,C,LFE,Lsd,Rsd",
                 "[1, 2, 3, 4, 10, 11]\n", {"5.1(side)"}, {"L R C LFE Lsd Rsd"}},
    WrittenMovie{"ffmpeg_5_1_and_stereo", ffmpegTones({6, 2}), {"in24", "in24"}, "[1, 2, 3, 4, 5, 6, 1, 2]\n",
                 "L,R,C,LFE,Ls,Rs,Lt,Rt", "[1, 2, 3, 4, 5, 6, 38, 39]\n", {"5.1", "downmix"},
                 {"L R C LFE Ls Rs", "Lt Rt"}},
    // 'raw ' is also a PCM entry type; in a video track it is video.
    WrittenMovie{"ffmpeg_rawvideo_and_mono", ffmpegTones({1}, {"-c:v", "rawvideo", "-pix_fmt", "rgb24"}),
                 {"raw ", "in24"}, "[42]\n", "R", "[2]\n", {"1 channels (FR)"}, {"R"}},
    WrittenMovie{"qtmux_mono_s16le", qtmux("channels=1,format=S16LE"), {"sowt"}, "[null]\n", "C", "[3]\n",
                 {"mono"}, {"C"}},
    WrittenMovie{"qtmux_mono_s24le", qtmux("channels=1,format=S24LE"), {"sowt"}, "[null]\n", "L", "[1]\n",
                 {"1 channels (FL)"}, {"L"}},
    WrittenMovie{"qtmux_six_channels", qtmux("channels=6,format=S16LE"), {"sowt"}, nulls6, "L,R,Ls,Rs,C,LFE",
                 "[1, 2, 5, 6, 3, 4]\n", {"unknown"}, {"L R Ls Rs C LFE"}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// ---------------------------------------------------------------------------
// Masters whose metadata comes first, as fast-start writers and exiftool leave them: every reader
// reads the preset, no packet changes, and --restore puts back every byte.

// Where the type "moov" first stands: no header or media of these movies spells it by chance.
std::ptrdiff_t moovOffset(const Buffer& file) {
    return std::search(file.begin(), file.end(), "moov", "moov" + 4) - file.begin() - 4;
}

// GStreamer's fast start, twelve mono tracks that name no position.
void qtmuxMaster(const std::filesystem::path& path) {
    std::string pipeline = "gst-launch-1.0 -q qtmux name=mux faststart=true ! filesink location=\"$0\"";
    for (int track = 1; track <= 12; ++track)
        pipeline += " audiotestsrc num-buffers=8 freq=" + std::to_string(110 * track) +
                    " ! audio/x-raw,format=S24LE,channels=1,rate=96000 ! mux.";
    ASSERT_EQ(runProgram({"sh", "-c", pipeline, path.string()}).status, 0);
}

struct FirstMetadata {
    std::vector<std::string> options;  // ffmpeg's; none and not stamped: GStreamer's qtmux
    bool stamped;  // labelled in the form Lanemark writes (the preset keeps the size), then stamped by exiftool
    bool moves;    // to the end, leaving free space where it was
};

void make(const std::filesystem::path& path, const FirstMetadata& how) {
    if (how.options.empty() && !how.stamped) return qtmuxMaster(path);
    labelledMaster(path, how.options);
    if (!how.stamped) return;
    ASSERT_EQ(runProgram({lanemarkProgram, "--apply-labels", path.string(), "M,M,M,M,M,M,M,M,M,M,M,M"}).status, 0);
    std::filesystem::remove(path.string() + ".lanemark-backup");
    ASSERT_EQ(runProgram({"exiftool", "-q", "-overwrite_original", "-Title=X", path.string()}).status, 0);
}

class MetadataFirst : public ::testing::TestWithParam<FirstMetadata> {};

TEST_P(MetadataFirst, TakesThePresetAndRestoresByteForByte) {
    const TempDir dir;
    const auto path = dir / "master.mov";
    make(path, GetParam());
    if (HasFatalFailure()) return;
    const Buffer original = readFile(path);
    const auto offset = moovOffset(original);
    const auto hashes = streamHashes(path);
    ASSERT_THROW(readTrailingMoov(path), std::runtime_error) << "the metadata comes first";
    const auto applied = lanemark("--apply-preset", path);
    ASSERT_EQ(applied.out, "Saved and verified\n") << describe(applied);
    expectPresetInEveryReader(path);
    EXPECT_EQ(streamHashes(path), hashes);
    const Buffer saved = readFile(path);
    EXPECT_EQ(saved.size(), original.size() + (GetParam().moves ? readTrailingMoov(path).metadata.size() : 0));
    EXPECT_EQ(moovOffset(saved), GetParam().moves ? std::ptrdiff_t(original.size()) : offset);
    EXPECT_EQ(lanemark("--restore", path).out, "Restored and verified\n");
    EXPECT_EQ(readFile(path), original);
}

INSTANTIATE_TEST_SUITE_P(Writers, MetadataFirst,
                         ::testing::Values(FirstMetadata{{"-movflags", "+faststart"}, false, true},
                                           FirstMetadata{{"-moov_size", "16384"}, false, false},
                                           FirstMetadata{{}, true, false}, FirstMetadata{{}, false, true}));

// Three rounds of edits of each kind of movie: the metadata last, first with
// free space after it (each save in place), and fast start without it (the
// first save moves it to the end). Each reads back in both readers with the
// media untouched; one restore gives the original and removes the backup.
class ThreeSaves : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ThreeSaves, KeepTheOriginalInOneBackup) {
    const TempDir dir;
    const auto path = dir / "master.mov";
    labelledMaster(path, GetParam());
    if (HasFatalFailure()) return;
    const Buffer original = readFile(path);
    const auto hashes = streamHashes(path);
    const std::map<std::string, std::string> ffprobeName{{"L", "FL"},  {"R", "FR"},  {"C", "FC"},  {"LFE", "LFE"},
                                                         {"Ls", "BL"}, {"Rs", "BR"}, {"Lt", "DL"}, {"Rt", "DR"}};
    using Names = std::vector<std::string>;
    for (const Names& names : {Names{"L", "R", "C", "LFE", "Ls", "Rs", "Lt", "Rt", "Lt", "Rt", "Lt", "Rt"},
                               Names{"Ls", "Rs", "C", "LFE", "L", "R", "L", "R", "L", "R", "L", "R"},
                               Names{"Lt", "Rt", "C", "LFE", "Ls", "Rs", "R", "L", "Lt", "Rt", "R", "L"}}) {
        std::string list = names[0];
        Names expected{ffprobeName.at(names[0])}, found;
        for (std::size_t i = 1; i < names.size(); ++i)
            list += "," + names[i], expected.push_back(ffprobeName.at(names[i]));
        ASSERT_EQ(runProgram({lanemarkProgram, "--apply-labels", path.string(), list}).out, "Saved and verified\n");
        for (const auto& layout : ffprobeLayouts(path)) found.push_back(channelName(layout));
        EXPECT_EQ(found, expected) << list;
        EXPECT_EQ(mediainfoLayouts(path), names) << list;
        EXPECT_EQ(streamHashes(path), hashes) << list;
    }
    EXPECT_EQ(lanemark("--restore", path).out, "Restored and verified\n");
    EXPECT_EQ(readFile(path), original);
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".lanemark-backup"));
    EXPECT_EQ(lanemark("--apply-preset", path).out, "Saved and verified\n");  // from a clean start
}

INSTANTIATE_TEST_SUITE_P(Kinds, ThreeSaves,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"-moov_size", "16384"},
                                           std::vector<std::string>{"-movflags", "+faststart"}));

// ---------------------------------------------------------------------------
// Putting a movie back from its backup: with the manual page's example run as
// printed, and by its note for doing without Lanemark, with Python's plistlib,
// which shares no code with it.

std::filesystem::path manualPage;

// The text of `.EX` ... `.EE` example blocks in a groff page, in order, with
// the escapes the page uses turned back into the characters a reader types.
std::vector<std::string> manualExamples(const std::filesystem::path& page) {
    std::vector<std::string> blocks;
    std::ifstream in(page);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line == ".EX") {
            inside = true;
            blocks.emplace_back();
        } else if (line == ".EE") {
            inside = false;
        } else if (inside) {
            for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
                     {"\\-", "-"}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\e", "\\"}}) {
                for (auto at = line.find(from); at != std::string::npos; at = line.find(from, at + to.size()))
                    line.replace(at, from.size(), to);
            }
            blocks.back() += line + "\n";
        }
    }
    return blocks;
}

// The one example block that contains `marker`.
std::string manualExample(const std::string& marker) {
    std::string found;
    for (const auto& block : manualExamples(manualPage)) {
        if (block.find(marker) == std::string::npos) continue;
        EXPECT_TRUE(found.empty()) << "two examples contain " << marker;
        found = block;
    }
    EXPECT_FALSE(found.empty()) << "no example in " << manualPage << " contains " << marker;
    return found;
}

class RestoringFromTheBackup : public ::testing::Test {
protected:
    void SetUp() override {
        // Mono-tag layouts grow by 20 bytes each when labelled, so the edited
        // file is longer and a restore must cut it back as well.
        std::vector<Buffer> tracks{videoTrack()};
        for (int track = 0; track < 12; ++track) tracks.push_back(soundTrack(lpcm(2, 1, {chan(chanMono())})));
        metadata = moov(tracks);
        original = movie(metadata, 256 * 1024);
        writeFile(path, original);
        const auto applied = lanemark("--apply-preset", path);
        ASSERT_EQ(applied.status, 0) << describe(applied);
        ASSERT_GT(readFile(path).size(), original.size());
        ASSERT_TRUE(std::filesystem::exists(backup));
    }

    void expectRestored() {
        EXPECT_EQ(readFile(path), original);
        EXPECT_EQ(lanemark("--inspect", path).out, labelLine(std::vector<std::uint32_t>(12, 42)));
    }

    TempDir dir;
    std::filesystem::path path = dir / "master.mov";
    std::filesystem::path backup = dir / "master.mov.lanemark-backup";
    Buffer metadata;
    Buffer original;
};

TEST_F(RestoringFromTheBackup, ExampleFromTheManualPage) {
    // "$ lanemark --restore master.mov", then the line it prints.
    const auto example = lines(manualExample("--restore master.mov"));
    ASSERT_EQ(example.size(), 2u);
    const std::string prompt = "$ lanemark ";
    ASSERT_EQ(example[0].rfind(prompt, 0), 0u) << example[0];
    const auto command = "cd \"$1\" && \"$2\" " + example[0].substr(prompt.size());
    const auto outcome = runProgram({"bash", "-euc", command, "restore", dir.path().string(), lanemarkProgram});
    ASSERT_EQ(outcome.status, 0) << describe(outcome);
    EXPECT_EQ(outcome.out, example[1] + "\n");
    expectRestored();
}

TEST_F(RestoringFromTheBackup, WithoutLanemarkAsTheManualPageSays) {
    // The page: write `metadata` at byte `offset`, then cut the file to `originalSize` bytes.
    const auto outcome = runProgram({"python3", "-c",
                                     "import plistlib, sys\n"
                                     "b = plistlib.load(open(sys.argv[1], 'rb'), fmt=plistlib.FMT_BINARY)\n"
                                     "print(sorted(b))\n"
                                     "print(b['offset'], b['originalSize'], b['movieName'])\n"
                                     "with open(sys.argv[2], 'r+b') as f:\n"
                                     "    f.seek(b['offset'])\n"
                                     "    f.write(b['metadata'])\n"
                                     "    f.truncate(b['originalSize'])\n",
                                     backup.string(), path.string()});
    ASSERT_EQ(outcome.status, 0) << describe(outcome);
    EXPECT_EQ(lines(outcome.out), (std::vector<std::string>{"['digest', 'metadata', 'movieName', 'offset', "
                                                            "'originalSize', 'proofDigest', 'savedDigests', "
                                                            "'savedRanges', 'savedSize', 'sectorSize', 'splits']",
                                                            std::to_string(original.size() - metadata.size()) + " " +
                                                                std::to_string(original.size()) + " master.mov"}));
    expectRestored();
}

// A needed tool is a program on PATH or, as "gst:ELEMENT", a GStreamer element.
bool hasTool(const std::string& tool) {
    if (tool.rfind("gst:", 0) != 0) return build::findProgram(tool).has_value();
    return build::findProgram("gst-inspect-1.0") &&
           build::runProgram({"gst-inspect-1.0", "--exists", tool.substr(4)}).status == 0;
}

// The Debian package that brings a needed tool.
std::string packageOf(const std::string& tool) {
    if (tool == "ffprobe") return "ffmpeg";
    if (tool.rfind("gst-", 0) == 0) return "gstreamer1.0-tools";
    if (tool == "gst:audiotestsrc") return "gstreamer1.0-plugins-base";
    if (tool.rfind("gst:", 0) == 0) return "gstreamer1.0-plugins-good";
    return tool;
}

}  // namespace
}  // namespace lanemark

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::vector<std::string> needs;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--lanemark" && i + 1 < argc) {
            lanemark::lanemarkProgram = argv[++i];
        } else if (argument == "--manual" && i + 1 < argc) {
            lanemark::manualPage = argv[++i];
        } else if (argument == "--needs" && i + 1 < argc) {
            std::istringstream list(argv[++i]);
            for (std::string tool; std::getline(list, tool, ',');) needs.push_back(tool);
        } else {
            std::cerr << "unknown argument " << argument << "\n";
            return 2;
        }
    }
    if (lanemark::lanemarkProgram.empty()) {
        std::cerr << "usage: lanemark_interop --lanemark PATH [--needs TOOL,...] [gtest flags]\n";
        return 2;
    }
    for (const auto& tool : needs) {
        if (!lanemark::hasTool(tool)) {
            std::cout << "SKIPPED: " << tool << " is missing (apt-get install " << lanemark::packageOf(tool) << ")\n";
            return 77;
        }
    }
    return RUN_ALL_TESTS();
}
