#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "metadata/atom.hpp"
#include "platform/bytes.hpp"

namespace lanemark {

// A channel's Core Audio label number, or none when its track does not say.
using ChannelLabel = std::optional<std::uint32_t>;

inline constexpr const char* noPcmTracks =
    "This movie has no PCM audio tracks. This file is outside the supported scope.";
inline constexpr const char* layoutMismatch =
    "A PCM track's channel layout does not match its channels. This file is outside the supported scope.";
inline constexpr const char* channelCountRefused =
    "A PCM track must have from 1 to 65,535 channels. This file is outside the supported scope.";
inline constexpr const char* tooManyChannels =
    "This movie has more PCM channels than its metadata could label. This file is outside the supported scope.";

// What a PCM sound sample description (version 0, 1 or 2) says about its samples.
struct SoundDescription {
    std::string entry;  // the sample entry type, such as "lpcm" or "sowt"
    unsigned version = 0;
    std::uint32_t channels = 0;
    double sampleRate = 0;
    std::uint32_t bitsPerSample = 0;
};

// The Core Audio channel layout a "chan" atom holds.
struct ChannelLayout {
    std::uint32_t tag = 0;
    std::uint32_t bitmap = 0;
    std::vector<std::uint32_t> descriptions;  // the label of each channel description
    bool complete = true;                     // false when the body ends before the descriptions it announces
};

// One PCM audio track: the track ID from its header, its sound description,
// and one label per channel, or none when it carries no layout or one that names no positions.
struct PcmTrack {
    std::optional<std::uint32_t> trackId;
    SoundDescription sound;
    std::optional<std::vector<std::uint32_t>> layout;
};

// The layout tag that says the channel descriptions give the layout.
inline constexpr std::uint32_t describedLayoutTag = 0;

SoundDescription readSoundDescription(const Atom& entry);
// Throws "Incomplete channel layout." for a body shorter than the layout header.
ChannelLayout readChannelLayout(const Bytes& body);
// The "chan" body of a layout: version and flags 0, each description with flags and coordinates 0.
Bytes encodeChannelLayout(const ChannelLayout& layout);
// The labels a layout gives a track of `channels` channels, or none when it names
// no positions; throws when it does not describe exactly that many channels.
std::optional<std::vector<std::uint32_t>> channelLabels(const ChannelLayout& layout, std::uint32_t channels);

// Whether a "trak" is a video track: its media handler ("hdlr" in "mdia") has the type "vide".
bool isVideoTrack(const Atom& trak);
// Whether `atom` is a PCM sample entry that counts, in a track that is or is not video.
bool countsAsPcm(const Atom& atom, bool inVideoTrack);
// The direct "chan" children of a PCM entry.
std::vector<const Atom*> layoutAtoms(const Atom& entry);

// The PCM tracks of a validated tree, in file order. Reads only the track
// headers, handlers and sample descriptions, so the other leaves may be empty.
std::vector<PcmTrack> pcmTracks(const std::vector<Atom>& atoms);

// Every channel of every track, in order.
std::vector<ChannelLabel> channelsOf(const std::vector<PcmTrack>& tracks);

}  // namespace lanemark
