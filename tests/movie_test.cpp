#include "metadata/movie.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <system_error>
#include <variant>

#include "platform/failure.hpp"
#include "metadata/outline.hpp"
#include "tests/support/builder.hpp"

namespace lanemark {
namespace {

using namespace build;

const std::string noPcm = "This movie has no PCM audio tracks. This file is outside the supported scope.";
const std::string mismatch =
    "A PCM track's channel layout does not match its channels. This file is outside the supported scope.";
const std::string notTrailing =
    "This version supports movies with one standard metadata block at the end. No changes were made.";

class MovieOpening : public ::testing::Test {
protected:
    std::filesystem::path write(const Buffer& data, std::string_view name = "movie.mov") {
        const auto path = dir / name;
        writeFile(path, data);
        return path;
    }

    // The sentence a full opening refuses the movie with; the lazy opening must say the same.
    std::string failure(const Buffer& data) {
        const auto path = write(data);
        const auto refusal = [&](auto open) -> std::string {
            try {
                open();
            } catch (const Failure& failure) {
                return failure.message();
            }
            return "opened";
        };
        const std::string full = refusal([&] { Movie movie(path); });
        EXPECT_EQ(refusal([&] { outlineMovie(path); }), full);
        EXPECT_EQ(readFile(path), data) << "opening must not write";
        return full;
    }

