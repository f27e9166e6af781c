#include "main/verbs.hpp"

#include <exception>
#include <string_view>

#include "metadata/labels.hpp"
#include "metadata/movie.hpp"

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

std::string labelLine(const std::vector<std::uint32_t>& labels) {
    std::string line = "[";
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) line += ", ";
        line += std::to_string(labels[i]);
    }
    return line + "]";
}

}  // namespace

int inspect(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        const Movie movie{std::filesystem::path(path)};
        out << labelLine(movie.labels()) << '\n';
    });
}

int applyPreset(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        const Movie movie{std::filesystem::path(path)};
        movie.save({preset.begin(), preset.end()});
        out << "Saved and verified\n";
    });
}

bool isVerb(std::string_view argument) { return argument == "--inspect" || argument == "--apply-preset"; }

int run(int argc, char** argv, WindowStart startWindow, std::ostream& out, std::ostream& err) {
    if (argc >= 3) {
        const std::string_view verb = argv[1];
        if (verb == "--inspect") return inspect(argv[2], out, err);
        if (verb == "--apply-preset") return applyPreset(argv[2], out, err);
    }
    // A single argument that is not a verb is a movie to open, as a file manager passes it.
    const char* movie = argc == 2 && !isVerb(argv[1]) ? argv[1] : nullptr;
    static char fallbackName[] = "lanemark";
    return startWindow(argc > 0 ? argv[0] : fallbackName, movie);
}

}  // namespace lanemark
