#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <fstream>
#include <functional>
#include <map>
#include <system_error>

#include "metadata/labels.hpp"
#include "platform/failure.hpp"
#include "saving/backup.hpp"
#include "saving/plan.hpp"
#include "saving/restore.hpp"
#include "saving/storage.hpp"
#include "tests/support/backup_reader.hpp"
#include "tests/support/builder.hpp"
#include "tests/support/privileges.hpp"

namespace lanemark {
namespace {

using namespace build;

const std::vector<std::uint32_t> delivery(preset.begin(), preset.end());
const std::string changed = "The file changed since opening. Reopen it before saving.";
const std::string notTrailing =
    "This version supports movies with one standard metadata block at the end. No changes were made.";

enum class Step {
    open,
    writeBackup,
    openForUpdate,
    write,
    setLength,
    synchronise,
    close,
    synchroniseBackup,
    synchroniseFolder
};

const char* nameOf(Step step) {
    static const char* names[] = {"open",  "writeBackup",       "openForUpdate",    "write", "setLength", "synchronise",
                                  "close", "synchroniseBackup", "synchroniseFolder"};
    return names[int(step)];
}

// The real file system, except that the n-th call of one step fails, another
// program may step in once right after a step, and unnamed files may be
// missing as on systems without them.
class FailingStorage : public Storage {
public:
    FailingStorage(Step step, int occurrence) : step_(step), occurrence_(occurrence) {}
    FailingStorage() = default;

    std::map<Step, std::function<void()>> meanwhile;
    bool unnamedFiles = true;

    MovieContents open(const std::filesystem::path& url) override {
        check(Step::open);
        MovieContents opened = Storage::open(url);
        meanwhileAfter(Step::open);
        return opened;
    }
    FileIdentity writeBackup(const std::filesystem::path& movie, const BackupRecord& record) override {
        check(Step::writeBackup);
        const FileIdentity published = Storage::writeBackup(movie, record);
        meanwhileAfter(Step::writeBackup);
        return published;
    }
    File openForUpdate(const std::filesystem::path& url) override {
        check(Step::openForUpdate);
        return Storage::openForUpdate(url);
    }
    void write(File& file, std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) override {
        check(Step::write);
        Storage::write(file, offset, pieces);
        meanwhileAfter(Step::write);
    }
    void setLength(File& file, std::uint64_t length) override {
        check(Step::setLength);
        Storage::setLength(file, length);
        meanwhileAfter(Step::setLength);
    }
    void synchronise(File& file) override {
        check(Step::synchronise);
        Storage::synchronise(file);
        meanwhileAfter(Step::synchronise);
    }
    void close(File& file) override {
        check(Step::close);
        Storage::close(file);
    }
    std::optional<File> createUnnamed(const File& folder, const std::filesystem::path& destined) override {
        return unnamedFiles ? Storage::createUnnamed(folder, destined) : std::nullopt;
    }
    void synchroniseBackup(File& backup) override {
        check(Step::synchroniseBackup);
        Storage::synchroniseBackup(backup);
        meanwhileAfter(Step::synchroniseBackup);
    }
    void synchroniseFolder(File& folder) override {
        check(Step::synchroniseFolder);
        Storage::synchroniseFolder(folder);
        meanwhileAfter(Step::synchroniseFolder);
    }

    static std::string messageFor(Step step) {
        return std::string("Injected failure of ") + nameOf(step) + ": Input/output error";
    }

private:
    void check(Step step) {
        if (++calls_[step] == occurrence_ && step == step_)
            throw std::system_error(EIO, std::generic_category(), std::string("Injected failure of ") + nameOf(step));
    }
    void meanwhileAfter(Step step) {
        if (auto other = meanwhile.extract(step)) other.mapped()();
    }

