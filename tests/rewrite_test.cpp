#include "metadata/rewrite.hpp"

#include <gtest/gtest.h>

#include "platform/failure.hpp"
#include "tests/support/builder.hpp"

namespace lanemark {
namespace {

using namespace build;

std::vector<Atom> tree(const Buffer& data) { return parse(Bytes(data)); }

std::string failureOf(const std::vector<Atom>& atoms, const std::vector<std::uint32_t>& labels) {
    std::size_t index = 0;
    try {
        replace(atoms, labels, index);
    } catch (const Failure& failure) {
        return failure.message();
    }
    return "replaced";
}

TEST(Replace, LeavesTreesWithoutPcmTracksAsTheyAre) {
    std::size_t index = 0;
    EXPECT_TRUE(replace({}, {1}, index).empty());
    // Neither uncompressed video nor a "chan" outside a sample entry is audio to label.
    const Buffer data = moov({videoTrack(), videoTrack(rawVideoEntry()), chan(chanMono())});
    EXPECT_EQ(encode(replace(tree(data), {1, 2}, index)), data);
    EXPECT_EQ(index, 0u);
}

TEST(Replace, GivesEachTrackOneLabelPerChannel) {
    const Buffer wave = atom("wave", join({atom("frma", Buffer{'t', 'w', 'o', 's'}), zeros(8)}));
    const auto atoms = tree(moov({soundTrack(lpcm(2, 6, {chan(chanBody(0x790006, {}))})),
                                  soundTrack(lpcm(1, 2, {wave, atom("esds")}, "twos")), soundTrack(lpcm(0, 1, {}))}));
    std::size_t index = 0;
    // A track without a layout gets one after all its other extensions.
    EXPECT_EQ(encode(replace(atoms, {1, 2, 3, 4, 5, 6, 38, 39, 42}, index)),
              moov({soundTrack(lpcm(2, 6, {chan(chanBody(0, {1, 2, 3, 4, 5, 6}))})),
                    soundTrack(lpcm(1, 2, {wave, atom("esds"), chan(chanBody(0, {38, 39}))}, "twos")),
                    soundTrack(lpcm(0, 1, {chan(chanDescribing(42))}))}));
    EXPECT_EQ(index, 9u);
    EXPECT_EQ(failureOf(atoms, {1, 2, 3, 4, 5, 6, 38, 39}), "Channel count changed.");
}

TEST(Replace, PlacesLabelsInWalkOrder) {
    const auto atoms = tree(moov({soundTrack(monoPcm(9)), soundTrack(monoPcm(9))}));
    std::size_t index = 0;
    EXPECT_EQ(encode(replace(atoms, {5, 6, 7}, index)), moov({soundTrack(monoPcm(5)), soundTrack(monoPcm(6))}));
    EXPECT_EQ(index, 2u);
    index = 1;
    EXPECT_EQ(encode(replace(atoms, {5, 6, 7}, index)), moov({soundTrack(monoPcm(6)), soundTrack(monoPcm(7))}));
    EXPECT_EQ(index, 3u);
}

TEST(Replace, RefusesMoreLayoutsThanLabels) {
    EXPECT_EQ(failureOf(tree(moov({soundTrack(monoPcm(1))})), {}), "Channel count changed.");
    EXPECT_EQ(failureOf(tree(moov({soundTrack(monoPcm(1)), soundTrack(monoPcm(2))})), {1}), "Channel count changed.");
}

TEST(Replace, WritesTheOneDescriptionFormAndResizesEveryAncestor) {
    const Buffer before = moov({soundTrack(lpcm(2, 1, {chan(chanMono())}))});
    const auto atoms = tree(before);
    std::size_t index = 0;
    const auto rewritten = replace(atoms, {65537}, index);
    EXPECT_EQ(encode(rewritten), moov({soundTrack(lpcm(2, 1, {chan(chanDescribing(65537))}))}));
    // moov, trak, mdia, minf, stbl, stsd, lpcm and chan each grow by 20 bytes.
    std::vector<std::pair<std::string, std::int64_t>> growth;
    std::vector<std::uint64_t> sizesBefore, sizesAfter;
    visit(atoms, [&](const Atom& atom) { sizesBefore.push_back(atom.encodedSize()); });
    visit(rewritten, [&](const Atom& atom) {
        sizesAfter.push_back(atom.encodedSize());
        growth.emplace_back(atom.type,
                            std::int64_t(sizesAfter.back()) - std::int64_t(sizesBefore[sizesAfter.size() - 1]));
    });
    for (const auto& [type, delta] : growth) {
        const bool onPath = type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl" ||
                            type == "stsd" || type == "lpcm" || type == "chan";
        EXPECT_EQ(delta, onPath ? 20 : 0) << type;
    }
}

TEST(Replace, DropsWhateverElseTheOldLayoutHeld) {
    Buffer body = chanBody(0, {3, 4});
    for (std::size_t i = 24; i < 36; ++i) body[i] = 0x3F;  // coordinates of the first description
    std::size_t index = 0;
    const auto rewritten = replace(tree(lpcm(0, 1, {chan(body)})), {3}, index);
    EXPECT_EQ(encode(rewritten), lpcm(0, 1, {chan(chanDescribing(3))}));
    // A bitmap layout becomes a described one; the entry's type and other atoms stay.
    const Buffer wave = atom("wave", join({atom("frma", Buffer{'i', 'n', '2', '4'}), zeros(8)}));
    const auto entry = tree(lpcm(1, 1, {wave, chan(chanBody(0x10000, {}, 1u << 4))}, "in24"));
    index = 0;
    EXPECT_EQ(encode(replace(entry, {5}, index)), lpcm(1, 1, {wave, chan(chanDescribing(5))}, "in24"));
}

TEST(Replace, KeepsTheOneDescriptionFormByteForByte) {
    const Buffer data = moovWithLabels({1, 2, 3});
    std::size_t index = 0;
    EXPECT_EQ(encode(replace(tree(data), {1, 2, 3}, index)), data);
}

TEST(Replace, LeavesTheTreeItWasGivenUnchanged) {
    const Buffer data = moov({soundTrack(lpcm(2, 1, {chan(chanMono())}))});
    const auto atoms = tree(data);
    std::size_t index = 0;
    replace(atoms, {1}, index);
    EXPECT_EQ(encode(atoms), data);
}

TEST(Replace, ReachesOnlyLayoutsOfPcmEntries) {
    const auto atoms = tree(box("moov", {chan(chanMono()), soundTrack(monoPcm(1))}));
    std::size_t index = 0;
    EXPECT_EQ(encode(replace(atoms, {4, 5}, index)), box("moov", {chan(chanMono()), soundTrack(monoPcm(4))}));
    EXPECT_EQ(index, 1u);
}

}  // namespace
}  // namespace lanemark
