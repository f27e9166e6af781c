#include "main/verbs.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <array>
#include <exception>
#include <limits>
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

// Wrong arguments: an unknown option, operands missing or too many, labels that do not parse.
// Apart from the verbs' own 1, so that a script can tell a mistyped call from what it asked about.
constexpr int usageError = 2;

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

// Labels as a person types them: short names where they have one, else the number; null for none.
std::string labelWords(const std::vector<ChannelLabel>& labels) {
    std::string words;
    for (const auto& label : labels) {
        if (!words.empty()) words += ' ';
        words += !label ? "null" : shortLabelName(*label).value_or(std::to_string(*label));
    }
    return words;
}

// The channels, numbered from 1, whose labels differ, including those only one side has.
// An unlabelled channel matches nothing.
std::string differingChannels(const std::vector<ChannelLabel>& actual, const std::vector<std::uint32_t>& wanted) {
    std::string channels;
    for (std::size_t i = 0; i < std::max(actual.size(), wanted.size()); ++i) {
        if (i < actual.size() && i < wanted.size() && actual[i] == wanted[i]) continue;
        channels += (channels.empty() ? "" : ", ") + std::to_string(i + 1);
    }
    return channels;
}

// "1 label", "2 labels".
std::string counted(std::size_t count, const std::string& noun) {
    return std::to_string(count) + ' ' + noun + (count == 1 ? "" : "s");
}

// A line that reached standard output; the verbs over many movies stop when one did not.
bool said(std::ostream& out, const std::string& line) { return static_cast<bool>((out << line << '\n').flush()); }

// Results that never arrived are as bad as movies that did not open.
int outputLost(std::ostream& err) {
    err << "Standard output could not be written.\n";
    return usageError;
}

using Json = nlohmann::ordered_json;
using Operands = std::span<char* const>;

// Whole numbers as integers, as rates are written everywhere else.
Json number(double value) {
    if (value >= 0 && value < 9007199254740992.0 && value == static_cast<double>(static_cast<std::uint64_t>(value)))
        return static_cast<std::uint64_t>(value);
    return value;
}