    std::optional<Step> step_;
    int occurrence_ = 0;
    std::map<Step, int> calls_;
};

// Another program relabelling the first track in place.
void relabelFirstTrack(const std::filesystem::path& path) {
    const Buffer data = readFile(path);
    const Buffer layout = chan(chanDescribing(1));
    const auto at = std::search(data.begin(), data.end(), layout.begin(), layout.end());
    ASSERT_NE(at, data.end());
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(at - data.begin() + 8 + 16 + 3);  // the label's last byte
    file.put(7);
}

std::size_t entries(const std::filesystem::path& dir) {
    return std::size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// Every way a save places the new metadata: at the end as it was, or in place
// of metadata that is not last, over free space after it, or moved to the end.
enum class Shape { trailingGrows, trailingShrinks, sameSize, smaller, intoFreeSpace, relocated, openEnded };

// Twelve mono tracks that the delivery preset makes 240 bytes longer, just as long, or 480 bytes shorter.
Buffer shaped(Shape shape) {
    const bool shrinks = shape == Shape::smaller || shape == Shape::trailingShrinks;
    const Buffer layout = shape == Shape::sameSize ? chanDescribing(42)
                          : shrinks                ? join({chanDescribing(9), zeros(40)})
                                                   : chanMono();
    const Buffer metadata = moov(std::vector<Buffer>(12, soundTrack(lpcm(2, 1, {chan(layout)}))));
    if (shape == Shape::trailingGrows || shape == Shape::trailingShrinks) return movie(metadata, 4096);
    // Moved to the end past an 'mdat' whose size field says it runs to the end of the file.
    if (shape == Shape::openEnded)
        return join(
            {atom("ftyp", zeros(12)), metadata, atom("wide"), be32(0), Buffer{'m', 'd', 'a', 't'}, zeros(4096)});
    const Buffer space = shape == Shape::intoFreeSpace ? atom("free", zeros(300)) : Buffer();
    return join({atom("ftyp", zeros(12)), metadata, space, atom("mdat", zeros(4096))});
}

class Saving : public ::testing::Test {
protected:
    // Twelve tracks: six in the one-description form, six with the 16-byte mono layout.
    std::filesystem::path twelveTracks(std::string_view name = "movie.mov") {
        std::vector<Buffer> tracks{videoTrack()};
        for (std::uint32_t label : {1, 2, 3, 4, 5, 6}) tracks.push_back(soundTrack(monoPcm(label)));
        for (int i = 0; i < 6; ++i) tracks.push_back(soundTrack(lpcm(2, 1, {chan(chanMono())})));
        return write(movie(moov(tracks), 4096), name);
    }

    std::filesystem::path write(const Buffer& data, std::string_view name = "movie.mov") {
        const auto path = dir / name;
        writeFile(path, data);
        return path;
    }

    std::string saveFailure(const Movie& opened, const std::vector<std::uint32_t>& labels, Storage& storage) {
        try {
            opened.save(labels, storage);
        } catch (const std::exception& error) {
            return error.what();
        }
        return "saved";
    }

    std::string saveFailure(const Movie& opened, const std::vector<std::uint32_t>& labels) {
        return saveFailure(opened, labels, systemStorage());
    }

    bool backedUp(const std::filesystem::path& movie) { return std::filesystem::exists(backupLocation(movie)); }

    TempDir dir;
};

// Successful saves.

TEST_F(Saving, WritesTheNewLabelsAndKeepsEverythingBeforeTheMetadata) {
    const auto path = twelveTracks();
    const Buffer before = readFile(path);
    const Movie opened(path);
    opened.save(delivery);
    const Buffer after = readFile(path);
    EXPECT_EQ(Movie(path).labels(), labelled(delivery));
    EXPECT_EQ(after.size(), before.size() + 6 * 20) << "six 16-byte layouts grow to 36 bytes";
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + std::ptrdiff_t(opened.offset()), after.begin()));
    EXPECT_EQ(Movie(path).offset(), opened.offset());
}

TEST_F(Saving, ShrinksTheFileWithLongerOldLayouts) {
    Buffer roomy = chanDescribing(9);
    roomy.resize(roomy.size() + 40, 0);
    const auto path = write(movie(moov({soundTrack(lpcm(2, 1, {chan(roomy)}))})));
    const auto before = readFile(path);
    Movie(path).save({1});
    EXPECT_EQ(readFile(path).size(), before.size() - 40);
    EXPECT_EQ(Movie(path).labels(), labelled({1}));
}

TEST_F(Saving, SameLabelsStillWriteABackupAndKeepTheLength) {
    const auto path = write(movie(moovWithLabels(delivery)));
    const auto before = readFile(path);
    Movie(path).save(delivery);
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(backedUp(path));
}

// The XXH3-128 of each cell of `bytes` from `from` to `to`, the cells ending at 512-byte boundaries and at `split`.
Buffer digestsFrom(const Buffer& bytes, std::size_t from, std::size_t to, std::size_t split = 0) {
    Buffer digests;
    for (std::size_t at = from, end; at < to; at = end) {
        end = std::min(to, (at / 512 + 1) * 512);
        if (at < split && split < end) end = split;
        XXH128_canonical_t digest;
        XXH128_canonicalFromHash(&digest, XXH3_128bits(bytes.data() + at, end - at));
        digests.insert(digests.end(), digest.digest, digest.digest + 16);
    }
    return digests;
}

TEST_F(Saving, TheBackupPutsTheMovieBackByHand) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    Movie(path).save(delivery);
    const auto backup = readBackup(backupLocation(path));
    EXPECT_EQ(backup.originalSize, before.size());
    const auto after = readFile(path);
    EXPECT_EQ(backup.savedRanges, join({be64(backup.offset), be64(after.size() - backup.offset)}));
    EXPECT_EQ(backup.savedDigests, digestsFrom(after, backup.offset, after.size(), before.size()));
    EXPECT_EQ(backup.savedSize, after.size());
    restoreFromBackup(path, backup);
    EXPECT_EQ(readFile(path), before);
}

