#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <regex>
#include <sstream>
#include <tuple>

#include "main/verbs.hpp"
#include "metadata/file.hpp"
#include "saving/backup.hpp"
#include "tests/support/backup_reader.hpp"
#include "tests/support/builder.hpp"

namespace lanemark {
namespace {

using namespace build;

int windowStarts = 0;
int fakeWindow(int, char**) {
    ++windowStarts;
    return 0;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
    bool window;
};

Outcome runWith(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "lanemark");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    const int before = windowStarts;
    const int status = run(int(arguments.size()), argv.data(), fakeWindow, out, err);
    return {status, out.str(), err.str(), windowStarts != before};
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
             {}, {path, "--inspect"}, {"--INSPECT", path}, {"-inspect", path}, {"--inspect=", path}, {"-H"}}) {
        const auto outcome = runWith(arguments);
        EXPECT_TRUE(outcome.window) << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST_F(CommandLine, AVerbWithoutItsOperandsPrintsItsUsage) {
    const std::string path = movieWith({1});
    for (const auto& [arguments, usage] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--inspect"}, "--inspect PATH"},
             {{"--apply-preset"}, "--apply-preset PATH"},
             {{"--apply-labels", path}, "--apply-labels PATH LABELS"},
             {{"--restore"}, "--restore PATH"}}) {
        const auto outcome = runWith(arguments);
        EXPECT_FALSE(outcome.window) << usage;
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "Usage: lanemark " + usage + "\n");
    }
}

