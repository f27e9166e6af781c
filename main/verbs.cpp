#include "main/verbs.hpp"

#include <exception>
#include <string_view>

#include "metadata/failure.hpp"
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

// A result that never reached standard output (a full disk, a closed pipe) is no success.
void deliver(std::ostream& out, const std::string& line, const char* failure) {
    if (!(out << line << '\n').flush()) fail(failure);
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
        deliver(out, labelLine(movie.labels()), "The labels could not be written to standard output.");
    });
}

int applyPreset(const std::string& path, std::ostream& out, std::ostream& err) {
    return report(err, [&] {
        const Movie movie{std::filesystem::path(path)};
        movie.save({preset.begin(), preset.end()});
        deliver(out, "Saved and verified",
                "The movie was saved and verified, but standard output could not be written.");
    });
}

int run(int argc, char** argv, int (*startWindow)(int, char**), std::ostream& out, std::ostream& err) {
    if (argc >= 3) {
        const std::string_view verb = argv[1];
        if (verb == "--inspect") return inspect(argv[2], out, err);
        if (verb == "--apply-preset") return applyPreset(argv[2], out, err);
    }
    return startWindow(argc, argv);
}

}  // namespace lanemark
