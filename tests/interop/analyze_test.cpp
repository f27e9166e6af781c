// --analyze against ffmpeg: its measures against astats and ebur128 on the same
// channels, and its findings on masters made from ffmpeg's lavfi sources.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/builder.hpp"
#include "tests/support/process.hpp"

namespace lanemark {

extern std::string lanemarkProgram;

namespace {

using namespace build;
using Json = nlohmann::json;

void ffmpeg(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"ffmpeg", "-nostdin", "-v", "error", "-y"});
    const auto outcome = runProgram(arguments);
    ASSERT_EQ(outcome.status, 0) << "ffmpeg could not make the fixture\n" << outcome.err;
}

Json analyzed(const std::filesystem::path& path, int expectedStatus) {
    const auto outcome = runProgram({lanemarkProgram, "--analyze", path.string()});
    EXPECT_EQ(outcome.status, expectedStatus) << outcome.out << outcome.err;
    EXPECT_EQ(outcome.err, "");
    return Json::parse(outcome.out).at(0);
}

// Noise of 8 seconds from ffmpeg's lavfi sources, band-limited below 16 kHz.
std::string noise(int seed, const std::string& filters = "lowpass=f=15000,lowpass=f=15000") {
    return "anoisesrc=d=8:c=white:r=48000:a=0.25:seed=" + std::to_string(seed) + "," + filters;
}
const std::string dialogue = "highpass=f=300,highpass=f=300,lowpass=f=3400,lowpass=f=3400";
const std::string lowOnly = "lowpass=f=80,lowpass=f=80,lowpass=f=80,lowpass=f=80";

// One six-channel 5.1 track whose channel i is `sources[i]`.
void fiveOne(const std::filesystem::path& path, const std::vector<std::string>& sources,
             const std::string& codec = "pcm_s16le") {
    std::vector<std::string> arguments;
    for (const auto& source : sources) arguments.insert(arguments.end(), {"-f", "lavfi", "-i", source});
    const std::string graph =
        "[0][1][2][3][4][5]join=inputs=6:channel_layout=5.1:map=0.0-FL|1.0-FR|2.0-FC|3.0-LFE|4.0-BL|5.0-BR[a]";
    arguments.insert(arguments.end(), {"-filter_complex", graph, "-map", "[a]", "-c:a", codec, path.string()});
    ffmpeg(arguments);
}

// Each finding's code and channels, as in "identical[1,2] ".
std::string codesOf(const Json& movie) {
    std::string codes;
    for (const auto& finding : movie.at("findings"))
        codes += finding.at("code").get<std::string>() + finding.at("channels").dump() + " ";
    return codes;
}

const std::vector<std::string> correct{noise(1), noise(2), noise(3, dialogue), noise(4, lowOnly), noise(5), noise(6)};

TEST(AnalysisFindings, OnFiveOneMastersEachFaultIsFoundByCodeAndChannels) {
    // Name, channels (from 1) of a correct master replaced, the findings, and the codec.
    const std::tuple<std::string, std::map<std::size_t, std::string>, std::string, std::string> cases[] = {
        {"correct", {}, "", "pcm_s16le"},
        {"swapped", {{3, correct[3]}, {4, correct[2]}}, "lowFrequencyOnly[3] lfeFullRange[4] ", "pcm_s16le"},
        {"silent Rs", {{6, "anullsrc=r=48000:cl=mono:d=8"}}, "silent[6] ", "pcm_s16le"},
        {"identical", {{2, noise(1)}}, "identical[1,2] ", "pcm_s16le"},
        // In doubles and floats: ffmpeg rounds integers towards minus infinity, which would break the negation.
        {"inverted", {{6, noise(5) + ",volume=-1:precision=double"}}, "inverted[5,6] ", "pcm_f32le"},
        {"clipped", {{1, noise(1, "lowpass=f=2000") + ",volume=8:precision=double"}}, "clipped[1] ", "pcm_s16le"},
    };
    const TempDir dir;
    for (const auto& [name, changes, expected, codec] : cases) {
        SCOPED_TRACE(name);
        auto sources = correct;
        for (const auto& [channel, source] : changes) sources[channel - 1] = source;
        const auto path = dir / (name + ".mov");
        fiveOne(path, sources, codec);
        if (HasFatalFailure()) return;
        const Json movie = analyzed(path, expected.empty() ? 0 : 1);
        EXPECT_EQ(codesOf(movie), expected) << movie.at("findings");
        EXPECT_EQ(movie.at("programs").at(0).at("layout"), "5.1");
    }
}

TEST(AnalysisFindings, DeliveryPresetOnTwelveMonoTracksWithAFullRangeLfe) {
    const TempDir dir;
    const auto path = dir / "delivery.mov";
    std::vector<std::string> arguments{"-f", "lavfi", "-i", "testsrc=size=320x180:rate=24:duration=8"};
    std::vector<std::string> maps{"-map", "0:v"};
    for (int track = 0; track < 12; ++track) {
        arguments.insert(arguments.end(), {"-f", "lavfi", "-i", noise(20 + track)});
        // Told each track's channel, ffmpeg gives every track a layout that --apply-preset can replace.
        maps.insert(maps.end(),
                    {"-map", std::to_string(track + 1) + ":a", "-channel_layout:a:" + std::to_string(track), "FC"});
    }
    arguments.insert(arguments.end(), maps.begin(), maps.end());
    arguments.insert(arguments.end(), {"-c:v", "mpeg4", "-c:a", "pcm_s24le", "-f", "mov", path.string()});
    ffmpeg(arguments);
    if (HasFatalFailure()) return;
    ASSERT_EQ(runProgram({lanemarkProgram, "--apply-preset", path.string()}).status, 0);
    const Json movie = analyzed(path, 1);
    EXPECT_EQ(codesOf(movie), "lfeFullRange[4] ");
    std::vector<Json> layouts;
    for (const auto& program : movie.at("programs")) layouts.push_back(program.at("layout"));
    EXPECT_EQ(layouts, (std::vector<Json>{"5.1", "LtRt", "LtRt", "LtRt"}));
}