TEST_F(CommandLine, HelpAndVersionPrintOnStandardOutput) {
    const auto help = runWith({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(runWith({"-h"}).out, help.out);
    for (const char* line : {"--inspect PATH", "--apply-preset PATH", "--apply-labels PATH LABELS", "--restore PATH",
                             ".lanemark-backup", "Exit status"})
        EXPECT_NE(help.out.find(line), std::string::npos) << line;
    const auto version = runWith({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("lanemark [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
    EXPECT_FALSE(help.window || version.window);
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
    EXPECT_EQ(applied.status, 0);
    EXPECT_EQ(applied.out, "Saved and verified\n");
    EXPECT_EQ(runWith({"--inspect", path}).out, "[1, 2, 3, 4, 5, 6, 38, 39, 42, 0, 4294967295]\n");
}

TEST_F(CommandLine, ApplyLabelsRefusesBeforeWritingAnything) {
    const std::string path = movieWith({42, 42, 42});
    const auto before = readFile(path);
    const std::string use = "\". Use L, R, C, LFE, Ls, Rs, Lt, Rt, M or a label number.\n";
    for (const auto& [labels, message] : std::vector<std::pair<std::string, std::string>>{
             {"L,R,", "Unknown channel label \"" + use},
             {"L, ,R", "Unknown channel label \"" + use},
             {"L,+3,R", "Unknown channel label \"+3" + use},
             {"L,-1,R", "Unknown channel label \"-1" + use},
             {"L,1.5,R", "Unknown channel label \"1.5" + use},
             {"L,3x,R", "Unknown channel label \"3x" + use},
             {"L, 4294967296 ,R", "Unknown channel label \"4294967296" + use},
             {"L,Left,R", "Unknown channel label \"Left" + use},
             {"L,R", "Label count does not match.\n"},
             {"L,R,C,M", "Label count does not match.\n"}}) {
        const auto outcome = runWith({"--apply-labels", path, labels});
        EXPECT_EQ(outcome.status, 1) << labels;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, message);
        EXPECT_EQ(readFile(path), before);
        EXPECT_FALSE(std::filesystem::exists(path + ".lanemark-backup")) << labels;
    }
    EXPECT_EQ(runWith({"--apply-labels", (dir / "absent.mov").string(), "L,Q"}).err, "Unknown channel label \"Q" + use);
}

// Restoring: the movie as the backup recorded it, whatever happened since.

TEST_F(CommandLine, RestorePutsBackAnEditThatGrewTheMetadata) {
    // Mono-tag layouts grow by 20 bytes each when labelled; the name is not UTF-8.
    const auto path = dir / "Take \xff.mov";
    writeFile(path, movie(moov({soundTrack(lpcm(2, 1, {chan(chanMono())})), soundTrack(monoPcm(42))})));
    const auto original = readFile(path);
    EXPECT_EQ(runWith({"--apply-labels", path, "L,R"}).out, "Saved and verified\n");
    ASSERT_GT(readFile(path).size(), original.size());
    const auto backup = readFile(backupLocation(path));
    for (int run = 0; run < 2; ++run) {
        const auto restored = runWith({"--restore", path});
        EXPECT_EQ(restored.status, 0);
        EXPECT_EQ(restored.out, "Restored and verified\n");
        EXPECT_EQ(readFile(path), original);
        EXPECT_EQ(readFile(backupLocation(path)), backup);
    }
}

TEST_F(CommandLine, RestoreAfterATornWrite) {
    const std::string path = movieWith({1, 2, 3, 4});
    const auto original = readFile(path);
    runWith({"--apply-labels", path, "M,M,M,M"});
    const auto offset = readBackup(path + ".lanemark-backup").offset;
    {
        File torn(path, File::Mode::update);
        const auto half = (torn.length() - offset) / 2;
        torn.writeAt(offset, zeros(half));
        torn.truncate(offset + half + 3);
    }
    EXPECT_EQ(runWith({"--restore", path}).out, "Restored and verified\n");
    EXPECT_EQ(readFile(path), original);
}

TEST_F(CommandLine, RestoreBeyondFourGigabytesTouchesNoMedia) {
    const auto path = dir / "large.mov";
    const Buffer metadata = moovWithLabels({42, 42});
    writeSparseMovie(path, (5ULL << 30) + 3, metadata);
    const auto size = std::filesystem::file_size(path);
    EXPECT_EQ(runWith({"--apply-labels", path, "Lt,Rt"}).out, "Saved and verified\n");
    EXPECT_EQ(runWith({"--restore", path}).out, "Restored and verified\n");
    const File restored(path, File::Mode::read);
    EXPECT_EQ(restored.length(), size);
    EXPECT_EQ(restored.readAt(size - metadata.size(), metadata.size() + 1), metadata);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_LT(std::uint64_t(info.st_blocks) * 512, 1ULL << 20) << "the media hole was written";
}

TEST_F(CommandLine, RestoreRefusesWithoutWritingAnything) {
    using Spoil = std::function<void(const std::filesystem::path& movie, BackupContents backup)>;
    const auto edited = [](std::function<void(BackupContents&)> change) -> Spoil {
        return [change](const std::filesystem::path& movie, BackupContents backup) {
            change(backup);
            writeBackupFile(backupLocation(movie), backup);
        };
    };
    const std::string damaged = "The metadata backup is damaged.\n";
    const std::string moved = "The movie no longer matches its backup. No changes were made.\n";
    const std::vector<std::tuple<std::string, Spoil, std::string>> cases{
        {"no backup", [](auto& movie, auto) { std::filesystem::remove(backupLocation(movie)); },
         "No metadata backup exists beside this movie.\n"},
        {"not a property list",
         [](auto& movie, auto) {
             writeFile(backupLocation(movie), {'b', 'p', 'l', 'i'});
         },
         damaged},
        {"a key missing", edited([](auto& backup) { backup.keys.pop_back(); }), damaged},
        {"metadata not a moov", edited([](auto& backup) { backup.metadata[4] = 'f'; }), damaged},
        {"moov size not its length", edited([](auto& backup) { backup.metadata[3] ^= 1; }), damaged},
        {"offset and length miss the size", edited([](auto& backup) { --backup.originalSize; }), damaged},
        {"another movie's", edited([](auto& backup) { backup.movieName = "other.mov"; }),
         "The metadata backup belongs to another movie.\n"},
        {"movie shorter than the offset",
         [](auto& movie, auto backup) { std::filesystem::resize_file(movie, backup.offset - 1); }, moved},
        {"media grew",
         [](auto& movie, auto) {
             writeFile(movie, build::movie(moovWithLabels({1, 2}), 72));
         },
         moved},
    };
    for (const auto& [what, spoil, message] : cases) {
        const std::filesystem::path path = movieWith({42, 42});
        std::filesystem::remove(backupLocation(path));
        ASSERT_EQ(runWith({"--apply-labels", path, "L,R"}).status, 0);
        spoil(path, readBackup(backupLocation(path)));
        const auto movieBefore = readFile(path);
        const bool hadBackup = std::filesystem::exists(backupLocation(path));
        const auto backupBefore = hadBackup ? readFile(backupLocation(path)) : Buffer{};
        const auto outcome = runWith({"--restore", path});
        EXPECT_EQ(outcome.status, 1) << what;
        EXPECT_EQ(outcome.out, "") << what;
        EXPECT_EQ(outcome.err, message) << what;
        EXPECT_EQ(readFile(path), movieBefore) << what;
        EXPECT_EQ(hadBackup ? readFile(backupLocation(path)) : Buffer{}, backupBefore) << what;
    }
}

}  // namespace
}  // namespace lanemark
