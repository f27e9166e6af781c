#include "saving/backup.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/failure.hpp"
#include "saving/storage.hpp"
#include "tests/support/backup_reader.hpp"
#include "tests/support/builder.hpp"
#include "tests/support/privileges.hpp"

namespace lanemark {
namespace {

using namespace build;

std::size_t entries(const std::filesystem::path& dir) {
    return std::size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

class Backup : public ::testing::Test {
protected:
    std::filesystem::path writeMovie(std::string_view name = "Master.mov") {
        const auto path = dir / name;
        writeFile(path, movie(moovWithLabels({1, 2}), 300));
        return path;
    }

    std::string failureOf(const Movie& opened) {
        try {
            writeBackup(opened, *storage);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "written";
    }

    TempDir dir;
    Storage* storage = &systemStorage();
};

// Systems without unnamed files publish under a temporary name instead.
struct NamedOnly : Storage {
    std::optional<File> createUnnamed(const File&, const std::filesystem::path&) override { return std::nullopt; }
};

class EitherWay : public Backup, public ::testing::WithParamInterface<bool> {};

TEST(BackupLocation, AppendsToTheWholeFileName) {
    EXPECT_EQ(backupLocation("/a/b/Master.mov"), std::filesystem::path("/a/b/Master.mov.lanemark-backup"));
    EXPECT_EQ(backupLocation("Reel 3"), std::filesystem::path("Reel 3.lanemark-backup"));
}

TEST_F(Backup, RecordsTheMetadataWhereItSatAndTheFileLength) {
    const auto path = writeMovie();
    const Buffer original = readFile(path);
    writeBackup(Movie(path));
    const auto backup = readBackup(dir / "Master.mov.lanemark-backup");
    std::vector<std::string> keys = backup.keys;
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"digest", "metadata", "movieName", "offset", "originalSize", "proofDigest",
                                        "savedDigests", "savedRanges", "savedSize", "sectorSize", "splits"}));
    EXPECT_EQ(backup.digest, "XXH3-128");
    EXPECT_EQ(backup.sectorSize, 512u);
    EXPECT_EQ(backup.originalSize, original.size());
    EXPECT_EQ(backup.movieName, "Master.mov");
    EXPECT_EQ(backup.metadata, Buffer(original.begin() + std::ptrdiff_t(backup.offset), original.end()));
    EXPECT_EQ(entries(dir.path()), 2u) << "no temporary file is left behind";
}

TEST_F(Backup, NamesTheBareFileAlsoForRelativePaths) {
    writeMovie("Reel 3");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    writeBackup(Movie("Reel 3"));
    std::filesystem::current_path(previous);
    EXPECT_EQ(readBackup(dir / "Reel 3.lanemark-backup").movieName, "Reel 3");
}

TEST(BackupMovieName, KeepsUtf8AndReplacesEachUndecodableByte) {
    const auto replaced = [](std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) text += "\uFFFD";
        return text;
    };
    const std::string beyondBmp = "R\u00E9el \U0001F3AC.mov";
    const std::pair<std::string, std::string> rows[] = {
        {"Master.mov", "Master.mov"},
        {beyondBmp, beyondBmp},
        {std::string("\xFF\xFE") + "bad.mov", replaced(2) + "bad.mov"},
        {std::string("cut\xE2\x82"), "cut" + replaced(2)},  // a sequence cut short
        {"\xC0\xAF\xED\xA0\x80", replaced(5)},              // an overlong form, a surrogate
        {"\xF4\x90\x80\x80", replaced(4)},                  // beyond U+10FFFF
    };
    for (const auto& [name, expected] : rows)
        EXPECT_EQ(movieName(std::filesystem::path("/a") / name), expected) << name;
}

// The record as written, decoded by libplist.
BackupContents decodedRecord(std::uint64_t offset, std::uint64_t size, const Buffer& metadata,
                             const std::string& name) {
    const auto record = backupRecord(
        {.offset = offset, .originalSize = size, .metadata = metadata, .written = {metadata}, .savedSize = size}, name);
    Buffer bytes;
    for (const auto piece : record.pieces()) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return decodeBackup(bytes);
}

TEST(BackupRecord, DecodesAtEveryLengthOfTheMetadata) {
    for (const std::size_t length : {0, 14, 15, 16, 255, 256, 65535, 65536, 1 << 24}) {
        Buffer metadata(length);
        for (std::size_t i = 0; i < length; ++i) metadata[i] = std::uint8_t(i * 7 + i / 251);
        const auto record = backupRecord(
            {.offset = 1, .originalSize = 2, .metadata = metadata, .written = {metadata}, .savedSize = 2}, "M");
        EXPECT_EQ(record.pieces()[1].data(), metadata.data()) << "written from where it is";
        const auto backup = decodedRecord(3, 4, metadata, "Master.mov");
        EXPECT_EQ(backup.keys.size(), 11u);
        EXPECT_EQ(backup.metadata, metadata) << length;
        EXPECT_EQ(backup.movieName, "Master.mov") << length;
    }
}

