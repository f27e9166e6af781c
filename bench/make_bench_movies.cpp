// Writes the movies bench/run.sh measures into a folder:
//   small.mov        twelve mono tracks, 1 MiB of media
//   sparse-64g.mov   twelve mono tracks, a 64 GiB media atom left as a hole
//   moov-N.mov       twelve mono tracks, a moov of about N MiB (for example moov-100)
//   bare-N.mov       the same moov, its tracks without "chan", of the same size
//   first-N.mov      the same moov first, ahead of 1 MiB of media: the preset keeps its size
//   moved-N.mov      the same first, but every layout 20 bytes short of the preset's, which
//                    therefore moves the metadata to the end
//   tracks-N.mov     N mono tracks: a tree of many small atoms
//   master.mov       twelve mono tracks, a moov of about 300 KB, 1 MiB of media:
//                    the delivery master that bench/delivery.py copies a thousand times
//   real-1g.mov      twelve 96 kHz mono tracks and a video track made by
//                    ffmpeg, over 1 GiB of real media, with chan atoms added
// Usage: lanemark_bench_movies FOLDER [small|sparse|moov-N|bare-N|first-N|moved-N|tracks-N|master|real ...]
//        (default: small sparse moov-100 real)

#include <iostream>
#include <string>
#include <vector>

#include "bench/movies.hpp"
#include "tests/support/builder.hpp"
#include "tests/support/layouts.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace lanemark::build;

void writeReal(const std::filesystem::path& path) {
    // 320 s of twelve 24-bit 96 kHz tracks is 1.1 GB of sound; the small
    // video track is there because delivery masters have one.
    const std::string seconds = "320";
    std::vector<std::string> arguments{
        "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x180:rate=24"};
    std::vector<std::string> maps{"-map", "0:v"};
    for (int track = 1; track <= 12; ++track) {
        arguments.insert(arguments.end(),
                         {"-f", "lavfi", "-i", "sine=frequency=" + std::to_string(110 * track) + ":sample_rate=96000"});
        maps.insert(maps.end(), {"-map", std::to_string(track) + ":a"});
    }
    arguments.insert(arguments.end(), maps.begin(), maps.end());
    arguments.insert(arguments.end(), {"-t", seconds, "-c:v", "prores_ks", "-profile:v", "0", "-c:a", "pcm_s24le", "-f",
                                       "mov", path.string()});
    const auto outcome = runProgram(arguments);
    if (outcome.status != 0) throw std::runtime_error("ffmpeg failed: " + outcome.err);
    if (addChannelLayouts(path) != 12) throw std::runtime_error("expected twelve PCM tracks from ffmpeg");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: lanemark_bench_movies FOLDER [small|sparse|moov-N|bare-N|first-N|moved-N|tracks-N|master|real ...]\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::vector<std::string> which(argv + 2, argv + argc);
    if (which.empty()) which = {"small", "sparse", "moov-100", "real"};
    try {
        std::filesystem::create_directories(folder);
        const auto twelve = lanemark::bench::manyTracks(12);
        for (const auto& name : which) {
            if (name == "small") {
                writeFile(folder / "small.mov", movie(twelve, std::size_t(1) << 20));
            } else if (name == "sparse") {
                std::filesystem::remove(folder / "sparse-64g.mov");
                writeSparseMovie(folder / "sparse-64g.mov", std::uint64_t(64) << 30, twelve);
            } else if (name.starts_with("moov-")) {
                const std::size_t mebibytes = std::stoul(name.substr(5));
                writeFile(folder / (name + ".mov"), movie(lanemark::bench::largeTables(mebibytes << 20)));
            } else if (name.starts_with("bare-")) {
                const std::size_t mebibytes = std::stoul(name.substr(5));
                writeFile(folder / (name + ".mov"), movie(lanemark::bench::largeTablesWithoutLayouts(mebibytes << 20)));
            } else if (name.starts_with("first-") || name.starts_with("moved-")) {
                const std::size_t mebibytes = std::stoul(name.substr(6));
                const Buffer layout = name.starts_with("first-") ? chanDescribing(42) : chanMono();
                writeFile(folder / (name + ".mov"), join({atom("ftyp", zeros(12)),
                                                          lanemark::bench::largeTables(mebibytes << 20, layout),
                                                          atom("mdat", zeros(std::size_t(1) << 20))}));
            } else if (name.starts_with("tracks-")) {
                writeFile(folder / (name + ".mov"), movie(lanemark::bench::manyTracks(std::stoul(name.substr(7)))));
            } else if (name == "master") {
                writeFile(folder / "master.mov", movie(lanemark::bench::masterTables(300000), std::size_t(1) << 20));
            } else if (name == "real") {
                writeReal(folder / "real-1g.mov");
            } else {
                std::cerr << "unknown movie " << name << "\n";
                return 2;
            }
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
    return 0;
}