Json orNull(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

// `firstChannel` counts as --apply-labels does, across the movie from 1.
Json trackJson(const PcmTrack& track, std::size_t firstChannel) {
    const auto labels = channelsOf({track});
    Json numbers = Json::array(), names = Json::array(), shortNames = Json::array();
    for (const auto& label : labels) {
        numbers.push_back(label ? Json(*label) : Json(nullptr));
        names.push_back(orNull(label ? labelName(*label) : std::nullopt));
        shortNames.push_back(orNull(label ? shortLabelName(*label) : std::nullopt));
    }
    return {{"track", track.trackId ? Json(*track.trackId) : Json(nullptr)},
            {"entry", wellFormedUtf8(track.sound.entry)},
            {"channels", track.sound.channels},
            {"firstChannel", firstChannel},
            {"sampleRate", number(track.sound.sampleRate)},
            {"bitsPerSample", track.sound.bitsPerSample},
            {"labels", std::move(numbers)},
            {"names", std::move(names)},
            {"shortNames", std::move(shortNames)},
            {"layout", orNull(layoutOf(labels))}};
}

// The movie's object: its tracks with their labels, or the sentence it was refused with.
Json movieJson(const std::string& path) {
    Json movie{{"path", wellFormedUtf8(path)}};
    try {
        const auto contents = outlineMovie(path);
        Json tracks = Json::array();
        std::size_t firstChannel = 1;
        for (const auto& track : contents.tracks) {
            tracks.push_back(trackJson(track, firstChannel));
            firstChannel += track.sound.channels;
        }
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
    "  lanemark --discard-backup PATH       remove the backup of a movie as its last edit left it\n"
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
    "Lc Rc Cs Lsd Rsd Rls Rrs Lw Rw LFE2, in any case), long names as --report prints them (Left,\n"
    "Left Total, Rear Surround Left, Discrete 3) or label numbers from 0 to 4294967295; spaces and\n"
    "tabs around an item are ignored. A layout name, in any case, stands for its labels: stereo (L,R),\n"
    "LtRt (Lt,Rt), 5.1 (L,R,C,LFE,Ls,Rs), 7.1 (5.1 then Rls,Rrs) and delivery (5.1 then three LtRt).\n"
    "\n"
    "Examples:\n"
    "  lanemark --apply-labels eight-tracks.mov L,R,C,LFE,Ls,Rs,Lt,Rt   an eight-channel master\n"
    "  lanemark --apply-labels reel-2.mov 5.1,LtRt                      another, by layout names\n"
    "  lanemark --apply-labels three-tracks.mov L,R,65537               two channels and a discrete one\n"
    "  lanemark --restore three-tracks.mov                              undo that edit from its backup\n"
    "  find . -name '*.mov' -exec lanemark --check 5.1,LtRt {} +        check a delivery\n"
    "\n"
    "Every edit first leaves the old metadata in PATH.lanemark-backup beside the movie; later edits\n"
    "keep the original in that one file, and --restore puts it back and removes the file. An edit\n"
    "is refused while the file does not match the movie as its last edit left it.\n"
    "\n"
    "--check and --report only read, and go on past a movie that does not open. --check prints one\n"
    "line per movie on standard output: \"PATH: ok\", \"PATH: LABELS does not match LABELS (channels\n"
    "N, ...)\" or \"PATH: error: why\"; --report puts why into the movie's JSON object.\n"
    "\n"
    "--analyze reads the samples of the PCM tracks, and nothing else: per channel peak, RMS, DC,\n"
    "samples at full scale and the share above 200 Hz; per program (channels that form stereo,\n"
    "LtRt, 5.1 or 7.1, else one channel) loudness, range and true peak, per EBU R128; and findings:\n"
    "silent, lfeFullRange, lowFrequencyOnly, identical, inverted, clipped. It prints one JSON array\n"
    "and exits 0 with no finding, 1 with findings, 2 when a movie could not be analysed.\n"
    "\n"
    "Exit status: 0 on success; 1 when a verb fails, with one line on standard error saying why, or\n"
    "when a movie does not match (--check) or has findings (--analyze); 2 for an unknown option or\n"
    "wrong operands, and when a movie could not be opened (--check, --report) or analysed (--analyze).\n";

int help(Operands, std::ostream& out, std::ostream&) {
    out << helpText;
    return 0;
}

// Whether the movie's metadata now ends the file; a save that moved it there did so only when it had to.
bool endsWithMetadata(const std::filesystem::path& url) {
    const File file(url, File::Mode::read);
    const auto place = locateMetadata(file.length(), [&file](std::span<std::uint8_t> into, std::uint64_t offset) {
        return file.readInto(into, offset);
    });
    return place.offset + place.length == file.length();
}

// The one way the verbs that write labels save them and say so.
void saveAndReport(const Movie& movie, const std::vector<std::uint32_t>& labels, std::ostream& out, std::ostream& err) {
    movie.save(labels);
    bool movedToTheEnd = false;
    try {
        movedToTheEnd = !movie.trailing() && endsWithMetadata(movie.url());
    } catch (const std::exception&) {
        // The save is done and verified; a file that cannot be read again now costs only the note.
    }
    deliver(out, "Saved and verified", "The movie was saved and verified, but standard output could not be written.");
    if (movedToTheEnd)
        err << "Note: the movie's metadata now follows its media, so the movie no longer starts playing before it is "
               "fully downloaded.\n";
}

// Operands after the ones a verb takes are refused, unless its operands end in "..." or it ignores them.
struct Verb {
    std::string_view name;
    std::string_view operands;  // as the usage line names them
    int count;                  // the least; a verb ending in PATH... takes more
    int (*run)(Operands operands, std::ostream& out, std::ostream& err);
    // The first two verbs ignore words after the path, and their usage errors end with status 1.
    bool lenient = false;
    std::string_view hint = {};  // a line after the usage line
};

const std::array<Verb, 11> verbs{{
    {"--inspect", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) { return inspect(operands[0], out, err); }, true},
    {"--apply-preset", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) { return applyPreset(operands[0], out, err); }, true},
    {"--apply-labels", "PATH LABELS", 2,
     [](Operands operands, std::ostream& out, std::ostream& err) {
         return applyLabels(operands[0], operands[1], out, err);
     },
     false, "LABELS is one argument: the labels separated by commas, as in 5.1,LtRt."},
    {"--restore", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) { return restore(operands[0], out, err); }},
    {"--discard-backup", "PATH", 1,
     [](Operands operands, std::ostream& out, std::ostream& err) {
         return report(err, [&] {
             discardBackup(operands[0]);
             deliver(out, "Backup removed", "The backup was removed, but standard output could not be written.");
         });
     }},
    {"--check", "LABELS PATH...", 2,
     [](Operands operands, std::ostream& out, std::ostream& err) {
         return checkLabels(operands[0], operands.subspan(1), out, err);
     }},
    {"--report", "PATH...", 1, reportTracks},
    {"--analyze", "PATH...", 1, analyzeMovies},
    {"--help", "", 0, help, true},
    {"-h", "", 0, help, true},
    {"--version", "", 0,
     [](Operands, std::ostream& out, std::ostream&) {
         out << "lanemark " LANEMARK_VERSION "\n";
         return 0;
     },
     true},
}};

const Verb* findVerb(std::string_view argument) {
    const auto found = std::ranges::find(verbs, argument, &Verb::name);
    return found == verbs.end() ? nullptr : &*found;
}