TEST_F(Saving, AFailingCloseAfterSynchronisingLosesNothing) {
    const auto path = twelveTracks();
    FailingStorage storage(Step::close, 1);
    EXPECT_EQ(saveFailure(Movie(path), delivery, storage), "saved");
    EXPECT_EQ(Movie(path).labels(), labelled(delivery));
}

TEST_F(Saving, MoviesBeyondFourGigabytesNeverHaveTheirMediaTouched) {
    const auto path = dir / "large.mov";
    const std::uint64_t media = (6ULL << 30) + 5;
    writeSparseMovie(path, media, moovWithLabels({42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42, 42}));
    const Movie opened(path);
    EXPECT_GT(opened.offset(), 1ULL << 32);
    opened.save(delivery);
    EXPECT_EQ(Movie(path).labels(), labelled(delivery));
    const auto backup = readBackup(backupLocation(path));
    EXPECT_EQ(backup.offset, opened.offset());
    EXPECT_EQ(backup.originalSize, opened.size());
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_LT(std::uint64_t(info.st_blocks) * 512, 1ULL << 20) << "the media hole was written";
}

// Refusals before anything is written.

TEST_F(Saving, RefusesAWrongNumberOfLabels) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    const Movie opened(path);
    auto shorter = delivery;
    shorter.pop_back();
    EXPECT_EQ(saveFailure(opened, shorter), "Label count does not match.");
    auto longer = delivery;
    longer.push_back(1);
    EXPECT_EQ(saveFailure(opened, longer), "Label count does not match.");
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(backedUp(path));
}

TEST_F(Saving, RefusesAFileThatChangedSinceOpening) {
    const auto path = write(movie(moovWithLabels({1, 2})));
    const Movie opened(path);

    writeFile(path, movie(moovWithLabels({1, 3})));  // another program relabelled a track
    EXPECT_EQ(saveFailure(opened, {5, 6}), changed);
    EXPECT_EQ(readFile(path), movie(moovWithLabels({1, 3})));

    writeFile(path, movie(moovWithLabels({1, 2}), 1000));  // media inserted before the metadata
    EXPECT_EQ(saveFailure(opened, {5, 6}), changed);

    Buffer appended = movie(moovWithLabels({1, 2}));
    appended.push_back(0);
    writeFile(path, appended);
    EXPECT_EQ(saveFailure(opened, {5, 6}), changed);
    EXPECT_EQ(readFile(path), appended);

    writeFile(dir / "copy.mov", movie(moovWithLabels({1, 2})));  // the same bytes, but another file
    std::filesystem::rename(dir / "copy.mov", path);
    EXPECT_EQ(saveFailure(opened, {5, 6}), changed);

    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(saveFailure(opened, {5, 6}), notRegular);
    EXPECT_FALSE(backedUp(path));
}

TEST_F(Saving, LeavesLayoutsThatCarryNoTrackLabelAlone) {
    // The "chan" beside the tracks belongs to no sample entry: it is neither a label nor rewritten.
    const auto path = write(movie(box("moov", {chan(chanBody(7, {})), soundTrack(monoPcm(1))})));
    Movie(path).save({2});
    EXPECT_EQ(readFile(path), movie(box("moov", {chan(chanBody(7, {})), soundTrack(monoPcm(2))})));
}

TEST_F(Saving, ASecondEditCarriesTheBackupOn) {
    const auto path = twelveTracks();
    const auto original = readFile(path);
    const Movie first(path);
    first.save(delivery);

    EXPECT_EQ(saveFailure(first, delivery), changed) << "the old value describes the file before the save";
    auto other = delivery;
    other[0] = 2;
    Movie(path).save(other);
    EXPECT_EQ(Movie(path).labels(), labelled(other));
    restoreMovie(path);
    EXPECT_EQ(readFile(path), original);
    EXPECT_FALSE(backedUp(path));
}

// Failures while writing: the old metadata goes back.

using Fault = std::tuple<Shape, Step, int>;  // the step that fails, and its how-manyth call

class WriteFailure : public Saving, public ::testing::WithParamInterface<Fault> {};

TEST_P(WriteFailure, RestoresTheMovieByteForByte) {
    const auto [shape, step, occurrence] = GetParam();
    const auto path = write(shaped(shape));
    const auto before = readFile(path);
    FailingStorage storage(step, occurrence);
    EXPECT_EQ(saveFailure(Movie(path), delivery, storage), FailingStorage::messageFor(step));
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(backedUp(path));
}

