#include "metadata/atom.hpp"

#include <gtest/gtest.h>

#include <random>

#include "platform/failure.hpp"
#include "tests/support/builder.hpp"

namespace lanemark {
namespace {

using namespace build;

Bytes asBytes(const Buffer& data) { return Bytes(data); }

std::string parseFailure(const Buffer& data) {
    try {
        parse(asBytes(data));
    } catch (const Failure& failure) {
        return failure.message();
    }
    return "parsed";
}

TEST(AtomParse, EmptyBufferGivesEmptyList) { EXPECT_TRUE(parse(Bytes()).empty()); }

TEST(AtomParse, RefusesShortOrOversizedHeaders) {
    for (std::size_t n = 1; n <= 7; ++n) {
        EXPECT_EQ(parseFailure(zeros(n)), "Incomplete metadata atom.") << n;
        EXPECT_EQ(parseFailure(join({atom("free"), zeros(n)})), "Incomplete metadata atom.") << n;
    }
    EXPECT_EQ(parseFailure(join({be32(0), Buffer{'f', 'r', 'e', 'e'}})), "Unsupported metadata atom size.");
    EXPECT_EQ(parseFailure(join({be32(1), Buffer{'f', 'r', 'e', 'e'}, be64(16)})), "Unsupported metadata atom size.");
    EXPECT_EQ(parseFailure(join({be32(13), Buffer{'f', 'r', 'e', 'e'}, zeros(4)})), "Unsupported metadata atom size.");
    EXPECT_EQ(parseFailure(join({be32(12), Buffer{'f', 'r', 'e', 'e'}, zeros(4)})), "parsed");
}

TEST(AtomParse, ReportsTheFirstFaultOfANestedLevel) {
    EXPECT_EQ(parseFailure(box("moov", {box("trak", {atom("tkhd"), zeros(4)})})), "Incomplete metadata atom.");
    EXPECT_EQ(parseFailure(atom("stsd", zeros(7))), "Incomplete audio metadata.");
}

TEST(AtomParse, OpensOnlyTheKnownContainers) {
    const auto atoms = parse(asBytes(join({atom("stbl"), atom("udta", atom("free")), atom("stsd", zeros(8))})));
    ASSERT_EQ(atoms.size(), 3u);
    ASSERT_TRUE(atoms[0].children.has_value());
    EXPECT_TRUE(atoms[0].children->empty());
    EXPECT_TRUE(atoms[0].prefix.empty());
    EXPECT_FALSE(atoms[1].children.has_value());
    EXPECT_EQ(atoms[1].body.size(), 8u);
    ASSERT_TRUE(atoms[2].children.has_value());
    EXPECT_TRUE(atoms[2].children->empty());
    EXPECT_EQ(atoms[2].prefix.size(), 8u);
}

TEST(AtomParse, OpensAContainerWhereverItStands) {
    const auto atoms = parse(asBytes(box("trak", {box("moov", {atom("mvhd")})})));
    ASSERT_TRUE(atoms[0].children->at(0).children.has_value());
    EXPECT_EQ(atoms[0].children->at(0).children->at(0).type, "mvhd");
}

TEST(AtomParse, PcmDescriptionPrefixFollowsItsVersion) {
    // ffmpeg's version-1 entries put a "wave" ahead of the "chan"; it stays a leaf.
    const Buffer wave = atom("wave", join({atom("frma", Buffer{'i', 'n', '2', '4'}), atom("enda", be16(1)), zeros(8)}));
    for (auto type : pcmEntryTypes) {
        for (int version : {0, 1, 2}) {
            const Buffer data = lpcm(version, 1, {wave, chan(chanMono())}, type);
            const auto atoms = parse(asBytes(data));
            const std::size_t expected[] = {28, 44, 64};
            EXPECT_EQ(atoms[0].prefix.size(), expected[version]) << type;
            ASSERT_EQ(atoms[0].children->size(), 2u) << type;
            EXPECT_FALSE(atoms[0].children->front().children.has_value()) << type;
            EXPECT_EQ(atoms[0].children->back().type, "chan") << type;
            EXPECT_EQ(atoms[0].encoded(), data) << type;
        }
        const auto bare = parse(asBytes(lpcm(0, 1, {}, type)));
        EXPECT_TRUE(bare[0].children->empty()) << type;
    }
}

TEST(AtomParse, RefusesMalformedPcmDescriptions) {
    for (auto type : pcmEntryTypes) {
        Buffer shortBody = zeros(27);
        shortBody[9] = 0;
        EXPECT_EQ(parseFailure(atom(type, shortBody)), "Incomplete PCM description.") << type;
        Buffer version3 = zeros(64);
        version3[9] = 3;
        EXPECT_EQ(parseFailure(atom(type, version3)), "Unsupported PCM description version.") << type;
        Buffer version1 = zeros(40);
        version1[9] = 1;
        EXPECT_EQ(parseFailure(atom(type, version1)), "Incomplete audio metadata.") << type;
        EXPECT_EQ(parseFailure(lpcm(0, 1, {chan(chanMono()), zeros(4)}, type)), "Incomplete metadata atom.") << type;
    }
    // Compressed entries stay leaves, whatever they hold.
    EXPECT_EQ(parseFailure(atom("mp4a", zeros(4))), "parsed");
}

TEST(AtomParse, NamesNonAsciiTypesButKeepsTheirBytes) {
    const std::uint8_t type[4] = {'m', 0xA9, 'x', 'y'};
    const Buffer data = rawAtom(type, atom("moov"));
    const auto atoms = parse(asBytes(data));
    EXPECT_EQ(atoms[0].type, "????");
    EXPECT_FALSE(atoms[0].children.has_value());
    EXPECT_EQ(atoms[0].encoded(), data);
}

TEST(AtomParse, BodiesAreViewsOfTheBufferAsRead) {
    const Bytes data(moovWithLabels({1, 2}));
    const auto atoms = parse(data);
    visit(atoms, [&](const Atom& atom) {
        EXPECT_GE(atom.body.data(), data.data()) << atom.type;
        EXPECT_LE(atom.body.end(), data.end()) << atom.type;
    });
}

TEST(AtomParse, RefusesNestingBeyondTheLimit) {
    Buffer nested = atom("free");
    for (int depth = 0; depth < maxNesting; ++depth) nested = box("trak", {nested});
    EXPECT_EQ(parseFailure(nested), "parsed");
    EXPECT_EQ(parseFailure(box("trak", {nested})), "Metadata nesting is too deep.");
    // Deep enough to overflow a recursive parser without the limit.
    Buffer deep;
    for (int depth = 0; depth < 100000; ++depth) deep.insert(deep.end(), {0, 0, 0, 0, 'm', 'o', 'o', 'v'});
    for (std::size_t i = 0; i < deep.size(); i += 8) {
        const auto size = be32(std::uint32_t(deep.size() - i));
        std::copy(size.begin(), size.end(), deep.begin() + std::ptrdiff_t(i));
    }
    EXPECT_EQ(parseFailure(deep), "Metadata nesting is too deep.");
}

TEST(AtomEncode, ComputesSizesFromTheContent) {
    Atom stbl("stbl", Bytes(zeros(100)), std::vector<Atom>{}, Bytes());
    EXPECT_EQ(stbl.encoded(), atom("stbl"));
    Atom lpcmAtom("lpcm", Bytes(), std::vector<Atom>{Atom("chan", Bytes(zeros(36)))}, Bytes(zeros(28)));
    EXPECT_EQ(lpcmAtom.encoded(), atom("lpcm", join({zeros(28), atom("chan", zeros(36))})));
    EXPECT_EQ(encode({Atom("free", Bytes()), Atom("skip", Bytes(zeros(2)))}),
              join({atom("free"), atom("skip", zeros(2))}));
}

TEST(AtomEncode, UsesTheTypeTextOnceItIsChanged) {
    const std::uint8_t type[4] = {0xFF, 0xFE, 0xFD, 0xFC};
    auto atoms = parse(Bytes(rawAtom(type)));
    atoms[0].type = "free";
    EXPECT_EQ(atoms[0].encoded(), atom("free"));
}

TEST(AtomValue, CopiesDoNotShareChanges) {
    const auto original = parse(Bytes(moovWithLabels({1})));
    auto copy = original;
    copy[0].children->clear();
    copy[0].type = "free";
    EXPECT_EQ(original[0].type, "moov");
    EXPECT_FALSE(original[0].children->empty());
}

TEST(AtomVisit, WalksParentsBeforeChildrenInOrder) {
    const auto atoms = parse(Bytes(box("moov", {box("trak", {box("mdia", {})}), box("trak", {})})));
    std::vector<std::string> seen;
    visit(atoms, [&](const Atom& atom) { seen.push_back(atom.type); });
    EXPECT_EQ(seen, (std::vector<std::string>{"moov", "trak", "mdia", "trak"}));
}

TEST(BigEndian, ReadsAndWritesThirtyTwoBits) {
    const Buffer data{0, 0, 1, 0};
    EXPECT_EQ(u32(data, 0), 256u);
    EXPECT_EQ(bytes(1), (std::array<std::uint8_t, 4>{0, 0, 0, 1}));
    EXPECT_EQ(bytes(0xFFFFFFFF), (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(u32(bytes(0x12345678), 0), 0x12345678u);
}

// Random trees of opened and leaf atoms, with arbitrary type bytes on leaves.
class TreeMaker {
public:
    explicit TreeMaker(std::uint32_t seed) : random_(seed) {}

    Buffer level(int depth) {
        std::vector<Buffer> atoms;
        const int count = pick(0, depth == 0 ? 3 : 4);
        for (int i = 0; i < count; ++i) atoms.push_back(one(depth));
        return join(atoms);
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    Buffer noise(std::size_t count) {
        Buffer out(count);
        for (auto& byte : out) byte = std::uint8_t(pick(0, 255));
        return out;
    }

    Buffer one(int depth) {
        static const char* containers[] = {"moov", "trak", "mdia", "minf", "stbl"};
        const int kind = depth > 5 ? 0 : pick(0, 3);
        if (kind == 0) {
            const Buffer type = noise(4);
            const std::uint8_t raw[4] = {type[0], type[1], type[2], type[3]};
            Buffer payload = noise(std::size_t(pick(0, 40)));
            if (isPcmEntry(std::string_view(reinterpret_cast<const char*>(raw), 4)) ||
                std::string_view(reinterpret_cast<const char*>(raw), 4) == "stsd")
                return atom("free", payload);
            for (const char* container : containers)
                if (std::equal(raw, raw + 4, container)) return atom("free", payload);
            return rawAtom(raw, payload);
        }
        if (kind == 1) return atom(containers[pick(0, 4)], level(depth + 1));
        if (kind == 2) return atom("stsd", join({noise(8), level(depth + 1)}));
        const int version = pick(0, 2);
        const std::size_t prefix[] = {28, 44, 64};
        Buffer head = noise(prefix[version]);
        head[8] = 0;
        head[9] = std::uint8_t(version);
        return atom(pcmEntryTypes[std::size_t(pick(0, int(pcmEntryTypes.size()) - 1))], join({head, level(depth + 1)}));
    }

    std::mt19937 random_;
};

TEST(AtomRoundTrip, EncodingAParsedBufferGivesItBackByteForByte) {
    TreeMaker maker(20261207);
    int nonTrivial = 0;
    for (int round = 0; round < 2000; ++round) {
        const Buffer data = maker.level(0);
        const auto atoms = parse(Bytes(data));
        nonTrivial += atoms.size() > 1;
        ASSERT_EQ(encode(atoms), data) << "round " << round;
    }
    EXPECT_GT(nonTrivial, 100);
}

}  // namespace
}  // namespace lanemark
