#include "main/verbs.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <array>
#include <exception>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "platform/failure.hpp"
#include "analysis/analyze.hpp"
#include "metadata/labels.hpp"
#include "metadata/movie.hpp"
#include "metadata/outline.hpp"
#include "metadata/text.hpp"
#include "platform/file.hpp"
#include "saving/restore.hpp"

namespace lanemark {
namespace {

template <typename Work>
int report(std::ostream& err, Work work) {
    try {
        work();
        return 0;
    } catch (const std::exception& error) {
        err << error.what() << '\n';
        return 1;
    }
}

// A result that never reached standard output (a full disk, a closed pipe) is no success.
void deliver(std::ostream& out, const std::string& line, const char* failure) {
    if (!(out << line << '\n').flush()) fail(failure);
}

// One line of JSON; a channel without a label is null.
std::string labelLine(const std::vector<ChannelLabel>& labels) {
    std::string line = "[";
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) line += ", ";
        line += labels[i] ? std::to_string(*labels[i]) : "null";
    }
    return line + "]";
}

// An unlabelled channel matches nothing.
bool matches(const std::vector<ChannelLabel>& actual, const std::vector<std::uint32_t>& wanted) {
    return std::ranges::equal(actual, wanted,
                              [](const ChannelLabel& label, std::uint32_t value) { return label && *label == value; });
}

// A line that reached standard output; the verbs over many movies stop when one did not.
bool said(std::ostream& out, const std::string& line) { return static_cast<bool>((out << line << '\n').flush()); }

int outputLost(std::ostream& err) {
    err << "Standard output could not be written.\n";
    return 1;
}

using Json = nlohmann::ordered_json;
using Operands = std::span<char* const>;

// Whole numbers as integers, as rates are written everywhere else.
Json number(double value) {
    if (value >= 0 && value < 9007199254740992.0 && value == static_cast<double>(static_cast<std::uint64_t>(value)))
        return static_cast<std::uint64_t>(value);
    return value;
}

Json trackJson(const PcmTrack& track) {
    Json numbers = Json::array(), names = Json::array();
    for (const auto& label : channelsOf({track})) {
        numbers.push_back(label ? Json(*label) : Json(nullptr));
        const auto name = label ? labelName(*label) : std::nullopt;
        names.push_back(name ? Json(*name) : Json(nullptr));
    }
    return {{"track", track.trackId ? Json(*track.trackId) : Json(nullptr)},
            {"entry", wellFormedUtf8(track.sound.entry)},
            {"channels", track.sound.channels},
            {"sampleRate", number(track.sound.sampleRate)},
            {"bitsPerSample", track.sound.bitsPerSample},
            {"labels", std::move(numbers)},
            {"names", std::move(names)}};
}

// The movie's object: its tracks with their labels, or the sentence it was refused with.
Json movieJson(const std::string& path) {
    Json movie{{"path", wellFormedUtf8(path)}};
    try {
        const auto contents = outlineMovie(path);
        Json tracks = Json::array();
        for (const auto& track : contents.tracks) tracks.push_back(trackJson(track));
        movie["tracks"] = std::move(tracks);
    } catch (const std::exception& error) {
        movie["error"] = wellFormedUtf8(error.what());
    }
    return movie;
}

// ---- --analyze: measures as JSON ------------------------------------------

// Levels to a hundredth of a dB; none (silence) is null, as JSON has no minus infinity.
Json level(const std::optional<double>& decibels) {
    // Adding zero turns a rounded -0 into 0.
    return decibels ? Json(std::round(*decibels * 100) / 100 + 0.0) : Json(nullptr);
}

Json channelJson(const ChannelAnalysis& channel) {
    const auto& measures = channel.measures;
    return {{"label", channel.label ? Json(*channel.label) : Json(nullptr)},
            {"peak", level(measures.peak)},
            {"rms", level(measures.rms)},
            {"dcOffset", std::round(measures.dcOffset * 1e6) / 1e6 + 0.0},
            {"fullScaleSamples", measures.fullScaleSamples},
            {"silent", measures.silent},
            {"highFrequencyShare", level(measures.highFrequencyShare)}};
}