// A kill after any step leaves the movie as it was, saved, or put back whole by its backup.
TEST_P(WriteFailure, AKillAfterTheStepLeavesARestorableMovie) {
    const auto [shape, step, occurrence] = GetParam();
    const auto path = write(shaped(shape));
    const auto before = readFile(path);
    FailingStorage storage;
    const std::function<void()> kill = [] { ::raise(SIGKILL); };
    storage.meanwhile[step] = occurrence == 1 ? kill : [&storage, step, kill] { storage.meanwhile[step] = kill; };
    EXPECT_EXIT(Movie(path).save(delivery, storage), ::testing::KilledBySignal(SIGKILL), "");
    restoreMovie(path);
    EXPECT_EQ(readFile(path), before);
}

const Fault faults[] = {{Shape::trailingGrows, Step::write, 1}, {Shape::trailingGrows, Step::synchronise, 1},
                        {Shape::trailingGrows, Step::open, 1},  {Shape::trailingShrinks, Step::setLength, 1},
                        {Shape::sameSize, Step::write, 1},      {Shape::smaller, Step::write, 1},
                        {Shape::intoFreeSpace, Step::write, 1}, {Shape::intoFreeSpace, Step::synchronise, 1},
                        {Shape::relocated, Step::write, 1},     {Shape::relocated, Step::synchronise, 1},
                        {Shape::relocated, Step::write, 2},     {Shape::relocated, Step::synchronise, 2},
                        {Shape::relocated, Step::open, 1},      {Shape::openEnded, Step::write, 1},
                        {Shape::openEnded, Step::write, 2},     {Shape::openEnded, Step::synchronise, 1},
                        {Shape::openEnded, Step::write, 3},     {Shape::openEnded, Step::synchronise, 2},
                        {Shape::openEnded, Step::open, 1}};

// A second save that fails at a step, or is killed after it, leaves the original to restore.
TEST_F(Saving, ASecondSaveFailedOrKilledAtAnyStepRestoresTheOriginal) {
    const std::pair<Shape, Step> steps[] = {
        {Shape::trailingShrinks, Step::write},      {Shape::trailingShrinks, Step::synchronise},
        {Shape::sameSize, Step::synchroniseBackup}, {Shape::sameSize, Step::synchroniseFolder},
        {Shape::intoFreeSpace, Step::open},         {Shape::relocated, Step::write}};
    for (const auto& [shape, step] : steps)
        for (const bool kill : {false, true}) {
            const auto path = write(shaped(shape), std::string(nameOf(step)) + (kill ? "-killed" : "") + ".mov");
            const auto original = readFile(path);
            Movie(path).save(delivery);
            FailingStorage storage(step, kill ? 0 : 1);
            const std::vector<std::uint32_t> nines(12, 9);
            if (kill) {
                storage.meanwhile[step] = [] { ::raise(SIGKILL); };
                EXPECT_EXIT(Movie(path).save(nines, storage), ::testing::KilledBySignal(SIGKILL), "");
            } else {
                EXPECT_EQ(saveFailure(Movie(path), nines, storage), FailingStorage::messageFor(step));
            }
            restoreMovie(path);
            EXPECT_EQ(readFile(path), original) << nameOf(step) << kill;
        }
}

INSTANTIATE_TEST_SUITE_P(EachStep, WriteFailure, ::testing::ValuesIn(faults));

// A last atom that runs to the end of the file would take in metadata appended after it: it is given its size
// first, which the backup puts back, unless that size needs more than 32 bits.
TEST_F(Saving, ALastAtomRunningToTheEndIsClosedBeforeTheMetadataMoves) {
    const auto path = write(shaped(Shape::openEnded));
    const auto before = readFile(path);
    const Movie opened(path);
    ASSERT_TRUE(opened.openEnd());
    opened.save(delivery);
    EXPECT_EQ(Movie(path).labels(), labelled(delivery));
    EXPECT_EQ(Movie(path).offset(), before.size());
    EXPECT_EQ(u32(readFile(path), std::size_t(*opened.openEnd())), before.size() - *opened.openEnd());
    restoreMovie(path);
    EXPECT_EQ(readFile(path), before);
    const auto large = write(before, "large.mov");
    std::filesystem::resize_file(large, 5ULL << 30);
    EXPECT_EQ(saveFailure(Movie(large), delivery), openEndTooLarge);
    EXPECT_FALSE(backedUp(large));
    EXPECT_EQ(Movie(large).openEnd(), opened.openEnd()) << "its size field is still 0";
}

// A write that lands otherwise than planned (a failing disk, another program) is read back and rolled back.
TEST_F(Saving, ABlockThatDiffersFromThePlanIsRolledBack) {
    for (const Shape shape : {Shape::trailingGrows, Shape::trailingShrinks, Shape::sameSize, Shape::smaller,
                              Shape::intoFreeSpace, Shape::relocated}) {
        const auto path = write(shaped(shape), "movie" + std::to_string(int(shape)) + ".mov");
        const auto before = readFile(path);
        // A byte of the new metadata's 'mvhd' (all zeros), which neither the labels nor the checks of opening read.
        const std::uint64_t at = (shape == Shape::relocated ? before.size() : Movie(path).offset()) + 60;
        FailingStorage storage;
        storage.meanwhile[Step::write] = [&] { File(path, File::Mode::update).writeAt(at, Buffer{0xFF}); };
        EXPECT_EQ(saveFailure(Movie(path), delivery, storage), "Verification failed.") << int(shape);
        EXPECT_EQ(readFile(path), before);
        EXPECT_TRUE(backedUp(path));
    }
}

