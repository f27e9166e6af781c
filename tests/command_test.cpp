#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <tuple>

#include "main/verbs.hpp"
#include "platform/file.hpp"
#include "saving/backup.hpp"
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

TEST_F(CommandLine, AnythingButAVerbStartsTheWindow) {
    const std::string path = movieWith({1});
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {path}, {path, "--inspect"}, {"--INSPECT", path}, {"-inspect", path}, {"--inspect=", path}, {"-H"}}) {
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
    for (const char* part : {"--apply-labels PATH LABELS", "--restore PATH", "L,R,65537", ".lanemark-backup", "Exit"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
    for (const auto& [arguments, status, out, err] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
             {{"--version"}, 0, "lanemark [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
             {{"--inspect"}, 1, "", "Usage: lanemark --inspect PATH\n"},
             {{"--apply-preset"}, 1, "", "Usage: lanemark --apply-preset PATH\n"},
             {{"--apply-labels", "movie.mov"}, 1, "", "Usage: lanemark --apply-labels PATH LABELS\n"},
             {{"--restore"}, 1, "", "Usage: lanemark --restore PATH\n"}}) {
        const auto outcome = runWith(arguments);
        EXPECT_EQ(outcome.status, status) << err;
        EXPECT_TRUE(std::regex_match(outcome.out, std::regex(out))) << outcome.out;
        EXPECT_EQ(outcome.err, err);
        EXPECT_FALSE(outcome.window);
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
}

TEST_F(CommandLine, ApplyPresetWritesTheDeliveryLayoutOnce) {
    const std::string path = movieWith({42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42});
    const auto applied = runWith({"--apply-preset", path});
    EXPECT_EQ(applied.status, 0);
    EXPECT_EQ(applied.out, "Saved and verified\n");
    EXPECT_EQ(applied.err, "");
    EXPECT_EQ(runWith({"--inspect", path}).out, "[1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39]\n");
    EXPECT_TRUE(std::filesystem::exists(path + ".lanemark-backup"));

    const auto saved = readFile(path);
    const auto again = runWith({"--apply-preset", path});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err,
              "A metadata backup already exists beside this movie. Keep it safe and move it elsewhere before making "
              "another edit.\n");
    EXPECT_EQ(readFile(path), saved);
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
}

TEST_F(CommandLine, ApplyLabelsRefusesBeforeWritingAnything) {
    const std::string path = movieWith({42, 42, 42});
    const auto before = readFile(path);
    const auto unknown = [](const std::string& item) {
        return "Unknown channel label \"" + item + "\". Use L, R, C, LFE, Ls, Rs, Lt, Rt, M or a label number.\n";
    };
    const std::string count = "Label count does not match.\n";
    for (const auto& [labels, message] :
         std::vector<std::pair<std::string, std::string>>{{"L,R,", unknown("")},
                                                          {"L, ,R", unknown("")},
                                                          {"L,+3,R", unknown("+3")},
                                                          {"L,-1,R", unknown("-1")},
                                                          {"L,1.5,R", unknown("1.5")},
                                                          {"L,3x,R", unknown("3x")},
                                                          {"L, 4294967296 ,R", unknown("4294967296")},
                                                          {"L,Left,R", unknown("Left")},
                                                          {"L,R", count},
                                                          {"L,R,C,M", count}}) {
        const auto outcome = runWith({"--apply-labels", path, labels});
        EXPECT_EQ(outcome.status, 1) << labels;
        EXPECT_EQ(outcome.out + outcome.err, message);
        EXPECT_EQ(readFile(path), before);
        EXPECT_FALSE(std::filesystem::exists(backupLocation(path))) << labels;
    }
    EXPECT_EQ(runWith({"--apply-labels", (dir / "absent.mov").string(), "L,Q"}).err, unknown("Q"));
}

// Restoring: the movie as its backup recorded it, whatever happened to it since.

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
        const auto backup = readFile(backupLocation(path));
        for (bool torn : {false, true}) {
            if (torn) {  // half the metadata overwritten, the file cut short
                File(path, File::Mode::update).writeAt(offset, zeros(metadata.size() / 2));
                std::filesystem::resize_file(path, size - 3);
            }
            const auto restored = runWith({"--restore", path});
            EXPECT_EQ(restored.out + restored.err, "Restored and verified\n");
            EXPECT_EQ(std::filesystem::file_size(path), size);
            EXPECT_EQ(File(path, File::Mode::read).readAt(offset, metadata.size()), metadata);
            EXPECT_EQ(readFile(backupLocation(path)), backup);
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
    const std::vector<std::pair<std::function<void(const std::string& movie)>, std::string>> cases{
        {[&](auto&) { std::filesystem::remove(backup); }, "No metadata backup exists beside this movie.\n"},
        {[&](auto&) { std::filesystem::resize_file(backup, 60); }, damaged},
        {[&](auto&) { patch(backup, "offset", "offsex"); }, damaged},
        {[&](auto&) { patch(backup, "moov", "moof"); }, damaged},
        {[&](auto&) { patch(backup, text(be32(metadata.size())) + "moov", text(be32(metadata.size() - 1))); }, damaged},
        {[&](auto&) { patch(backup, "\x11" + text(be16(size)), "\x11" + text(be16(size + 1))); }, moved},
        {[&](auto&) { patch(backup, "movie.mov", "movie.mkv"); }, "The metadata backup belongs to another movie.\n"},
        {[&](auto& movie) { std::filesystem::resize_file(movie, size - metadata.size() - 1); }, moved},
        {[&](auto& movie) { writeFile(movie, build::movie(metadata, 72)); }, moved}};
    for (const auto& [spoil, message] : cases) {
        const std::string path = movieWith({42, 42});
        std::filesystem::remove(backup);
        ASSERT_EQ(runWith({"--apply-labels", path, "L,R"}).status, 0);
        spoil(path);
        const auto movieBefore = readFile(path);
        const auto backupBefore = std::filesystem::exists(backup) ? readFile(backup) : Buffer{};
        const auto outcome = runWith({"--restore", path});
        EXPECT_EQ(outcome.status, 1) << message;
        EXPECT_EQ(outcome.out + outcome.err, message);
        EXPECT_EQ(readFile(path), movieBefore);
        EXPECT_EQ(std::filesystem::exists(backup) ? readFile(backup) : Buffer{}, backupBefore);
    }
}

}  // namespace
}  // namespace lanemark
