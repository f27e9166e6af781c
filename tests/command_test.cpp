#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <tuple>

#include "main/verbs.hpp"
#include "platform/file.hpp"
#include "saving/backup.hpp"
#include "saving/digest.hpp"
#include "tests/support/backup_reader.hpp"
#include "tests/support/builder.hpp"

namespace lanemark {
namespace {

using namespace build;

int windowStarts = 0;
std::optional<std::string> windowMovie;
int fakeWindow(char*, const char* movie) {
    ++windowStarts;
    windowMovie = movie ? std::optional<std::string>(movie) : std::nullopt;
    return 0;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
    bool window;
    std::optional<std::string> movie;
};

Outcome runWith(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "lanemark");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    const int before = windowStarts;
    const int status = run(int(arguments.size()), argv.data(), fakeWindow, out, err);
    return {status, out.str(), err.str(), windowStarts != before, windowMovie};
}

class CommandLine : public ::testing::Test {
protected:
    std::string movieWith(const std::vector<std::uint32_t>& labels) {
        const auto path = dir / "movie.mov";
        writeFile(path, movie(moovWithLabels(labels)));
        return path.string();
    }
    TempDir dir;
};

TEST_F(CommandLine, NoArgumentsOrAMovieStartTheWindow) {
    const std::string path = movieWith({1});
    for (const auto& arguments : std::vector<std::vector<std::string>>{{}, {path}, {path, "--inspect"}}) {
        const auto outcome = runWith(arguments);
        EXPECT_TRUE(outcome.window) << ::testing::PrintToString(arguments);
        // One argument that is no verb is a movie for the window to open, whatever it looks like.
        EXPECT_EQ(outcome.movie, arguments.size() == 1 ? std::optional(arguments[0]) : std::nullopt);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST_F(CommandLine, VerbsWithoutAMovieAnswerOnTheirOwn) {
    const std::string help = runWith({"--help"}).out;
    EXPECT_EQ(runWith({"-h"}).out, help);
    for (const char* part : {"--apply-labels PATH LABELS", "--restore PATH", "--discard-backup PATH", "L,R,65537",
                             ".lanemark-backup", "Exit", "--check LABELS PATH...", "--report PATH...",
                             "--analyze PATH...", "delivery", "-exec lanemark --check 5.1,LtRt"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
    const std::string labelsUsage =
        "Usage: lanemark --apply-labels PATH LABELS\nLABELS is one argument: the labels "
        "separated by commas, as in 5.1,LtRt.\n";
    for (const auto& [arguments, status, out, err] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
             {{"--version", "ignored"}, 0, "lanemark 0\\.2\\.0\n", ""},
             {{"--inspect"}, 1, "", "Usage: lanemark --inspect PATH\n"},
             {{"--apply-preset"}, 1, "", "Usage: lanemark --apply-preset PATH\n"},
             {{"--apply-labels", "movie.mov"}, 2, "", labelsUsage},
             {{"--apply-labels", "movie.mov", "L", "R", "C"}, 2, "", labelsUsage},
             {{"--restore"}, 2, "", "Usage: lanemark --restore PATH\n"},
             {{"--discard-backup"}, 2, "", "Usage: lanemark --discard-backup PATH\n"},
             {{"--check", "5.1"}, 2, "", "Usage: lanemark --check LABELS PATH...\n"},
             {{"--report"}, 2, "", "Usage: lanemark --report PATH...\n"},
             {{"--analyze"}, 2, "", "Usage: lanemark --analyze PATH...\n"}}) {
        const auto outcome = runWith(arguments);
        EXPECT_EQ(outcome.status, status) << err;
        EXPECT_TRUE(std::regex_match(outcome.out, std::regex(out))) << outcome.out;
        EXPECT_EQ(outcome.err, err);
        EXPECT_FALSE(outcome.window);
    }
    for (const std::string option : {"--inpsect", "--INSPECT", "-inspect", "--inspect=", "-H", "-", "-\x1b"}) {
        const auto outcome = runWith({option, "movie.mov"});
        EXPECT_EQ(outcome.out + outcome.err, "Unknown option \"" + (option == "-\x1b" ? "-\\x1b" : option) +
                                                 "\". Run lanemark --help to see the options.\n");
        EXPECT_TRUE(outcome.status == 2 && !outcome.window) << option;
    }
}

TEST_F(CommandLine, InspectPrintsTheLabelsOnOneLine) {
    const std::string path = movieWith({1, 2, 3, 4, 7, 65537});
    const auto before = readFile(path);
    const auto first = runWith({"--inspect", path, "ignored", "words"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "[1, 2, 3, 4, 7, 65537]\n");
    EXPECT_EQ(first.err, "");
    EXPECT_FALSE(first.window);
    const auto second = runWith({"--inspect", path});
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(CommandLine, InspectResolvesRelativePaths) {
    movieWith({42});
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto outcome = runWith({"--inspect", "movie.mov"});
    std::filesystem::current_path(previous);
    EXPECT_EQ(outcome.out, "[42]\n");
}

TEST_F(CommandLine, InspectReportsFailuresOnStandardError) {
    const auto missing = runWith({"--inspect", (dir / "absent.mov").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Cannot open \"" + (dir / "absent.mov").string() + "\": No such file or directory\n");

    writeFile(dir / "plain.mov", join({atom("ftyp"), atom("mdat", zeros(4))}));
    const auto refused = runWith({"--inspect", (dir / "plain.mov").string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "No supported trailing movie metadata found.\n");
    writeFile(dir / "ulaw.mov", movie(moov({videoTrack(), track("soun", stsd({atom("ulaw", zeros(28))}))})));
    EXPECT_EQ(runWith({"--inspect", (dir / "ulaw.mov").string()}).err,
              "This movie has no PCM audio tracks. This file is outside the supported scope.\n");
}

TEST_F(CommandLine, ApplyPresetWritesTheDeliveryLayoutOnce) {
    const std::string path = movieWith({42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42});
    const auto applied = runWith({"--apply-preset", path});
    EXPECT_EQ(applied.status, 0);
    EXPECT_EQ(applied.out, "Saved and verified\n");
    EXPECT_EQ(applied.err, "");
    EXPECT_EQ(runWith({"--inspect", path}).out, "[1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39]\n");
    EXPECT_TRUE(std::filesystem::exists(path + ".lanemark-backup"));

    // The backup proves the movie is as the save left it, so the edit may run again, and it may be discarded.
    const auto saved = readFile(path);
    EXPECT_EQ(runWith({"--apply-preset", path}).out, "Saved and verified\n");
    EXPECT_EQ(readFile(path), saved);
    EXPECT_EQ(runWith({"--discard-backup", path}).out, "Backup removed\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".lanemark-backup"));
}

TEST_F(CommandLine, ApplyPresetRefusesOtherTrackCounts) {
    const std::string path = movieWith({1, 2, 3, 4, 5, 6, 7, 8});
    const auto before = readFile(path);
    const auto outcome = runWith({"--apply-preset", path});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Label count does not match.\n");
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(std::filesystem::exists(path + ".lanemark-backup"));
}

TEST_F(CommandLine, ApplyLabelsTakesNamesInAnyCaseAndNumbers) {
    const std::string path = movieWith(std::vector<std::uint32_t>(11, 42));
    const auto applied = runWith({"--apply-labels", path, " l , R ,c,Lfe,LS,rs,LT,rt,m,0, 4294967295 "});
    EXPECT_EQ(applied.out, "Saved and verified\n");
    EXPECT_EQ(runWith({"--inspect", path}).out, "[1, 2, 3, 4, 5, 6, 38, 39, 42, 0, 4294967295]\n");
    // Labels address channels however tracks pack them; a channel without a label prints as null.
    writeFile(path, movie(moov({soundTrack(lpcm(2, 4, {})), soundTrack(lpcm(1, 2, {chan(chanBody(0x650002, {}))}))})));
    std::filesystem::remove(backupLocation(path));
    EXPECT_EQ(runWith({"--inspect", path}).out, "[null, null, null, null, 1, 2]\n");
    EXPECT_EQ(runWith({"--apply-labels", path, "Rls,RRS,lc,Rc,LFE2,hi"}).out, "Saved and verified\n");
    EXPECT_EQ(runWith({"--inspect", path}).out, "[33, 34, 7, 8, 37, 40]\n");
    writeFile(path, join({atom("ftyp"), moov({soundTrack(lpcm(2, 1, {chan(chanMono())}))}), atom("mdat", zeros(64))}));
    std::filesystem::remove(backupLocation(path));  // metadata first that grows moves to the end: no fast start
    EXPECT_EQ(runWith({"--apply-labels", path, "L"}).err,
              "Note: the movie's metadata now follows its media, so the "
              "movie no longer starts playing before it is fully downloaded.\n");
}

TEST_F(CommandLine, ApplyLabelsRefusesBeforeWritingAnything) {
    const std::string path = movieWith({42, 42, 42});
    const auto before = readFile(path);
    const auto unknown = [](const std::string& item) {
        return "Unknown channel label \"" + item + "\". Use L, R, C, LFE, Ls, Rs, Lt, Rt, M or a label number.\n";
    };
    const auto count = [](const std::string& given) { return "The movie has 3 PCM channels, but " + given + ".\n"; };
    for (const auto& [labels, message] :
         std::vector<std::pair<std::string, std::string>>{{"L,R,", unknown("")},
                                                          {"L, ,R", unknown("")},
                                                          {"L,+3,R", unknown("+3")},
                                                          {"L,-1,R", unknown("-1")},
                                                          {"L,1.5,R", unknown("1.5")},
                                                          {"L,3x,R", unknown("3x")},
                                                          {"L, 4294967296 ,R", unknown("4294967296")},
                                                          {"L,Lefty,R", unknown("Lefty")},
                                                          {"L,Discrete 65536,R", unknown("Discrete 65536")},
                                                          {"L,HOA channel, ACN index 3,R", unknown("HOA channel")},
                                                          {"L,Lx\nrm -rf\x1b[2J,R", unknown("Lx\\nrm -rf\\x1b[2J")},
                                                          {"L,R", count("2 labels were given")},
                                                          {"Mono", count("1 label was given")},
                                                          {"L,R,C,M", count("4 labels were given")}}) {
        const auto outcome = runWith({"--apply-labels", path, labels});
        EXPECT_EQ(outcome.status, message.starts_with("Unknown") ? 2 : 1) << labels;
        EXPECT_EQ(outcome.out + outcome.err, message);
        EXPECT_EQ(readFile(path), before);
        EXPECT_FALSE(std::filesystem::exists(backupLocation(path))) << labels;
    }
    EXPECT_EQ(runWith({"--apply-labels", (dir / "absent.mov").string(), "L,Q"}).err, unknown("Q"));
}

// Many movies at once: every one is read, whatever happened to the one before.

TEST_F(CommandLine, CheckSaysOfEveryMovieWhetherItCarriesTheLabels) {
    const auto path = [&](const char* name) { return (dir / name).string(); };
    writeFile(path("match.mov"), movie(moovWithLabels({1, 2, 3, 4, 5, 6, 38, 39})));
    writeFile(path("swapped\t.mov"), movie(moovWithLabels({1, 2, 3, 4, 6, 5, 38, 65537})));
    writeFile(path("unlabelled.mov"), movie(moov({soundTrack(monoPcm(1)), soundTrack(lpcm(2, 1, {}))})));
    writeFile(path("plain.mov"), join({atom("ftyp"), atom("mdat", zeros(4))}));
    const auto before = readFile(path("match.mov"));
    const auto mixed = runWith({"--check", "5.1,ltrt", path("match.mov"), path("swapped\t.mov"), path("plain.mov"),
                                path("unlabelled.mov"), path("absent.mov"), path("match.mov")});
    const std::string wanted = " does not match L R C LFE Ls Rs Lt Rt (channels ";
    EXPECT_EQ(mixed.status, 2);
    EXPECT_EQ(mixed.out, path("match.mov") + ": ok\n" + path("swapped\\t.mov") + ": L R C LFE Rs Ls Lt 65537" + wanted +
                             "5, 6, 8)\n" + path("plain.mov") +
                             ": error: No supported trailing movie metadata found.\n" + path("unlabelled.mov") +
                             ": L null" + wanted + "2, 3, 4, 5, 6, 7, 8)\n" + path("absent.mov") +
                             ": error: Cannot open \"" + path("absent.mov") + "\": No such file or directory\n" +
                             path("match.mov") + ": ok\n");
    EXPECT_EQ(mixed.err, "");
    // An unlabelled channel matches nothing, not even the label it would get.
    EXPECT_EQ(runWith({"--check", "L,0", path("unlabelled.mov")}).status, 1);

    const auto matching = runWith({"--check", "L,R,C,LFE,Ls,Rs,Lt,Rt", path("match.mov"), path("match.mov")});
    EXPECT_EQ(matching.status, 0);
    EXPECT_EQ(matching.out + matching.err, path("match.mov") + ": ok\n" + path("match.mov") + ": ok\n");
    const auto mistyped = runWith({"--check", "5.1,Q", path("match.mov")});
    EXPECT_EQ(mistyped.status, 2);
    EXPECT_EQ(mistyped.out + mistyped.err,
              "Unknown channel label \"Q\". Use L, R, C, LFE, Ls, Rs, Lt, Rt, M or a label number.\n");
    EXPECT_EQ(readFile(path("match.mov")), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4);
}

TEST_F(CommandLine, ReportIsOneJsonDocumentOfEveryMovie) {
    const auto named = (dir / "Take \xff.mov").string(), plain = (dir / "plain.mov").string();
    writeFile(named, movie(moov({soundTrack(monoPcm(1)), soundTrack(monoPcm(33)), soundTrack(monoPcm(65539)),
                                 soundTrack(monoPcm(7000)), soundTrack(lpcm(2, 2, {chan(chanBody(0, {2, 1}))})),
                                 soundTrack(lpcm(2, 1, {}, "in24"))})));
    writeFile(plain, join({atom("ftyp"), atom("mdat", zeros(4))}));
    const auto outcome = runWith({"--report", named, plain, named});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, "");
    const auto report = nlohmann::json::parse(outcome.out);
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(report[0], report[2]);
    EXPECT_EQ(report[0]["path"], (dir / "Take \uFFFD.mov").string());
    const auto& tracks = report[0]["tracks"];
    ASSERT_EQ(tracks.size(), 6u);
    EXPECT_EQ(tracks[0], nlohmann::json::parse(R"({"track": 0, "entry": "lpcm", "channels": 1, "firstChannel": 1,
        "sampleRate": 96000, "bitsPerSample": 24, "labels": [1], "names": ["Left"], "shortNames": ["L"],
        "layout": null})"));
    auto labels = nlohmann::json::array(), names = nlohmann::json::array();
    for (const auto& track : tracks) {
        labels.insert(labels.end(), track["labels"].begin(), track["labels"].end());
        names.insert(names.end(), track["names"].begin(), track["names"].end());
    }
    EXPECT_EQ(labels, nlohmann::json::parse("[1, 33, 65539, 7000, 2, 1, null]"));
    EXPECT_EQ(names,
              nlohmann::json::parse(R"(["Left", "Rear Surround Left", "Discrete 3", null, "Right", "Left", null])"));
    EXPECT_EQ(tracks[4]["firstChannel"].dump() + tracks[5]["firstChannel"].dump(), "57");
    EXPECT_EQ(tracks[4]["shortNames"].dump() + tracks[4]["layout"].dump(), R"(["R","L"]"stereo")");
    EXPECT_EQ(tracks[5]["entry"], "in24");
    EXPECT_EQ(report[1], (nlohmann::json{{"path", plain}, {"error", "No supported trailing movie metadata found."}}));
    EXPECT_EQ(runWith({"--report", named}).status, 0);
    // The names it prints can be typed back.
    const std::string path = movieWith({1, 2, 3, 4, 5, 6, 7, 33, 38, 39, 65539, 131075, 262151, 4294967295, 42, 204});
    const std::string inspected = runWith({"--inspect", path}).out;
    std::string typed;
    const auto again = nlohmann::json::parse(runWith({"--report", path}).out);
    for (const auto& track : again[0]["tracks"])
        typed += (typed.empty() ? "" : ",") + track["names"][0].get<std::string>();
    writeFile(path, movie(moovWithLabels(std::vector<std::uint32_t>(16, 0))));
    EXPECT_EQ(runWith({"--apply-labels", path, typed}).out, "Saved and verified\n");
    EXPECT_EQ(runWith({"--inspect", path}).out, inspected);
}

// Restoring: the movie as its backup recorded it, whatever happened to it since.

// Rewrites the backup beside `movie` with only the four keys of backups made
// before the digests, and `suffix` after its movieName.
// With `moved` and `grown`, the offset and the original size claim bytes past the metadata; with `sha256`, it
// is the backup of a trailing save as earlier builds made it, with SHA-256 in 4 KiB blocks.
void writeOldBackup(const std::filesystem::path& movie, const std::string& suffix = "", std::uint64_t moved = 0,
                    std::uint64_t grown = 0, bool sha256Digests = false) {
    const auto old = readBackup(backupLocation(movie));
    const std::string name = old.movieName + suffix;
    const std::span<const std::uint8_t> metadata(old.metadata);
    std::vector<PropertyEntry> entries{
        {"offset", old.offset + moved}, {"originalSize", old.originalSize + grown}, {"movieName", name}};
    const auto end = std::filesystem::file_size(movie);
    Buffer digests;
    for (std::uint64_t at = old.offset, next; sha256Digests && at < end; at = next) {
        next = std::min(end, (at / 4096 + 1) * 4096);
        for (const auto byte : sha256(File(movie, File::Mode::read).readAt(at, next - at))) digests.push_back(byte);
    }
    const auto digest = sha256(metadata);
    if (sha256Digests)
        entries.insert(entries.end(), {{"metadataDigest", std::span<const std::uint8_t>(digest)},
                                       {"writtenLength", end - old.offset},
                                       {"writtenDigests", std::span<const std::uint8_t>(digests)},
                                       {"savedSize", end}});
    entries.push_back({"metadata", metadata});
    const auto encoded = encodeDictionary(entries);
    Buffer bytes;
    for (const auto piece : encoded.pieces()) bytes.insert(bytes.end(), piece.begin(), piece.end());
    writeFile(backupLocation(movie), bytes);
}

// A backup whose root dictionary maps "offset" to `depth` arrays, each holding the next.
Buffer nestedArrays(std::uint32_t depth) {
    Buffer objects{'b', 'p', 'l', 'i', 's', 't',  '0', '0', 0xD1, 0,   0,   0,
                   1,   0,   0,   0,   2,   0x56, 'o', 'f', 'f',  's', 'e', 't'},
        table = join({be32(8), be32(17)});
    for (std::uint32_t object = 2; object <= depth + 1; ++object) {
        const Buffer at = be32(std::uint32_t(objects.size())),
                     array = join({Buffer{0xA1}, be32(object % (depth + 1) + 1)});
        table.insert(table.end(), at.begin(), at.end());
        objects.insert(objects.end(), array.begin(), array.end());
    }
    return join({objects, table, zeros(6), Buffer{4, 4}, be64(depth + 2), be64(0), be64(objects.size())});
}

TEST_F(CommandLine, RestorePutsBackGrownEditsAndTornWritesAlsoBeyondFourGigabytes) {
    // Mono-tag layouts grow by 20 bytes each when labelled; the small movie's name is not UTF-8.
    const Buffer metadata = moov({soundTrack(lpcm(2, 1, {chan(chanMono())})), soundTrack(monoPcm(42))});
    const auto small = dir / "Take \xff.mov", large = dir / "large.mov";
    writeFile(small, movie(metadata));
    writeSparseMovie(large, (5ULL << 30) + 3, metadata);
    const Buffer smallOriginal = readFile(small);
    for (const auto& path : {small, large}) {
        const auto size = std::filesystem::file_size(path), offset = size - metadata.size();
        EXPECT_EQ(runWith({"--apply-labels", path, "L,R"}).out, "Saved and verified\n");
        ASSERT_GT(std::filesystem::file_size(path), size);
        const auto saved = std::filesystem::file_size(path);
        const auto written = File(path, File::Mode::read).readAt(offset, saved - offset);
        const auto backup = readFile(backupLocation(path));
        for (int pass : {0, 1, 2, 3, 4}) {
            // Then a save cut short as the file grew, before its new bytes hit the disk; then the new bytes
            // on disk but not the new length; then the save whole, with a backup of each earlier format.
            if (pass == 1) std::filesystem::resize_file(path, saved);
            if (pass >= 2) File(path, File::Mode::update).writeAt(offset, written);
            writeFile(backupLocation(path), backup);  // a restore removes it
            if (pass == 2) std::filesystem::resize_file(path, size);
            if (pass == 3) writeOldBackup(path);
            if (pass == 4) writeOldBackup(path, "", 0, 0, true);
            const auto restored = runWith({"--restore", path});
            EXPECT_EQ(restored.out + restored.err, "Restored and verified\n");
            EXPECT_EQ(std::filesystem::file_size(path), size);
            EXPECT_EQ(File(path, File::Mode::read).readAt(offset, metadata.size()), metadata);
            EXPECT_FALSE(std::filesystem::exists(backupLocation(path)));
        }
    }
    EXPECT_EQ(readFile(small), smallOriginal);
    struct stat info {};
    ASSERT_EQ(::stat(large.c_str(), &info), 0);
    EXPECT_LT(std::uint64_t(info.st_blocks) * 512, 1ULL << 20) << "the media hole was written";
}

// Replaces the one occurrence of `from` in a file by as many bytes of `to`.
void patch(const std::filesystem::path& file, const std::string& from, const std::string& to) {
    auto data = readFile(file);
    const auto at = std::search(data.begin(), data.end(), from.begin(), from.end());
    ASSERT_NE(at, data.end()) << "no " << from << " in " << file;
    std::copy(to.begin(), to.end(), at);
    writeFile(file, data);
}

TEST_F(CommandLine, RestoreRefusesWithoutWritingAnything) {
    const Buffer metadata = moovWithLabels({42, 42});
    const auto size = movie(metadata).size();
    const auto text = [](const Buffer& bytes) { return std::string(bytes.begin(), bytes.end()); };
    const std::string damaged = "The metadata backup is damaged.\n";
    const std::string moved = "The movie no longer matches its backup. No changes were made.\n";
    const auto backup = backupLocation(dir / "movie.mov");
    const std::string restored = "Restored and verified\n";
    Buffer original;  // for the rows that restore: the movie before their own save
    // A save that shrinks a trailing "moov" by 40 bytes; returns the original cut to the length the save left.
    const auto shrunk = [&](const std::string& movie) {
        original = build::movie(moov({soundTrack(lpcm(2, 1, {chan(join({chanDescribing(9), zeros(40)}))}))}));
        writeFile(movie, original);
        std::filesystem::remove(backup);
        EXPECT_EQ(runWith({"--apply-labels", movie, "L"}).status, 0);
        return Buffer(original.begin(), original.begin() + std::ptrdiff_t(std::filesystem::file_size(movie)));
    };
    // A "free" atom of `bytes` appended, which an old backup's original size claims, its offset moved by `moved`.
    const auto freeClaimed = [](const std::string& movie, std::size_t bytes, std::uint64_t moved) {
        writeFile(movie, join({readFile(movie), atom("free", zeros(bytes - 8))}));
        writeOldBackup(movie, "", moved, bytes);
    };
    const std::vector<std::pair<std::function<void(const std::string& movie)>, std::string>> cases{
        // A shrunk trailing "moov" whose cut reached the disk but not its rewrite restores; one byte appended does not.
        {[&](auto& movie) { writeFile(movie, shrunk(movie)); }, restored},
        {[&](auto& movie) { shrunk(movie), std::ofstream(movie, std::ios::app) << "x"; }, moved},
        // A backup without a proof neither claims the atom after a "moov" nor writes a "moov" over it.
        {[&](auto& movie) { freeClaimed(movie, 8, 0); }, moved},
        {[&](auto& movie) { freeClaimed(movie, metadata.size(), metadata.size()); }, moved},
        {[&](auto&) { std::filesystem::remove(backup); }, "No metadata backup exists beside this movie.\n"},
        {[&](auto&) { std::filesystem::resize_file(backup, 60); }, damaged},
        {[&](auto&) { patch(backup, "offset", "offsex"); }, damaged},
        {[&](auto&) { patch(backup, "moov", "moof"); }, damaged},
        {[&](auto&) { patch(backup, text(be32(metadata.size())) + "moov", text(be32(metadata.size() - 1))); }, damaged},
        // Every field is bound into the proof: an edited length, name or offset is damage.
        {[&](auto&) { patch(backup, "\x11" + text(be16(size)), "\x11" + text(be16(size + 1))); }, damaged},
        {[&](auto&) { patch(backup, "movie.mov", "movie.mkv"); }, damaged},
        {[&](auto& movie) { writeOldBackup(movie, std::string("\0.mkv", 5)); },
         "The metadata backup belongs to another movie.\n"},
        {[&](auto& movie) { std::filesystem::resize_file(movie, size - metadata.size() - 1); }, moved},
        {[&](auto& movie) { writeFile(movie, build::movie(metadata, 72)); }, moved},
        {[&](auto&) { patch(backup, "\x10\x64", "\x10\x1c"); }, damaged},  // the offset of "mdat", not of "moov"
        {[&](auto&) { patch(backup, "trak", "trek"); }, damaged},
        {[&](auto& movie) { std::ofstream(movie, std::ios::app) << "appended"; }, moved},
        {[&](auto& movie) { writeOldBackup(movie), std::ofstream(movie, std::ios::app) << "x"; }, moved},
        {[&](auto&) { writeFile(backup, nestedArrays(200000)); }, damaged},
        {[&](auto&) { std::filesystem::remove(backup), ::mkfifo(backup.c_str(), 0600); }, damaged},
        {[&](auto&) { std::filesystem::remove(backup), std::filesystem::create_directory(backup); }, damaged},
        {[&](auto&) {  // the backup of another movie of that name, with the same atoms before its metadata
             const auto other = dir / "other" / "movie.mov";
             std::filesystem::create_directory(other.parent_path());
             writeFile(other, build::movie(moovWithLabels({42, 42})));
             ASSERT_EQ(runWith({"--apply-labels", other, "C,C"}).status, 0);
             std::filesystem::rename(backupLocation(other), backup);
         },
         moved}};
    for (const auto& [spoil, message] : cases) {
        const std::string path = movieWith({42, 42});
        std::filesystem::remove(backup);
        ASSERT_EQ(runWith({"--apply-labels", path, "L,R"}).status, 0);
        spoil(path);
        const auto movieBefore = readFile(path);
        const auto backupBefore = std::filesystem::is_regular_file(backup) ? readFile(backup) : Buffer{};
        const auto outcome = runWith({"--restore", path});
        EXPECT_EQ(outcome.status, message == restored ? 0 : 1) << message;
        EXPECT_EQ(outcome.out + outcome.err, message);
        EXPECT_EQ(readFile(path), message == restored ? original : movieBefore);
        EXPECT_EQ(std::filesystem::is_regular_file(backup) ? readFile(backup) : Buffer{},
                  message == restored ? Buffer{} : backupBefore);
        // A backup that proves nothing is neither removed by --discard-backup nor carried on by an edit.
        const auto shown = runWith({"--inspect", path});  // a movie that no longer opens stops the edit sooner
        const std::string labels = std::ranges::count(shown.out, ',') ? "C,C" : "C";
        for (const std::string verb : {"--discard-backup", "--apply-labels"}) {
            if (message == restored || (verb == "--apply-labels" && message.starts_with("No metadata"))) continue;
            const auto outcome = verb == "--apply-labels" ? runWith({verb, path, labels}) : runWith({verb, path});
            EXPECT_EQ(outcome.status, 1);
            if (verb == "--discard-backup" || shown.status == 0) {
                EXPECT_EQ(outcome.err, verb == "--apply-labels" ? backupExists + std::string("\n") : message);
            }
            EXPECT_EQ(readFile(path), movieBefore);
            EXPECT_EQ(std::filesystem::is_regular_file(backup) ? readFile(backup) : Buffer{}, backupBefore);
        }
    }
}

}  // namespace
}  // namespace lanemark