    TempDir dir;
};

// The file-level walk.

TEST_F(MovieOpening, FindsTheTrailingMetadata) {
    const Buffer metadata = moovWithLabels({1, 2, 3, 4});
    const Buffer data = movie(metadata, 1000);
    const Movie opened(write(data));
    EXPECT_EQ(opened.offset(), data.size() - metadata.size());
    EXPECT_EQ(opened.size(), data.size());
    EXPECT_EQ(opened.metadata(), Bytes(metadata));
    EXPECT_EQ(opened.labels(), labelled({1, 2, 3, 4}));
    ASSERT_EQ(opened.atoms().size(), 1u);
    EXPECT_EQ(opened.atoms()[0].type, "moov");
}

TEST_F(MovieOpening, RefusesFilesWithoutTrailingMetadata) {
    for (std::size_t n = 0; n <= 7; ++n)
        EXPECT_EQ(failure(zeros(n)), "No supported trailing movie metadata found.") << n;
    EXPECT_EQ(failure(join({atom("ftyp"), atom("mdat", zeros(8)), Buffer{1, 2, 3}})),
              "No supported trailing movie metadata found.");
    EXPECT_EQ(failure(join({atom("ftyp"), atom("mdat", zeros(8))})), "No supported trailing movie metadata found.");
}

TEST_F(MovieOpening, FindsOneMetadataBlockAnywhereAndRefusesTwoOrFragments) {
    const Buffer metadata = moovWithLabels({1});
    const Movie first(write(join({atom("ftyp"), metadata, atom("free"), atom("mdat", zeros(8))})));
    EXPECT_EQ(first.offset(), 8u);
    EXPECT_EQ(first.labels(), labelled({1}));
    EXPECT_EQ(failure(join({atom("ftyp"), metadata, atom("mdat", zeros(8)), metadata})), notTrailing);
    const Buffer extended =
        join({extendedHeader("moov", metadata.size() + 8), Buffer(metadata.begin() + 8, metadata.end())});
    EXPECT_EQ(failure(join({atom("ftyp"), extended})), notTrailing);
    const std::string fragmented = "Fragmented movies are not supported. No changes were made.";
    EXPECT_EQ(failure(join({metadata, atom("moof"), atom("mdat")})), fragmented);
    EXPECT_EQ(failure(movie(box("moov", {soundTrack(monoPcm(1)), atom("mvex")}))), fragmented);
}

TEST_F(MovieOpening, RefusesBrokenTopLevelStructure) {
    EXPECT_EQ(failure(join({atom("ftyp"), be32(100), Buffer{'m', 'd', 'a', 't'}, zeros(8)})),
              "Invalid movie structure.");
    for (std::uint32_t size : {2u, 7u})
        EXPECT_EQ(failure(join({be32(size), Buffer{'f', 'r', 'e', 'e'}})), "Invalid movie structure.") << size;
    EXPECT_EQ(failure(join({atom("ftyp"), extendedHeader("mdat", 12)})), "Invalid movie structure.");
    for (std::size_t tail : {0u, 4u, 7u}) {
        const Buffer truncated = join({atom("ftyp"), be32(1), Buffer{'m', 'd', 'a', 't'}, zeros(tail)});
        EXPECT_EQ(failure(truncated), "Incomplete extended header.") << tail;
    }
}

TEST_F(MovieOpening, StepsOverExtendedMediaBySixtyFourBitSize) {
    const Buffer metadata = moovWithLabels({5});
    const Buffer data = join({atom("ftyp"), extendedHeader("mdat", 16 + 40), zeros(40), metadata});
    const Movie opened(write(data));
    EXPECT_EQ(opened.offset(), 8u + 56u);
    EXPECT_EQ(opened.labels(), labelled({5}));
}

TEST_F(MovieOpening, MetadataRunningToTheEndIsRefusedByTheParser) {
    Buffer metadata = moovWithLabels({1});
    metadata[0] = metadata[1] = metadata[2] = metadata[3] = 0;
    EXPECT_EQ(failure(movie(metadata)), "Unsupported metadata atom size.");
}

TEST_F(MovieOpening, BoundsTheMetadataSize) {
    // Just under the limit passes the walk; the padding atom keeps it a valid tree.
    const Buffer tracks = soundTrack(monoPcm(1));
    auto sized = [&](std::uint64_t total) {
        const std::size_t padding = std::size_t(total - 8 - tracks.size() - 8);
        return box("moov", {tracks, atom("free", zeros(padding))});
    };
    const Movie opened(write(movie(sized(metadataLimit - 1))));
    EXPECT_EQ(opened.metadata().size(), metadataLimit - 1);
    EXPECT_EQ(failure(movie(sized(metadataLimit))), notTrailing);
}

TEST_F(MovieOpening, ReportsPlatformErrorsOnOneLine) {
    try {
        Movie movie(dir / "missing\n.mov");
        FAIL() << "opened a missing file";
    } catch (const std::system_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot open \"" + (dir / "missing\\n.mov").string() + "\": No such file or directory");
    }
}

TEST_F(MovieOpening, RefusesAtOnceWhatIsNotARegularFile) {
    std::filesystem::create_directory(dir / "folder.mov");
    ASSERT_EQ(::mkfifo((dir / "pipe.mov").c_str(), 0600), 0);
    ::alarm(5);  // a pipe without a writer would hang the test instead of failing it
    for (const char* name : {"folder.mov", "pipe.mov"}) {
        try {
            Movie movie(dir / name);
            ADD_FAILURE() << "opened " << name;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.message(), notRegular);
        }
    }
    ::alarm(0);
}

TEST_F(MovieOpening, SaysWhenMemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer reserves more address space than the limit leaves";
#endif
    const auto path = write(movie(box("moov", {soundTrack(monoPcm(1)), atom("free", zeros(std::size_t{64} << 20))})));
    const auto openInLittleRoom = [&] {
        std::size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t room = pages * std::size_t(::sysconf(_SC_PAGESIZE)) + (std::size_t{16} << 20);
        const rlimit limit{room, room};
        ::setrlimit(RLIMIT_AS, &limit);
        try {
            Movie opened(path);
        } catch (const Failure& failure) {
            std::cerr << failure.message();
        }
        std::exit(1);
    };
    EXPECT_EXIT(openInLittleRoom(), ::testing::ExitedWithCode(1), "Not enough memory to open this movie\\.");
}

TEST_F(MovieOpening, PassesParseFailuresOn) {
    EXPECT_EQ(failure(movie(box("moov", {atom("stsd", zeros(4))}))), "Incomplete audio metadata.");
}

