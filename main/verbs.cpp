#include "main/verbs.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>
#include <vector>

#include "metadata/failure.hpp"
#include "metadata/labels.hpp"
#include "metadata/movie.hpp"
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
    "  lanemark --help | -h                 print this help\n"
    "  lanemark --version                   print the version\n"
    "\n"
    "Channels are counted across tracks in order: twelve mono tracks, 6 + 2 + 2 + 2 or one\n"
    "twelve-channel track all have twelve. A track without a channel layout is unlabelled.\n"
    "\n"
    "LABELS are names (L R C LFE Ls Rs Lt Rt M, and the other Core Audio short names such as\n"
    "Lc Rc Cs Lsd Rsd Rls Rrs Lw Rw LFE2, in any case) or label numbers from 0 to 4294967295;\n"
    "spaces and tabs around an item are ignored.\n"
    "\n"
    "Examples:\n"
    "  lanemark --apply-labels eight-tracks.mov L,R,C,LFE,Ls,Rs,Lt,Rt   an eight-channel master\n"
    "  lanemark --apply-labels three-tracks.mov L,R,65537               two channels and a discrete one\n"
    "  lanemark --restore three-tracks.mov                              undo that edit from its backup\n"
    "\n"
    "Every edit first leaves the old metadata in PATH.lanemark-backup beside the movie; --restore\n"
    "puts it back. The movie is not edited again until that file is moved away.\n"
    "\n"
    "Exit status: 0 on success; 1 on failure, with one line on standard error saying why.\n";

int help(char**, std::ostream& out, std::ostream&) {
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
    int count;
    int (*run)(char** operands, std::ostream& out, std::ostream& err);
};

const std::array<Verb, 7> verbs{{
    {"--inspect", "PATH", 1,
     [](char** operands, std::ostream& out, std::ostream& err) { return inspect(operands[0], out, err); }},
    {"--apply-preset", "PATH", 1,
     [](char** operands, std::ostream& out, std::ostream& err) { return applyPreset(operands[0], out, err); }},
    {"--apply-labels", "PATH LABELS", 2,
     [](char** operands, std::ostream& out, std::ostream& err) {
         return applyLabels(operands[0], operands[1], out, err);
     }},
    {"--restore", "PATH", 1,
     [](char** operands, std::ostream& out, std::ostream& err) { return restore(operands[0], out, err); }},
    {"--help", "", 0, help},
    {"-h", "", 0, help},
    {"--version", "", 0,
     [](char**, std::ostream& out, std::ostream&) {
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

int run(int argc, char** argv, WindowStart startWindow, std::ostream& out, std::ostream& err) {
    if (argc >= 2) {
        if (const Verb* verb = findVerb(argv[1])) {
            if (argc - 2 >= verb->count) {
                const int status = verb->run(argv + 2, out, err);
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
