#include "metadata/tracks.hpp"

#include <algorithm>
#include <bit>
#include <functional>

#include "platform/failure.hpp"
#include "metadata/layout_tables.hpp"
#include "metadata/movie.hpp"

namespace lanemark {
namespace {

constexpr std::uint32_t bitmapLayoutTag = 0x10000;
constexpr std::uint32_t monoLayoutTag = 0x640001;
// The reference tables give the mono tag a centre channel; Lanemark has always read it as Mono.
constexpr std::uint32_t monoLabel = 42;
constexpr std::uint32_t descriptionSize = 20;
// Every channel of a saved movie costs one description inside metadata below the size limit.
constexpr std::uint64_t channelLimit = metadataLimit / descriptionSize;

// The first direct child of `atom` of this type.
const Atom* child(const Atom& atom, std::string_view type) {
    if (!atom.children) return nullptr;
    const auto found = std::ranges::find(*atom.children, type, &Atom::type);
    return found == atom.children->end() ? nullptr : &*found;
}

std::optional<std::uint32_t> trackId(const Atom& trak) {
    const Atom* header = child(trak, "tkhd");
    if (!header || header->body.empty()) return std::nullopt;
    const bool wide = header->body[0] == 1;  // version 1 has 64-bit times
    if (header->body.size() < (wide ? 24u : 16u)) return std::nullopt;
    Reader reader(header->body, "Incomplete track header.");
    reader.skip(4);              // version and flags
    reader.skip(wide ? 16 : 8);  // creation and modification times
    return reader.u32();
}

std::vector<std::uint32_t> run(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint32_t> labels(count);
    for (std::uint32_t i = 0; i < count; ++i) labels[i] = first + i;
    return labels;
}

std::vector<std::uint32_t> bitmapOrder(std::uint32_t bitmap, const std::function<void()>& refuse) {
    std::vector<std::uint32_t> labels;
    for (unsigned bit = 0; bit < 32; ++bit) {
        if (!(bitmap >> bit & 1)) continue;
        if (bitmapLabels[bit] == 0) refuse();
        labels.push_back(bitmapLabels[bit]);
    }
    return labels;
}

// The labels of a layout tag of the tables, with "none" for a tag that names no positions.
std::optional<std::optional<std::vector<std::uint32_t>>> tagLabels(std::uint32_t tag) {
    if (tag == monoLayoutTag) return std::vector<std::uint32_t>{monoLabel};
    for (const auto& family : layoutFamilies)
        if ((tag & 0xFFFF0000) == family.base) {
            if (!family.firstLabel) return std::optional<std::vector<std::uint32_t>>();
            return run(*family.firstLabel, tag & 0xFFFF);
        }
    const auto found = std::ranges::lower_bound(layoutTags, tag, {}, &LayoutTag::tag);
    if (found == layoutTags.end() || found->tag != tag) return std::nullopt;
    const auto labels = layoutTagLabels.subspan(found->first, found->count);
    return std::vector<std::uint32_t>(labels.begin(), labels.end());
}

template <typename Each>
void walkEntries(const std::vector<Atom>& atoms, const std::optional<std::uint32_t>& id, bool video, Each& each) {
    for (const auto& atom : atoms) {
        const bool trak = atom.type == "trak";
        const auto innerId = trak ? trackId(atom) : id;
        const bool innerVideo = trak ? isVideoTrack(atom) : video;
        if (countsAsPcm(atom, video)) each(atom, id);
        if (atom.children) walkEntries(*atom.children, innerId, innerVideo, each);
    }
}

// The sample width that the older descriptions' entry type itself fixes: ffmpeg
// writes "in24" with a sample size field of 16, as the format's original
// readers expected, so for these types the field does not say it.
unsigned widthOfType(std::string_view type) {
    if (type == "in24") return 24;
    if (type == "in32" || type == "fl32") return 32;
    if (type == "fl64") return 64;
    if (type == "raw ") return 8;
    return 0;
}

}  // namespace

SoundDescription readSoundDescription(const Atom& entry) {
    SoundDescription sound;
    sound.entry = entry.type;
    Reader reader(entry.prefix, "Incomplete PCM description.");
    reader.skip(8);  // reserved and data reference index
    sound.version = reader.u16();
    reader.skip(6);  // revision level and vendor
    if (sound.version == 2) {
        reader.skip(16);  // fields fixed at the values older readers expect, and the structure size
        sound.sampleRate = std::bit_cast<double>(reader.u64());
        sound.channels = reader.u32();
        reader.skip(4);
        sound.bitsPerSample = reader.u32();
    } else {
        sound.channels = reader.u16();
        sound.bitsPerSample = reader.u16();
        reader.skip(4);  // compression ID and packet size
        sound.sampleRate = reader.u32() / 65536.0;
        if (const unsigned width = widthOfType(sound.entry)) sound.bitsPerSample = width;
    }
    return sound;
}

ChannelLayout readChannelLayout(const Bytes& body) {
    ChannelLayout layout;
    Reader reader(body, "Incomplete channel layout.");
    reader.skip(4);  // version and flags
    layout.tag = reader.u32();
    layout.bitmap = reader.u32();
    const std::uint32_t count = reader.u32();
    for (std::uint32_t i = 0; i < count && reader.has(descriptionSize); ++i) {
        layout.descriptions.push_back(reader.u32());
        reader.skip(descriptionSize - 4);  // flags and coordinates
    }
    layout.complete = layout.descriptions.size() == count;
    return layout;
}

Bytes encodeChannelLayout(const ChannelLayout& layout) {
    std::vector<std::uint8_t> body;
    body.reserve(16 + descriptionSize * layout.descriptions.size());
    const auto put = [&body](std::uint32_t value) {
        const auto field = bytes(value);
        body.insert(body.end(), field.begin(), field.end());
    };
    put(0);
    put(layout.tag);
    put(layout.bitmap);
    put(static_cast<std::uint32_t>(layout.descriptions.size()));
    for (const auto label : layout.descriptions) {
        put(label);
        body.resize(body.size() + descriptionSize - 4, 0);
    }
    return Bytes(std::move(body));
}

std::optional<std::vector<std::uint32_t>> channelLabels(const ChannelLayout& layout, std::uint32_t channels) {
    const auto refuse = [] { fail(layoutMismatch); };
    std::optional<std::vector<std::uint32_t>> labels;
    if (layout.tag == describedLayoutTag) {
        if (!layout.complete) refuse();
        labels = layout.descriptions;
    } else if (layout.tag == bitmapLayoutTag) {
        labels = bitmapOrder(layout.bitmap, refuse);
    } else {
        if ((layout.tag & 0xFFFF) != channels) refuse();
        auto known = tagLabels(layout.tag);
        if (!known) refuse();
        labels = std::move(*known);
    }
    if (labels && labels->size() != channels) refuse();
    return labels;
}

bool isVideoTrack(const Atom& trak) {
    const Atom* media = child(trak, "mdia");
    const Atom* handler = media ? child(*media, "hdlr") : nullptr;
    // Version and flags, then the component type, then the handler type.
    return handler && handler->body.size() >= 12 &&
           std::ranges::equal(handler->body.slice(8, 4), std::string_view("vide"));
}

bool countsAsPcm(const Atom& atom, bool inVideoTrack) { return !inVideoTrack && isPcmEntry(atom.type); }

std::vector<const Atom*> layoutAtoms(const Atom& entry) {
    std::vector<const Atom*> found;
    if (entry.children)
        for (const auto& atom : *entry.children)
            if (atom.type == "chan") found.push_back(&atom);
    return found;
}

std::vector<PcmTrack> pcmTracks(const std::vector<Atom>& atoms) {
    std::vector<PcmTrack> tracks;
    std::uint64_t channels = 0;
    auto each = [&](const Atom& entry, const std::optional<std::uint32_t>& id) {
        PcmTrack track{id, readSoundDescription(entry), std::nullopt};
        if (const auto layouts = layoutAtoms(entry); !layouts.empty())
            track.layout = channelLabels(readChannelLayout(layouts.front()->body), track.sound.channels);
        channels += track.sound.channels;
        if (channels > channelLimit) fail(tooManyChannels);
        tracks.push_back(std::move(track));
    };
    walkEntries(atoms, std::nullopt, false, each);
    return tracks;
}

std::vector<ChannelLabel> channelsOf(const std::vector<PcmTrack>& tracks) {
    std::vector<ChannelLabel> labels;
    for (const auto& track : tracks) {
        if (track.layout)
            labels.insert(labels.end(), track.layout->begin(), track.layout->end());
        else
            labels.resize(labels.size() + track.sound.channels);
    }
    return labels;
}

}  // namespace lanemark