TEST_F(MovieOpening, LazyOpeningStepsOverSampleTablesAndNestsAsDeep) {
    const auto bytesRead = [] {
        std::ifstream io("/proc/self/io");
        std::string key;
        std::uint64_t value = 0;
        while (io >> key >> value)
            if (key == "rchar:") return value;
        return std::uint64_t{0};
    };
    const Buffer tables = box("trak", {box("mdia", {box("minf", {box("stbl", {atom("stco", zeros(16 << 20))})})})});
    const auto path = write(movie(moov({soundTrack(monoPcm(3)), tables})));
    const auto before = bytesRead();
    EXPECT_EQ(outlineMovie(path).labels, std::vector<ChannelLabel>{3});
    EXPECT_LT(bytesRead() - before, 1u << 20);
    EXPECT_EQ(Movie(path).labels(), std::vector<ChannelLabel>{3});
    // Raw video is no PCM description, however short.
    const Buffer rawVideo = moov({track("vide", stsd({atom("raw ", zeros(4))})), soundTrack(monoPcm(2))});
    EXPECT_EQ(outlineMovie(write(movie(rawVideo))).labels, std::vector<ChannelLabel>{2});

    // The PCM entry of the innermost track is the first atom too deep from 58 enclosing tracks on.
    for (int depth = 56; depth <= 60; ++depth) {
        Buffer nested = soundTrack(monoPcm(1));
        for (int i = 0; i < depth; ++i) nested = box("trak", {nested});
        const auto refusal = failure(movie(moov({nested})));
        if (depth >= 58) {
            EXPECT_EQ(refusal, "Metadata nesting is too deep.") << depth;
        }
    }
}

// Track validation.

TEST(MovieValidation, EmptyListPasses) { EXPECT_NO_THROW(Movie::validate({})); }

std::string validationFailure(const Buffer& metadata) {
    try {
        Movie::validate(parse(Bytes(metadata)));
    } catch (const Failure& failure) {
        return failure.message();
    }
    return "valid";
}

TEST(MovieValidation, SampleDescriptionTables) {
    const std::string refused = "Unsupported sample descriptions.";
    EXPECT_EQ(validationFailure(moov({soundTrack(atom("mp4a", zeros(28)))})), refused);
    EXPECT_EQ(validationFailure(moov({track("soun", stsd({monoPcm(1), monoPcm(2)}))})), refused);
    EXPECT_EQ(validationFailure(moov({track("soun", stsd({monoPcm(1)}, 2))})), refused);
    EXPECT_EQ(validationFailure(moov({track("vide", stsd({atom("apcn"), atom("apcn")}))})), refused);
    EXPECT_EQ(validationFailure(moov({track("tmcd", stsd({atom("tmcd", zeros(20))}))})), "valid");
    EXPECT_EQ(validationFailure(moov({track("soun", stsd({}, 0))})), refused);
    EXPECT_EQ(validationFailure(moov({track("soun", stsd({}, 1))})), "valid");
}

TEST(MovieValidation, PcmDescriptions) {
    const std::string channelCount =
        "A PCM track must have from 1 to 65,535 channels. This file is outside the supported scope.";
    const std::string ambiguous = "PCM channel metadata is missing or ambiguous.";
    const Buffer wave = atom("wave", join({atom("frma", Buffer{'s', 'o', 'w', 't'}), zeros(8)}));
    for (auto type : pcmEntryTypes) {
        for (int version : {0, 1, 2}) {
            EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(version, 1, {wave, chan(chanMono())}, type))})), "valid")
                << type << version;
            EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(version, 0, {chan(chanMono())}, type))})), channelCount)
                << type << version;
        }
        EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(2, 65536, {}, type))})), channelCount) << type;
        EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(0, 2, {wave}, type))})), "valid") << type;
        EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(2, 1, {chan(chanMono()), chan(chanMono())}, type))})),
                  ambiguous)
            << type;
        // A "chan" nested deeper than the direct children does not count.
        EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(2, 1, {box("trak", {chan(zeros(4))})}, type))})), "valid")
            << type;
    }
    // Compressed entries are not looked into.
    EXPECT_EQ(validationFailure(moov({soundTrack(atom("ulaw", zeros(4)))})), "valid");
}