TEST_F(Saving, ARestoreThatFailsAtAnyStepCanBeRunAgain) {
    for (const Step step : {Step::openForUpdate, Step::write, Step::setLength, Step::synchronise}) {
        const auto path = write(shaped(Shape::relocated), std::string(nameOf(step)) + ".mov");
        const auto before = readFile(path);
        Movie(path).save(delivery);
        FailingStorage storage(step, 1);
        EXPECT_THROW(restoreMovie(path, storage), std::system_error) << nameOf(step);
        restoreMovie(path);
        EXPECT_EQ(readFile(path), before);
    }
}

TEST_F(Saving, RunningOutOfMemoryIsRolledBackAndSaidSo) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    FailingStorage storage;
    storage.meanwhile[Step::write] = [] { throw std::bad_alloc(); };
    EXPECT_EQ(saveFailure(Movie(path), delivery, storage), "Not enough memory to save this movie.");
    EXPECT_EQ(readFile(path), before);
}

// The save reads its writes back in a small buffer, so a large movie saves in
// little more address space than its metadata takes once.
TEST_F(Saving, ALargeMovieSavesInLittleMoreMemoryThanItsMetadata) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here";
#else
    constexpr std::size_t large = 64 << 20;
    const auto path = write(movie(moov({atom("udta", zeros(large)), soundTrack(monoPcm(1))})));
    const auto saveWithinLimit = [&] {
        std::uint64_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlimit limit{pages * std::uint64_t(::getpagesize()) + large / 4 * 5 + (16 << 20), RLIM_INFINITY};
        ::setrlimit(RLIMIT_AS, &limit);
        Movie(path).save({2});
        std::exit(0);
    };
    EXPECT_EXIT(saveWithinLimit(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(Movie(path).labels(), labelled({2}));
#endif
}

// A failed step of making the backup leaves nothing beside the movie, whichever way the backup is made.

class BackupFailure : public Saving, public ::testing::WithParamInterface<std::tuple<Step, bool>> {};

TEST_P(BackupFailure, LeavesNoBackupAndTheNextEditSucceeds) {
    const auto [step, unnamed] = GetParam();
    const auto path = twelveTracks();
    const auto before = readFile(path);
    FailingStorage storage(step, 1);
    storage.unnamedFiles = unnamed;
    EXPECT_EQ(saveFailure(Movie(path), delivery, storage), FailingStorage::messageFor(step));
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(entries(dir.path()), 1u);
    Movie(path).save(delivery);
    EXPECT_EQ(Movie(path).labels(), labelled(delivery));
}

INSTANTIATE_TEST_SUITE_P(EachStep, BackupFailure,
                         ::testing::Combine(::testing::Values(Step::synchroniseBackup, Step::synchroniseFolder),
                                            ::testing::Bool()));

TEST_F(Saving, AKillWhileTheBackupIsMadeLeavesNothingBeside) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    FailingStorage storage;
    storage.meanwhile[Step::synchroniseBackup] = [] { ::raise(SIGKILL); };
    EXPECT_EXIT(Movie(path).save(delivery, storage), ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(entries(dir.path()), 1u);
}

TEST_F(Saving, ASaveKilledAtAnyWriteRestores) {
    // Every other 4 KiB page of the new metadata written, as a power cut may leave them, then the end.
    struct Torn : FailingStorage {
        void write(File& file, std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) override {
            Buffer data;
            for (const auto piece : pieces) data.insert(data.end(), piece.begin(), piece.end());
            for (std::uint64_t at = offset; at < offset + data.size(); at = (at / 4096 + 2) * 4096) {
                const auto end = std::min<std::uint64_t>(offset + data.size(), (at / 4096 + 1) * 4096);
                const std::span<const std::uint8_t> page(data.data() + (at - offset), end - at);
                Storage::write(file, at, std::span(&page, 1));
            }
            ::raise(SIGKILL);
        }
    } torn;
    std::vector<Buffer> tracks{videoTrack(), atom("udta", digestsFrom(zeros(50000), 0, 50000))};  // 13 blocks in all
    for (int i = 0; i < 12; ++i) tracks.push_back(soundTrack(lpcm(2, 1, {chan(chanMono())})));
    // The layouts grow, so the file is extended by the write itself and its length is not set.
    const Step steps[] = {Step::write, Step::write, Step::synchronise};
    for (int kill = 0; kill < 3; ++kill) {  // within the write, then after each step
        const auto path = write(movie(moov(tracks), 4096), "movie" + std::to_string(kill) + ".mov");
        const auto before = readFile(path);
        FailingStorage after;
        after.meanwhile[steps[kill]] = [] { ::raise(SIGKILL); };
        EXPECT_EXIT(Movie(path).save(delivery, kill == 0 ? torn : after), ::testing::KilledBySignal(SIGKILL), "");
        EXPECT_NE(readFile(path), before);
        restoreMovie(path);
        EXPECT_EQ(readFile(path), before) << kill;
    }
}

// Every state a power cut may leave: each 512-byte sector of an unsynchronised write on disk or not, each
// unsynchronised length change on disk or not, the backup's name on disk once its folder is synchronised.
// Each state is the movie as it was, or saved whole, or restores byte for byte.
struct Op {
    char kind = 'w';  // 'w'rite `bytes` at `at`, set the 'l'ength to `at`, 's'ynchronise, 'f'older naming `bytes`
    std::uint64_t at = 0;
    Buffer bytes;
};

struct Recording : FailingStorage {
    using FailingStorage::FailingStorage;
    void write(File& file, std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces) override {
        ops.push_back({'w', offset, {}});
        for (const auto piece : pieces) ops.back().bytes.insert(ops.back().bytes.end(), piece.begin(), piece.end());
        FailingStorage::write(file, offset, pieces);
    }
    void setLength(File& file, std::uint64_t length) override {
        ops.push_back({'l', length, {}}), FailingStorage::setLength(file, length);
    }
    void synchronise(File& file) override { ops.push_back({'s', 0, {}}), FailingStorage::synchronise(file); }
    void synchroniseFolder(File& folder) override {
        if (planted) return;  // the fault the enumeration must catch
        ops.push_back({'f', 0, readFile(backupLocation(movie))}), FailingStorage::synchroniseFolder(folder);
    }
    std::vector<Op> ops;
    std::filesystem::path movie;
    bool planted = false;
};

struct CrashStates {
    Buffer original, saved;
    std::filesystem::path path;  // where each state is checked
    int states = 0, wrong = 0;
    struct : Storage {
        void synchronise(File&) override {}
    } quick{};

    // Every subset of up to 8 pending sectors; of more, none, all and 48 at random; each at every length in play.
    void enumerate(const Buffer& durable, const std::vector<Op>& pending, const std::optional<Buffer>& backup) {
        std::vector<Op> sectors;
        std::vector<std::uint64_t> lengths{durable.size()};
        for (const auto& op : pending) {
            lengths.push_back(op.kind == 'l' ? op.at
                                             : std::max<std::uint64_t>(lengths.back(), op.at + op.bytes.size()));
            for (std::uint64_t at = op.at, end; at < op.at + op.bytes.size(); at = end) {
                end = std::min<std::uint64_t>(op.at + op.bytes.size(), (at / 512 + 1) * 512);
                sectors.push_back({'w', at, Buffer(&op.bytes[at - op.at], &op.bytes[0] + (end - op.at))});
            }
        }
        const std::size_t n = sectors.size(), count = n <= 8 ? std::size_t(1) << n : 50;
        for (std::size_t k = 0; k < count; ++k)
            for (const std::uint64_t length : lengths) {
                Buffer state = durable;
                state.resize(std::max<std::size_t>(state.size(), *std::ranges::max_element(lengths)));
                for (std::size_t i = 0; i < n; ++i)
                    if (n <= 8 ? k >> i & 1 : k < 2 ? k == 1 : std::rand() & 1)
                        std::ranges::copy(sectors[i].bytes, state.begin() + std::ptrdiff_t(sectors[i].at));
                state.resize(length);
                writeFile(path, state);
                std::filesystem::remove(backupLocation(path));
                if (backup) writeFile(backupLocation(path), *backup);
                bool restored = false;
                try {
                    if (backup) restoreMovie(path, quick), restored = true;
                } catch (const std::exception&) {
                }
                ++states;
                wrong += restored ? readFile(path) != original : state != original && state != saved;
            }
    }

    // The states at each point of `ops`, carried out from the movie `durable` with `backup` beside.
    void run(Buffer durable, std::optional<Buffer> backup, const std::vector<Op>& ops) {
        std::vector<Op> pending;
        for (std::size_t i = 0; i <= ops.size(); ++i) {
            enumerate(durable, pending, backup);
            if (i < ops.size() && ops[i].kind == 'f') backup = ops[i].bytes;
            if (i < ops.size() && (ops[i].kind == 'w' || ops[i].kind == 'l')) pending.push_back(ops[i]);
            if (i == ops.size() || ops[i].kind != 's') continue;
            for (const auto& op : pending) {
                durable.resize(op.kind == 'l' ? op.at : std::max<std::size_t>(durable.size(), op.at + op.bytes.size()));
                std::ranges::copy(op.bytes, durable.begin() + std::ptrdiff_t(op.at));
            }
            pending.clear();
        }
    }
};

// Recorded: a save, one rolled back, a restore (each of whose states is restored again), a save after a first
// one, and a save that skips the folder's synchronisation.
enum class Trace { save, rollback, restore, later, laterRollback, planted };

TEST_F(Saving, EveryCrashStateRestores) {
    std::vector<std::pair<Shape, Trace>> rows{
        {Shape::trailingGrows, Trace::rollback},  {Shape::relocated, Trace::rollback},
        {Shape::trailingShrinks, Trace::restore}, {Shape::relocated, Trace::restore},
        {Shape::smaller, Trace::restore},         {Shape::trailingShrinks, Trace::later},
        {Shape::intoFreeSpace, Trace::later},     {Shape::relocated, Trace::later},
        {Shape::relocated, Trace::laterRollback}, {Shape::trailingGrows, Trace::planted}};
    for (int shape = 0; shape <= int(Shape::relocated); ++shape) rows.emplace_back(Shape(shape), Trace::save);
    int states = 0, row = 0;
    for (const auto& [shape, run] : rows) {
        const auto path = write(shaped(shape), "movie" + std::to_string(++row) + ".mov");
        std::filesystem::create_directories(dir / std::to_string(row));
        CrashStates crash{readFile(path), {}, dir / std::to_string(row) / path.filename()};
        std::optional<Buffer> backup;
        if (run == Trace::restore || run == Trace::later || run == Trace::laterRollback)
            Movie(path).save(delivery), backup = readFile(backupLocation(path));
        const Buffer start = readFile(path);
        Recording recording(Step::open, run == Trace::rollback || run == Trace::laterRollback ? 1 : 0);
        recording.movie = path;
        recording.planted = run == Trace::planted;
        if (run == Trace::restore) restoreMovie(path, recording);
        if (run != Trace::restore) saveFailure(Movie(path), std::vector<std::uint32_t>(12, 9), recording);
        crash.saved = readFile(path);
        crash.run(start, backup, recording.ops);
        EXPECT_EQ(crash.wrong > 0, run == Trace::planted)
            << "row " << row << ": " << crash.wrong << " of " << crash.states;
        states += crash.states;
    }
    std::cout << states << " crash states checked\n";
}

// Another program at work on the path while the save runs.

TEST_F(Saving, AFileRenamedOrLinkedOntoThePathIsNeverWritten) {
    for (const bool link : {false, true}) {
        SCOPED_TRACE(link ? "symbolic link" : "rename");
        const auto path = twelveTracks(link ? "linked.mov" : "renamed.mov");
        const auto other = link ? write(Buffer(10 << 10, 7), "elsewhere.bin")
                                : write(movie(moovWithLabels(std::vector<std::uint32_t>(12, 42))), "same-layout.mov");
        const auto otherBytes = readFile(other);
        FailingStorage storage;
        storage.meanwhile[Step::synchroniseBackup] = [&] {
            if (!link) return std::filesystem::rename(other, path);
            std::filesystem::remove(path);
            std::filesystem::create_symlink(other, path);
        };
        EXPECT_EQ(saveFailure(Movie(path), delivery, storage), changed);
        EXPECT_EQ(readFile(link ? other : path), otherBytes);
    }
}

TEST_F(Saving, BytesAppendedDuringASaveOrARestoreStayAndItFails) {
    const Buffer theirs(333, 0xAB);
    for (const Step step : {Step::writeBackup, Step::write, Step::setLength}) {
        SCOPED_TRACE(nameOf(step));
        const auto shape = step == Step::setLength ? Shape::trailingShrinks : Shape::trailingGrows;  // sets the length
        const auto path = write(shaped(shape), std::string(nameOf(step)) + ".mov");
        const auto before = readFile(path);
        FailingStorage storage;
        storage.meanwhile[step] = [&] {
            std::ofstream(path, std::ios::app).write(reinterpret_cast<const char*>(theirs.data()), 333);
        };
        EXPECT_EQ(saveFailure(Movie(path), delivery, storage), changed);
        const auto after = readFile(path);
        // The old metadata goes back where it does not reach into their bytes.
        const auto kept = step == Step::setLength ? Movie(write(before, "copy.mov")).offset() : before.size();
        ASSERT_GE(after.size(), kept + theirs.size());
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + std::ptrdiff_t(kept), after.begin()));
        EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), after.end() - std::ptrdiff_t(theirs.size())));
        EXPECT_EQ(backedUp(path), step != Step::writeBackup) << "kept only once the movie was written";
    }
    for (const Shape shape : {Shape::sameSize, Shape::trailingShrinks}) {  // the length kept, then set
        const auto path = write(shaped(shape), "shape" + std::to_string(int(shape)) + ".mov");
        Movie(path).save(delivery);
        FailingStorage storage;
        storage.meanwhile[Step::write] = [&] { std::ofstream(path, std::ios::app) << "theirs"; };
        EXPECT_THROW(restoreMovie(path, storage), Failure);
        EXPECT_EQ(readFile(path).back(), 's');
    }
}

