// Writes the bundled sample: a twelve-track delivery master with a video
// track, six tracks labelled for 5.1 and six stems still marked mono.

#include <iostream>

#include "tests/support/builder.hpp"

int main(int argc, char** argv) {
    using namespace lanemark::build;
    if (argc != 2) {
        std::cerr << "usage: lanemark_make_sample OUTPUT.mov\n";
        return 2;
    }
    std::vector<Buffer> tracks{videoTrack()};
    for (std::uint32_t label : {1, 2, 3, 4, 5, 6}) tracks.push_back(soundTrack(monoPcm(label)));
    for (int stem = 0; stem < 6; ++stem) tracks.push_back(soundTrack(lpcm(2, 1, {chan(chanMono())})));
    writeFile(argv[1], movie(moov(tracks), 64 * 1024));
    return 0;
}