TEST(MovieValidation, VersionTwoReadsOnlyItsThirtyTwoBitCount) {
    Buffer description = lpcm(2, 1, {chan(chanMono())});
    description[8 + 16] = 0x00;
    description[8 + 17] = 0x07;
    EXPECT_EQ(validationFailure(moov({soundTrack(description)})), "valid");
}

TEST(MovieValidation, ChannelLayouts) {
    EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(2, 1, {chan(zeros(12))}))})), "Incomplete channel layout.");
    EXPECT_EQ(validationFailure(moov({soundTrack(lpcm(2, 1, {chan(zeros(16))}))})), "valid");
    // Elsewhere a "chan" is an opaque leaf.
    EXPECT_EQ(validationFailure(box("moov", {chan(zeros(4))})), "valid");
}

TEST(MovieValidation, FirstFaultInWalkOrderWins) {
    EXPECT_EQ(
        validationFailure(moov({soundTrack(atom("mp4a", zeros(28))), soundTrack(lpcm(0, 2, {chan(chanMono())}))})),
        "Unsupported sample descriptions.");
}

// Label collection.

TEST_F(MovieOpening, CollectsOneLabelPerTrackInOrder) {
    const std::vector<std::uint32_t> labels{1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 7, 65537};
    EXPECT_EQ(Movie(write(movie(moovWithLabels(labels)))).labels(), labelled(labels));
}

TEST_F(MovieOpening, ReadsEveryDescriptionVersionAndLayoutForm) {
    const Buffer metadata = moov({soundTrack(lpcm(0, 1, {chan(chanMono())})), soundTrack(monoPcm(6, 1)),
                                  soundTrack(lpcm(2, 1, {atom("esds"), chan(chanDescribing(3))})),
                                  soundTrack(lpcm(1, 1, {atom("wave"), chan(chanBody(0x10000, {}, 1))}, "in24")),
                                  soundTrack(lpcm(0, 1, {chan(chanBody(0x10000, {}, 1u << 10))}, "sowt")),
                                  soundTrack(lpcm(1, 1, {chan(chanBody(0x10000, {}, 1u << 17))}, "fl64"))});
    EXPECT_EQ(Movie(write(movie(metadata))).labels(), labelled({42, 6, 3, 1, 11, 18}));
}

TEST_F(MovieOpening, RefusesLayoutsThatDoNotNameOneChannel) {
    Buffer cut = chanDescribing(1);
    cut.pop_back();
    EXPECT_EQ(failure(movie(moov({soundTrack(lpcm(2, 1, {chan(cut)}))}))), mismatch);
    EXPECT_EQ(failure(movie(moov({soundTrack(lpcm(2, 1, {chan(chanBody(0, {1, 2}))}))}))), mismatch);
    EXPECT_EQ(failure(movie(moov({soundTrack(lpcm(2, 1, {chan(chanBody(0x650002, {}))}))}))), mismatch);
    // A bitmap names one channel only with exactly one bit set, among bits 0-17;
    // the labelled track ahead shows that the other entry is counted all the same.
    for (std::uint32_t bitmap : {0u, 0x3u, 1u << 18, (1u << 18) | 1u})
        EXPECT_EQ(failure(movie(moov({soundTrack(monoPcm(1)),
                                      soundTrack(lpcm(1, 1, {chan(chanBody(0x10000, {}, bitmap))}, "in24"))}))),
                  mismatch)
            << bitmap;
    // The bitmap counts only under its own tag.
    EXPECT_EQ(failure(movie(moov({soundTrack(lpcm(0, 1, {chan(chanBody(0x650002, {}, 1))}, "twos"))}))), mismatch);
    EXPECT_EQ(failure(movie(moov({videoTrack()}))), noPcm);
    // One good track does not carry another without a label.
    EXPECT_EQ(failure(movie(moov({soundTrack(monoPcm(1)), soundTrack(lpcm(2, 1, {chan(chanBody(7, {}))}))}))),
              mismatch);
}