Json analysisJson(const MovieAnalysis& analysis) {
    Json tracks = Json::array(), programs = Json::array(), findings = Json::array();
    for (const auto& track : analysis.tracks) {
        Json channels = Json::array();
        for (const auto& channel : track.channels) channels.push_back(channelJson(channel));
        tracks.push_back({{"track", track.trackId ? Json(*track.trackId) : Json(nullptr)},
                          {"firstChannel", track.firstChannel},
                          {"channels", std::move(channels)}});
    }
    for (const auto& [program, loudness] : analysis.programs)
        programs.push_back({{"channels", program.channels},
                            {"layout", program.layout ? Json(*program.layout) : Json(nullptr)},
                            {"integratedLoudness", level(loudness.integrated)},
                            {"loudnessRange", level(loudness.range)},
                            {"truePeak", level(loudness.truePeak)}});
    for (const auto& finding : analysis.findings)
        findings.push_back({{"code", finding.code}, {"channels", finding.channels}, {"text", finding.text}});
    return {{"tracks", std::move(tracks)}, {"programs", std::move(programs)}, {"findings", std::move(findings)}};
}

// One line on a terminal's standard error, rewritten in place: the movie's name and how far.
class ProgressLine {
public:
    explicit ProgressLine(std::ostream& err, const std::string& path)
        : err_(&err == &std::cerr && ::isatty(STDERR_FILENO) ? &err : nullptr),
          name_(printable(std::filesystem::path(path).filename())) {}
    ~ProgressLine() {
        if (err_ && width_ > 0) (*err_ << '\r' << std::string(width_, ' ') << '\r').flush();
    }
    void operator()(std::uint64_t done, std::uint64_t total) {
        const int percent = total ? int(done * 100 / total) : 100;
        if (!err_ || percent == shown_) return;
        shown_ = percent;
        const std::string line = name_ + " " + std::to_string(percent) + "%";
        width_ = std::max(width_, line.size());
        (*err_ << '\r' << line).flush();
    }

private:
    std::ostream* err_;
    std::string name_;
    int shown_ = -1;
    std::size_t width_ = 0;
};

Json analyzedMovie(const std::string& path, std::ostream& err) {
    Json movie{{"path", wellFormedUtf8(path)}};
    try {
        ProgressLine progress(err, path);
        movie.update(analysisJson(analyzeMovie(path, std::ref(progress))));
    } catch (const std::exception& error) {
        movie["error"] = wellFormedUtf8(error.what());
    }
    return movie;
}

