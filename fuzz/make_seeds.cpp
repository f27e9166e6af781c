// Writes a small seed corpus of well-formed and nearly well-formed metadata.

#include <iostream>
#include <string>

#include "tests/support/builder.hpp"

int main(int argc, char** argv) {
    using namespace lanemark::build;
    if (argc != 2) {
        std::cerr << "usage: lanemark_fuzz_seeds DIRECTORY\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    const std::vector<Buffer> seeds{
        moovWithLabels({1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39}),
        moovWithLabels({42}),
        moov({soundTrack(lpcm(0, 1, {chan(chanMono())})), soundTrack(lpcm(1, 1, {chan(chanDescribing(7))}))}),
        moov({soundTrack(lpcm(2, 2, {chan(chanBody(0, {1, 2}))})), soundTrack(atom("mp4a", zeros(28)))}),
        moov({track("soun", stsd({monoPcm(1), monoPcm(2)})), videoTrack()}),
        box("moov", {box("trak", {box("moov", {atom("free")})}), chan(zeros(12))}),
    };
    for (std::size_t i = 0; i < seeds.size(); ++i) writeFile(dir / ("seed-" + std::to_string(i)), seeds[i]);
    return 0;
}