// ffmpeg's own reading of the channels of `path`, which make one program.
struct Reference {
    std::vector<double> peak, rms, dc;
    double integrated = 0, range = 0, truePeak = 0;
};

Reference ffmpegReading(const std::filesystem::path& path, const std::filesystem::path& log) {
    const auto outcome = runProgram({"ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-i", path.string(), "-af",
                                     "astats,ebur128=peak=true:metadata=1,ametadata=mode=print:file=" + log.string(),
                                     "-f", "null", "-"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    Reference reference;
    std::istringstream err(outcome.err);
    for (std::string line; std::getline(err, line);) {
        const auto value = [&line](const std::string& key) {
            const auto at = line.find("] " + key + ": ");
            return at == std::string::npos ? std::optional<double>() : std::stod(line.substr(at + key.size() + 4));
        };
        if (line.ends_with("] Overall")) break;
        if (const auto v = value("Peak level dB")) reference.peak.push_back(*v);
        if (const auto v = value("RMS level dB")) reference.rms.push_back(*v);
        if (const auto v = value("DC offset")) reference.dc.push_back(*v);
    }
    // The last frame's values are the whole program's.
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find('=');
        const std::string key = line.substr(0, at);
        const double value = at == std::string::npos ? 0 : std::stod(line.substr(at + 1));
        if (key == "lavfi.r128.I") reference.integrated = value;
        if (key == "lavfi.r128.LRA") reference.range = value;
        if (key == "lavfi.r128.true_peak") reference.truePeak = 20 * std::log10(value);
    }
    return reference;
}

void expectReading(const Json& movie, const Reference& reference) {
    const auto& channels = movie.at("tracks").at(0).at("channels");
    ASSERT_EQ(channels.size(), reference.peak.size());
    ASSERT_EQ(channels.size(), reference.dc.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        EXPECT_NEAR(channels[i].at("peak"), reference.peak[i], 0.1) << "channel " << i + 1;
        EXPECT_NEAR(channels[i].at("rms"), reference.rms[i], 0.1) << "channel " << i + 1;
        EXPECT_NEAR(channels[i].at("dcOffset"), reference.dc[i], std::max(0.0005, std::fabs(reference.dc[i]) * 0.01));
    }
    const auto& program = movie.at("programs").at(0);
    EXPECT_NEAR(program.at("integratedLoudness"), reference.integrated, 0.1);
    EXPECT_NEAR(program.at("loudnessRange"), reference.range, 0.2);
    EXPECT_NEAR(program.at("truePeak"), reference.truePeak, 0.3);
}

TEST(AnalysisMeasures, AgreeWithFfmpegInEveryByteOrderAndOnFiveOne) {
    const TempDir dir;
    const auto master = dir / "master.wav";
    // Loudness that changes every few seconds, for a range, and a DC offset on the right.
    const std::string swell = ",volume=volume='if(lt(mod(t,4),2),1,0.15)':eval=frame";
    ffmpeg({"-f", "lavfi", "-i", noise(31) + swell, "-f", "lavfi", "-i", noise(32, "lowpass=f=6000") + ",dcshift=0.02",
            "-filter_complex", "[0][1]join=inputs=2:channel_layout=stereo[a]", "-map", "[a]", "-c:a", "pcm_f64le",
            master.string()});
    if (HasFatalFailure()) return;
    // Little-endian: sowt, in24 and lpcm (96 kHz) with an 'enda'; big-endian: in24, in32, fl32.
    const std::pair<std::string, int> flavours[] = {{"pcm_s16le", 48}, {"pcm_s24le", 48}, {"pcm_s24le", 96},
                                                    {"pcm_f64le", 48}, {"pcm_s24be", 48}, {"pcm_s32be", 48},
                                                    {"pcm_f32be", 48}};
    for (const auto& [codec, kHz] : flavours) {
        SCOPED_TRACE(codec + " at " + std::to_string(kHz) + " kHz");
        const auto path = dir / (codec + std::to_string(kHz) + ".mov");
        ffmpeg({"-i", master.string(), "-c:a", codec, "-ar", std::to_string(kHz * 1000), path.string()});
        if (HasFatalFailure()) return;
        const Json movie = analyzed(path, 0);
        EXPECT_EQ(movie.at("programs").at(0).at("layout"), "stereo");
        expectReading(movie, ffmpegReading(path, dir / "r128.txt"));
    }
    // Five channels and an LFE: the surrounds weigh more in the loudness, and the LFE not at all.
    const auto path = dir / "five-one.mov";
    const std::string quicker = ",volume=volume='if(lt(mod(t,3),1.5),1,0.2)':eval=frame";
    fiveOne(path, {noise(1) + quicker, noise(2) + quicker, correct[2], correct[3], correct[4], correct[5]});
    if (HasFatalFailure()) return;
    expectReading(analyzed(path, 0), ffmpegReading(path, dir / "r128.txt"));
}

}  // namespace
}  // namespace lanemark