constexpr std::string_view helpText =
    "Relabels the channels of the PCM audio tracks of QuickTime movies in place.\n"
    "\n"
    "Usage:\n"
    "  lanemark                             open the editor window\n"
    "  lanemark MOVIE                       open the editor window with MOVIE open\n"
    "  lanemark --inspect PATH              print the label number of each PCM channel, null if none\n"
    "  lanemark --apply-preset PATH         write the twelve-channel delivery preset\n"
    "  lanemark --apply-labels PATH LABELS  write LABELS, one per channel, separated by commas\n"
    "  lanemark --restore PATH              put the movie back as its backup recorded it\n"
    "  lanemark --check LABELS PATH...      say for each movie whether it carries LABELS\n"
    "  lanemark --report PATH...            describe each movie's PCM tracks in JSON\n"
    "  lanemark --analyze PATH...           measure every PCM channel, say where a label does not fit\n"
    "  lanemark --help | -h                 print this help\n"
    "  lanemark --version                   print the version\n"
    "\n"
    "Channels are counted across tracks in order: twelve mono tracks, 6 + 2 + 2 + 2 or one\n"
    "twelve-channel track all have twelve. A track without a channel layout is unlabelled.\n"
    "\n"
    "LABELS are names (L R C LFE Ls Rs Lt Rt M, and the other Core Audio short names such as\n"
    "Lc Rc Cs Lsd Rsd Rls Rrs Lw Rw LFE2, in any case) or label numbers from 0 to 4294967295;\n"
    "spaces and tabs around an item are ignored. A layout name, in any case, stands for its labels:\n"
    "stereo (L,R), LtRt (Lt,Rt), 5.1 (L,R,C,LFE,Ls,Rs), 7.1 (5.1 then Rls,Rrs) and delivery (5.1 then\n"
    "three LtRt).\n"
    "\n"
    "Examples:\n"
    "  lanemark --apply-labels eight-tracks.mov L,R,C,LFE,Ls,Rs,Lt,Rt   an eight-channel master\n"
    "  lanemark --apply-labels reel-2.mov 5.1,LtRt                      another, by layout names\n"
    "  lanemark --apply-labels three-tracks.mov L,R,65537               two channels and a discrete one\n"
    "  lanemark --restore three-tracks.mov                              undo that edit from its backup\n"
    "  find . -name '*.mov' -exec lanemark --check 5.1,LtRt {} +        check a delivery\n"
    "\n"
    "Every edit first leaves the old metadata in PATH.lanemark-backup beside the movie; --restore\n"
    "puts it back. The movie is not edited again until that file is moved away.\n"
    "\n"
    "--check and --report only read, and go on past a movie that does not open; its path and why\n"
    "go to standard error (--check) or into its JSON object (--report).\n"
    "\n"
    "--analyze reads the samples of the PCM tracks, and nothing else: per channel peak, RMS, DC,\n"
    "samples at full scale and the share above 200 Hz; per program (channels that form stereo,\n"
    "LtRt, 5.1 or 7.1, else one channel) loudness, range and true peak, per EBU R128; and findings:\n"
    "silent, lfeFullRange, lowFrequencyOnly, identical, inverted, clipped. It prints one JSON array\n"
    "and exits 0 with no finding, 1 with findings, 2 when a movie could not be analysed.\n"
    "\n"
    "Exit status: 0 on success; 1 on failure, with one line on standard error saying why. For\n"
    "--check, 0 only when every movie matched; for --report, only when every movie opened.\n";

int help(Operands, std::ostream& out, std::ostream&) {
    out << helpText;
    return 0;
}

// The one way the verbs that write labels save them and say so.
void saveAndReport(const std::string& path, const std::vector<std::uint32_t>& labels, std::ostream& out) {
    const Movie movie{std::filesystem::path(path)};
    movie.save(labels);
    deliver(out, "Saved and verified", "The movie was saved and verified, but standard output could not be written.");
}

struct Verb {
    std::string_view name;
    std::string_view operands;  // as the usage line names them
    int count;                  // the least; a verb ending in PATH... takes more
    int (*run)(Operands operands, std::ostream& out, std::ostream& err);
};

const std::array<Verb, 10> verbs{{
    {"--inspect", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) { return inspect(operands[0], out, err); }},
    {"--apply-preset", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) { return applyPreset(operands[0], out, err); }},
    {"--apply-labels", "PATH LABELS", 2,
     [](Operands operands, std::ostream& out, std::ostream& err) {
         return applyLabels(operands[0], operands[1], out, err);
     }},
    {"--restore", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) { return restore(operands[0], out, err); }},
    {"--check", "LABELS PATH...", 2,
     [](Operands operands, std::ostream& out, std::ostream& err) {
         return checkLabels(operands[0], operands.subspan(1), out, err);
     }},
    {"--report", "PATH...", 1, reportTracks},
    // It says its own usage: a wrong one exits 2, as a movie that could not be analysed does.
    {"--analyze", "PATH...", 0, analyzeMovies},
    {"--help", "", 0, help},
    {"-h", "", 0, help},
    {"--version", "", 0,
     [](Operands, std::ostream& out, std::ostream&) {
         out << "lanemark " LANEMARK_VERSION "\n";
         return 0;
     }},
}};

