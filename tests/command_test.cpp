#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "main/verbs.hpp"
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

TEST_F(CommandLine, AnythingButAVerbAndAPathStartsTheWindow) {
    const std::string path = movieWith({1});
    const std::optional<std::string> none;
    for (const auto& [arguments, movie] :
         std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>>{{{}, none},
                                                                                      {{"--inspect"}, none},
                                                                                      {{"--apply-preset"}, none},
                                                                                      {{path}, path},
                                                                                      {{"-platform"}, "-platform"},
                                                                                      {{path, "--inspect"}, none},
                                                                                      {{"--INSPECT", path}, none},
                                                                                      {{"-inspect", path}, none},
                                                                                      {{"--inspect=", path}, none}}) {
        const auto outcome = runWith(arguments);
        EXPECT_TRUE(outcome.window) << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.movie, movie) << ::testing::PrintToString(arguments);
        EXPECT_EQ(outcome.out, "");
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

}  // namespace
}  // namespace lanemark