// How many operands `verb` takes at most, any more being a usage error.
std::size_t mostOperands(const Verb& verb) {
    if (verb.lenient || verb.operands.ends_with("...")) return std::numeric_limits<std::size_t>::max();
    return std::size_t(verb.count);
}

int usage(const Verb& verb, std::ostream& err) {
    err << "Usage: lanemark " << verb.name << ' ' << verb.operands << '\n';
    if (!verb.hint.empty()) err << verb.hint << '\n';
    return verb.lenient ? 1 : usageError;
}

}  // namespace

int inspect(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        // Every check of opening, without reading the sample tables into memory: nothing checks their
        // contents, and they are nearly all of a long movie's metadata. No limit on the atoms, as the
        // full opening has none.
        const auto contents = outlineMovie(path, noAtomLimit);
        deliver(out, labelLine(contents.labels), "The labels could not be written to standard output.");
    });
}

int applyPreset(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] { saveAndReport(Movie(path), {preset.begin(), preset.end()}, out, err); });
}

int applyLabels(const std::string& path, const std::string& labels, std::ostream& out, std::ostream& err) {
    std::vector<std::uint32_t> typed;
    // Typing errors are reported before the movie is even opened.
    if (report(err, [&] { typed = typedLabels(labels); })) return usageError;
    return report(err, [&] {
        const Movie movie{std::filesystem::path(path)};
        if (movie.labels().size() != typed.size())
            fail("The movie has " + counted(movie.labels().size(), "PCM channel") + ", but " +
                 counted(typed.size(), "label") + (typed.size() == 1 ? " was" : " were") + " given.");
        saveAndReport(movie, typed, out, err);
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
    if (report(err, [&] { wanted = typedLabels(labels); })) return usageError;
    const std::string wantedWords = labelWords({wanted.begin(), wanted.end()});
    int status = 0;
    for (const std::string path : paths) {
        std::string verdict;
        try {
            const auto actual = outlineMovie(path).labels;
            const auto differing = differingChannels(actual, wanted);
            verdict = differing.empty()
                          ? "ok"
                          : labelWords(actual) + " does not match " + wantedWords + " (channels " + differing + ")";
            if (!differing.empty()) status = std::max(status, 1);
        } catch (const std::exception& error) {
            verdict = std::string("error: ") + error.what();
            status = usageError;
        }
        if (!said(out, printable(std::filesystem::path(path)) + ": " + verdict)) return outputLost(err);
    }
    return status;
}

int reportTracks(std::span<char* const> paths, std::ostream& out, std::ostream& err) {
    int status = 0;
    std::string separator = "[\n";
    for (const std::string path : paths) {
        const Json movie = movieJson(path);
        if (movie.contains("error")) status = usageError;
        // Every text is well-formed already; replacing is only the library's last word on it.
        if (!(out << separator << movie.dump(-1, ' ', false, Json::error_handler_t::replace)).flush())
            return outputLost(err);
        separator = ",\n";
    }
    if (!said(out, "\n]")) return outputLost(err);
    return status;
}

int analyzeMovies(std::span<char* const> paths, std::ostream& out, std::ostream& err) {
    constexpr int findings = 1, failed = usageError;  // a movie not analysed counts as one not opened
    int status = 0;
    std::string separator = "[\n";
    for (const std::string path : paths) {
        const Json movie = analyzedMovie(path, err);
        if (movie.contains("error"))
            status = failed;
        else if (!movie["findings"].empty())
            status = std::max(status, findings);
        if (!(out << separator << movie.dump(-1, ' ', false, Json::error_handler_t::replace)).flush())
            return outputLost(err);
        separator = ",\n";
    }
    if (!said(out, "\n]")) return outputLost(err);
    return status;
}

int run(int argc, char** argv, WindowStart startWindow, std::ostream& out, std::ostream& err) {
    if (argc >= 2) {
        if (const Verb* verb = findVerb(argv[1])) {
            if (argc - 2 >= verb->count && std::size_t(argc - 2) <= mostOperands(*verb)) {
                const int status = verb->run(Operands(argv + 2, std::size_t(argc - 2)), out, err);
                // The help and the version too are no success unless they arrived.
                if (status != 0 || out.flush()) return status;
                err << "Standard output could not be written.\n";
                return 1;
            }
            return usage(*verb, err);
        }
        // A mistyped option must not open a window that a script would wait on.
        if (argv[1][0] == '-') {
            err << "Unknown option \"" << printable(std::string_view(argv[1]))
                << "\". Run lanemark --help to see the options.\n";
            return usageError;
        }
    }
    // A single argument that is not a verb is a movie to open, as a file manager passes it.
    const char* movie = argc == 2 ? argv[1] : nullptr;
    static char fallbackName[] = "lanemark";
    return startWindow(argc > 0 ? argv[0] : fallbackName, movie);
}

}  // namespace lanemark