const Verb* findVerb(std::string_view argument) {
    const auto found = std::ranges::find(verbs, argument, &Verb::name);
    return found == verbs.end() ? nullptr : &*found;
}

}  // namespace

int inspect(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        const Movie movie{std::filesystem::path(path)};
        deliver(out, labelLine(movie.labels()), "The labels could not be written to standard output.");
    });
}

int applyPreset(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] { saveAndReport(path, {preset.begin(), preset.end()}, out); });
}

int applyLabels(const std::string& path, const std::string& labels, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        // Typing errors are reported before the movie is even opened.
        saveAndReport(path, typedLabels(labels), out);
    });
}

int restore(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        restoreMovie(path);
        deliver(out, "Restored and verified",
                "The movie was restored and verified, but standard output could not be written.");
    });
}

int checkLabels(const std::string& labels, std::span<char* const> paths, std::ostream& out, std::ostream& err) {
    std::vector<std::uint32_t> wanted;
    // Typing errors are reported before any movie is opened.
    if (const int status = report(err, [&] { wanted = typedLabels(labels); })) return status;
    int status = 0;
    for (const std::string path : paths) {
        const std::string shown = printable(std::filesystem::path(path));
        std::vector<ChannelLabel> actual;
        try {
            actual = outlineMovie(path).labels;
        } catch (const std::exception& error) {
            (err << shown << ": " << error.what() << '\n').flush();
            status = 1;
            continue;
        }
        const bool match = matches(actual, wanted);
        if (!match) status = 1;
        if (!said(out,
                  shown + ": " +
                      (match ? "ok"
                             : labelLine(actual) + " does not match " + labelLine({wanted.begin(), wanted.end()}))))
            return outputLost(err);
    }
    return status;
}

int reportTracks(std::span<char* const> paths, std::ostream& out, std::ostream& err) {
    int status = 0;
    std::string separator = "[\n";
    for (const std::string path : paths) {
        const Json movie = movieJson(path);
        if (movie.contains("error")) status = 1;
        // Every text is well-formed already; replacing is only the library's last word on it.
        if (!(out << separator << movie.dump(-1, ' ', false, Json::error_handler_t::replace)).flush())
            return outputLost(err);
        separator = ",\n";
    }
    if (!said(out, "\n]")) return outputLost(err);
    return status;
}

int analyzeMovies(std::span<char* const> paths, std::ostream& out, std::ostream& err) {
    constexpr int findings = 1, failed = 2;
    if (paths.empty()) {
        err << "Usage: lanemark --analyze PATH...\n";
        return failed;
    }
    int status = 0;
    std::string separator = "[\n";
    for (const std::string path : paths) {
        const Json movie = analyzedMovie(path, err);
        if (movie.contains("error"))
            status = failed;
        else if (!movie["findings"].empty())
            status = std::max(status, findings);
        if (!(out << separator << movie.dump(-1, ' ', false, Json::error_handler_t::replace)).flush()) {
            outputLost(err);
            return failed;
        }
        separator = ",\n";
    }
    if (!said(out, "\n]")) {
        outputLost(err);
        return failed;
    }
    return status;
}

int run(int argc, char** argv, WindowStart startWindow, std::ostream& out, std::ostream& err) {
    if (argc >= 2) {
        if (const Verb* verb = findVerb(argv[1])) {
            if (argc - 2 >= verb->count) {
                const int status = verb->run(Operands(argv + 2, std::size_t(argc - 2)), out, err);
                // The help and the version too are no success unless they arrived.
                if (status != 0 || out.flush()) return status;
                err << "Standard output could not be written.\n";
                return 1;
            }
            err << "Usage: lanemark " << verb->name << ' ' << verb->operands << '\n';
            return 1;
        }
    }
    // A single argument that is not a verb is a movie to open, as a file manager passes it.
    const char* movie = argc == 2 ? argv[1] : nullptr;
    static char fallbackName[] = "lanemark";
    return startWindow(argc > 0 ? argv[0] : fallbackName, movie);
}

}  // namespace lanemark