TEST_F(Saving, OtherLabelsReadBackAreRolledBack) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    FailingStorage storage;
    storage.meanwhile[Step::synchronise] = [&] { relabelFirstTrack(path); };
    EXPECT_EQ(saveFailure(Movie(path), delivery, storage), "Verification failed.");
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(backedUp(path));
}

TEST_F(Saving, MetadataGrowingPastTheLimitIsRefusedBeforeTheBackup) {
    // Growing the one layout by 20 bytes pushes the metadata past the size limit.
    const Buffer track = soundTrack(lpcm(2, 1, {chan(chanMono())}));
    const std::size_t padding = std::size_t(metadataLimit - 10 - 8 - track.size() - 8);
    const auto path = write(movie(box("moov", {track, atom("free", zeros(padding))})));
    const auto before = readFile(path);
    EXPECT_EQ(saveFailure(Movie(path), {1}), notTrailing);
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(backedUp(path));
}

TEST_F(Saving, AFailingRollbackReportsItsOwnErrorAndTheBackupStillRestores) {
    for (Step step : {Step::write, Step::setLength, Step::synchronise}) {
        SCOPED_TRACE(nameOf(step));
        const auto path = twelveTracks(std::string(nameOf(step)) + ".mov");
        const auto before = readFile(path);
        // The forward synchronise fails after the new metadata is in place; then the rollback's step fails.
        struct Twice : FailingStorage {
            // The forward synchronise below never reaches the counter, so the rollback's is its first.
            Twice(Step rollbackStep) : FailingStorage(rollbackStep, rollbackStep == Step::write ? 2 : 1) {}
            void synchronise(File& file) override {
                if (++syncs == 1)
                    throw std::system_error(EIO, std::generic_category(), "Injected failure of synchronise");
                FailingStorage::synchronise(file);
            }
            int syncs = 0;
        } storage(step);
        const std::string hint = ". lanemark --restore \"" + path.string() + "\" can bring the movie back.";
        EXPECT_EQ(saveFailure(Movie(path), delivery, storage), FailingStorage::messageFor(step) + hint);
        if (step != Step::synchronise) {
            EXPECT_NE(readFile(path), before) << "the rollback stopped before finishing";
        }
        restoreFromBackup(path, readBackup(backupLocation(path)));
        EXPECT_EQ(readFile(path), before);
    }
}