TEST_F(MovieOpening, IgnoresLayoutsOutsidePcmDescriptions) {
    // A "chan" in an unopened sample entry is not seen; one on an opened level is.
    const Buffer hidden = moov({soundTrack(monoPcm(2)), track("soun", stsd({atom("ulaw", chan(chanMono()))}))});
    EXPECT_EQ(Movie(write(movie(hidden))).labels(), labelled({2}));
    const Buffer extra = box("moov", {soundTrack(monoPcm(2)), chan(chanMono())});
    EXPECT_EQ(Movie(write(movie(extra))).labels(), labelled({2}));
    // Uncompressed video shares the "raw " type with PCM audio, but not in a video track.
    const Buffer video = moov({videoTrack(rawVideoEntry()), soundTrack(monoPcm(3))});
    EXPECT_EQ(Movie(write(movie(video))).labels(), labelled({3}));
}

TEST_F(MovieOpening, ReadsEveryLayoutFormForOneAndSeveralChannels) {
    const std::optional<std::uint32_t> none;
    using Expected = std::variant<std::vector<std::optional<std::uint32_t>>, std::string>;
    for (const auto& [channels, extensions, expected] :
         std::vector<std::tuple<std::uint32_t, std::vector<Buffer>, Expected>>{
             {3, {chan(chanBody(0, {7, 65537, 2}))}, labelled({7, 65537, 2})},
             {2, {chan(chanBody(0, {1, 2, 3}))}, mismatch},
             {3, {chan(chanBody(0x10000, {}, 0x200003))}, labelled({1, 2, 49})},  // bits 0, 1 and 21
             {1, {chan(chanBody(0x10000, {}, 1u << 26))}, labelled({54})},
             {2, {chan(chanBody(0x10000, {}, 0x40001))}, mismatch},  // bit 18 is undefined
             {2, {chan(chanBody(0x10000, {}, 0x7))}, mismatch},
             {6, {chan(chanBody(0x790006, {}))}, labelled({1, 2, 3, 4, 5, 6})},
             {2, {chan(chanMono())}, mismatch},
             {4, {chan(chanBody(0x930004, {}))}, labelled({65536, 65537, 65538, 65539})},
             {2, {chan(chanBody(0xFFFF0002, {}))}, std::vector{none, none}},
             {1, {chan(chanBody(0xFFFF0001, {}))}, std::vector{none}},
             {2, {chan(chanBody(0x00FF0002, {}))}, mismatch},
             {1, {chan(chanBody(0x00FF0001, {}))}, mismatch},
             {3, {}, std::vector{none, none, none}},
             {2, {chan(chanMono()), chan(chanMono())}, "PCM channel metadata is missing or ambiguous."},
         }) {
        for (int version : {0, 1, 2}) {
            const Buffer data = movie(moov({soundTrack(lpcm(version, channels, extensions))}));
            if (const auto* labels = std::get_if<0>(&expected))
                EXPECT_EQ(Movie(write(data)).labels(), *labels) << channels << " channels, version " << version;
            else
                EXPECT_EQ(failure(data), std::get<1>(expected)) << channels << " channels, version " << version;
        }
    }
}

TEST_F(MovieOpening, DescribesEachPcmTrack) {
    // A 24-bit type in an older description names its width by its type, whatever its size field says.
    const Movie opened(write(movie(
        moov({soundTrack(lpcm(0, 2, {}, "sowt")), soundTrack(monoPcm(3)), soundTrack(lpcm(1, 6, {}, "in24"))}))));
    const auto described = [&](std::size_t i) {
        const auto& [id, sound, layout] = opened.tracks().at(i);
        return std::tuple(sound.entry, sound.version, sound.channels, sound.sampleRate, sound.bitsPerSample, layout);
    };
    EXPECT_EQ(described(0), std::tuple("sowt", 0u, 2u, 48000.0, 16u, std::nullopt));
    EXPECT_EQ(described(1), std::tuple("lpcm", 2u, 1u, 96000.0, 24u, std::vector<std::uint32_t>{3}));
    EXPECT_EQ(described(2), std::tuple("in24", 1u, 6u, 48000.0, 24u, std::nullopt));
}

}  // namespace
}  // namespace lanemark
