// Writes a small seed corpus of well-formed and nearly well-formed metadata,
// and optionally one of backups.

#include <iostream>
#include <string>

#include "saving/backup.hpp"
#include "tests/support/builder.hpp"

int main(int argc, char** argv) {
    using namespace lanemark::build;
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: lanemark_fuzz_seeds DIRECTORY [BACKUP_DIRECTORY]\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    std::vector<Buffer> seeds{
        moovWithLabels({1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39}),
        moovWithLabels({42}),
        moov({soundTrack(lpcm(0, 1, {chan(chanMono())})), soundTrack(lpcm(1, 1, {chan(chanDescribing(7))}))}),
        moov({soundTrack(lpcm(2, 2, {chan(chanBody(0, {1, 2}))})), soundTrack(atom("mp4a", zeros(28)))}),
        moov({track("soun", stsd({monoPcm(1), monoPcm(2)})), videoTrack()}),
        box("moov", {box("trak", {box("moov", {atom("free")})}), chan(zeros(12))}),
        moov({soundTrack(lpcm(2, 6, {chan(chanBody(0x790006, {}))})), soundTrack(lpcm(1, 2, {}, "twos")),
              videoTrack(rawVideoEntry()), soundTrack(lpcm(2, 3, {chan(chanBody(0x10000, {}, 0x200003))}))}),
        moov({soundTrack(lpcm(0, 4, {chan(chanBody(0x930004, {}))}, "sowt")),
              soundTrack(lpcm(2, 2, {chan(chanBody(0xFFFF0002, {}))}))}),
    };
    // Every PCM entry type in the description version ffmpeg writes for it, with a "wave" and a one-bit bitmap.
    const Buffer wave = atom("wave", join({atom("frma", Buffer{'i', 'n', '2', '4'}), atom("enda", be16(1)), zeros(8)}));
    std::uint32_t bit = 0;
    for (auto type : pcmEntryTypes) {
        const int version = type == "sowt" || type == "twos" || type == "raw " ? 0 : type == "lpcm" ? 2 : 1;
        seeds.push_back(moov({soundTrack(lpcm(version, 1, {wave, chan(chanBody(0x10000, {}, 1u << bit++))}, type))}));
    }
    for (std::size_t i = 0; i < seeds.size(); ++i) writeFile(dir / ("seed-" + std::to_string(i)), seeds[i]);
    if (argc == 3) {  // a UTF-16 name, integers of several widths
        std::filesystem::create_directories(argv[2]);
        const auto encoded = lanemark::backupRecord(
            {.offset = 100, .originalSize = 1ULL << 40, .metadata = seeds[0], .written = {seeds[1]}, .savedSize = ~0ULL},
            "R\u00E9el.mov");
        Buffer bytes;
        for (const auto piece : encoded.pieces()) bytes.insert(bytes.end(), piece.begin(), piece.end());
        writeFile(std::filesystem::path(argv[2]) / "backup", bytes);
    }
    return 0;
}