TEST_F(Saving, AFailingOpenForUpdateChangesNothing) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    FailingStorage storage(Step::openForUpdate, 1);
    EXPECT_EQ(saveFailure(Movie(path), delivery, storage), FailingStorage::messageFor(Step::openForUpdate));
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(backedUp(path));
}

// Permissions, checked as an unprivileged user.

TEST_F(Saving, AFolderWithoutWriteOrReadPermissionStopsAtTheBackup) {
    const auto folder = dir / "locked";
    std::filesystem::create_directory(folder);
    const auto path = twelveTracks("locked/movie.mov");
    const auto before = readFile(path);
    giveToUnprivileged(dir.path());
    giveToUnprivileged(folder);
    giveToUnprivileged(path);
    // Without read permission the folder cannot be synchronised, so no backup may be published in it.
    for (const auto& [mode, refusal] : {std::pair{0555, "Cannot create a file in"}, {0333, "Cannot open the folder"}}) {
        ::chmod(folder.c_str(), mode_t(mode));
        const auto outcome = asUnprivileged([&] { Movie(path).save(delivery); });
        ::chmod(folder.c_str(), 0755);
        EXPECT_EQ(outcome, std::string(refusal) + " \"" + folder.string() + "\": Permission denied");
        EXPECT_EQ(readFile(path), before);
        EXPECT_EQ(entries(folder), 1u);
    }
    EXPECT_EQ(asUnprivileged([&] { Movie(path).save(delivery); }), "succeeded");
}

TEST_F(Saving, AReadOnlyMovieStopsWhenOpenedForUpdating) {
    const auto path = twelveTracks();
    const auto before = readFile(path);
    giveToUnprivileged(dir.path());
    giveToUnprivileged(path);
    ::chmod(path.c_str(), 0444);
    const auto outcome = asUnprivileged([&] { Movie(path).save(delivery); });
    EXPECT_EQ(outcome, "Cannot open \"" + path.string() + "\": Permission denied");
    EXPECT_EQ(readFile(path), before);
    EXPECT_FALSE(backedUp(path));
}

}  // namespace
}  // namespace lanemark