TEST(BackupRecord, DecodesEveryIntegerWidthAndName) {
    const std::uint64_t numbers[] = {0,          255,  256, 65535, 65536, 0xFFFFFFFF, 1ULL << 32, (1ULL << 63) - 1,
                                     1ULL << 63, ~0ULL};
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
        const auto backup = decodedRecord(numbers[i], numbers[std::size(numbers) - 1 - i], {1, 2}, "M");
        EXPECT_EQ(backup.offset, numbers[i]);
        EXPECT_EQ(backup.originalSize, numbers[std::size(numbers) - 1 - i]);
    }
    const std::string names[] = {"Reel 3", "A delivery master with a long name.mov", "\U0001F3AC.mov",
                                 "R\u00E9el 3 \u2014 \U0001F3AC final \U0001F3B5 mix.mov",
                                 movieName(std::string("\xFF\xFE") + "bad.mov")};
    for (const auto& name : names) EXPECT_EQ(decodedRecord(1, 2, {1}, name).movieName, name);
}

// Only restores of backups made by earlier builds use it, so it is checked against the standard here.
TEST(BackupDigest, Sha256OfEarlierBackupsIsTheStandardOne) {
    Buffer counting(1020);  // more than one block, and a tail that needs a second padding block
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = std::uint8_t(i % 251);
    EXPECT_EQ(sha256(counting),
              (std::array<std::uint8_t, 32>{0xe8, 0xdf, 0x13, 0x7d, 0xb7, 0xcc, 0xa5, 0x43, 0x02, 0xc6, 0x71,
                                            0x5a, 0x7c, 0xd9, 0x87, 0xcb, 0x67, 0x52, 0xd4, 0xf9, 0x2a, 0xf1,
                                            0x9a, 0x24, 0xb7, 0x4c, 0x5f, 0xfd, 0xa8, 0x01, 0x4e, 0xca}));
}

TEST_F(Backup, StoresANameThatIsNotUtf8WithReplacementCharacters) {
    const std::string name = std::string("\xFF\xFE") + "bad.mov";
    writeBackup(Movie(writeMovie(name)));
    EXPECT_EQ(readBackup(dir / (name + ".lanemark-backup")).movieName, "\uFFFD\uFFFDbad.mov");
}

TEST_P(EitherWay, AnythingAtThePathRefusesTheEdit) {
    NamedOnly named;
    if (GetParam()) storage = &named;
    const Movie opened(writeMovie());
    const auto location = dir / "Master.mov.lanemark-backup";

    writeFile(location, Buffer{'m', 'i', 'n', 'e'});
    EXPECT_EQ(failureOf(opened), backupExists);
    EXPECT_EQ(readFile(location), (Buffer{'m', 'i', 'n', 'e'})) << "an existing backup is never replaced";
    std::filesystem::remove(location);

    std::filesystem::create_directory(location);
    EXPECT_EQ(failureOf(opened), backupExists);
    std::filesystem::remove(location);

    writeFile(dir / "elsewhere", {});
    std::filesystem::create_symlink(dir / "elsewhere", location);
    EXPECT_EQ(failureOf(opened), backupExists);
    std::filesystem::remove(location);

    // A link to nothing is still a name in use; publishing must not replace it.
    std::filesystem::create_symlink(dir / "nothing", location);
    EXPECT_EQ(failureOf(opened), backupExists);
    EXPECT_TRUE(std::filesystem::is_symlink(location));
    EXPECT_EQ(entries(dir.path()), 3u) << "the temporary file is removed";
}

INSTANTIATE_TEST_SUITE_P(Backup, EitherWay, ::testing::Bool());

TEST_F(Backup, KeepsOffsetsBeyondFourGigabytes) {
    const auto path = dir / "large.mov";
    const std::uint64_t media = (5ULL << 30) + 3;
    writeSparseMovie(path, media, moovWithLabels({1}));
    const Movie opened(path);
    writeBackup(opened);
    const auto backup = readBackup(backupLocation(path));
    EXPECT_EQ(backup.offset, opened.offset());
    EXPECT_GT(backup.offset, 1ULL << 32);
    EXPECT_EQ(backup.originalSize, opened.size());
}

TEST_F(Backup, ADirectoryWithoutWritePermissionLeavesNothingBehind) {
    const auto folder = dir / "locked";
    std::filesystem::create_directory(folder);
    const auto path = folder / "Master.mov";
    writeFile(path, movie(moovWithLabels({1}), 300));
    const Movie opened(path);
    giveToUnprivileged(dir.path());
    giveToUnprivileged(folder);
    ::chmod(folder.c_str(), 0555);
    const std::string outcome = asUnprivileged([&] { writeBackup(opened); });
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(outcome, "Cannot create a file in \"" + folder.string() + "\": Permission denied");
    EXPECT_EQ(entries(folder), 1u);
}

}  // namespace
}  // namespace lanemark
