#include "analysis/loudness.hpp"

#include <dlfcn.h>
#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "platform/failure.hpp"

namespace lanemark {
namespace {

// The few entries of libebur128 this program uses, found once in the loaded library.
struct Library {
    decltype(&ebur128_init) init = nullptr;
    decltype(&ebur128_destroy) destroy = nullptr;
    decltype(&ebur128_set_channel) setChannel = nullptr;
    decltype(&ebur128_add_frames_double) addFrames = nullptr;
    decltype(&ebur128_loudness_global) global = nullptr;
    decltype(&ebur128_loudness_range) range = nullptr;
    decltype(&ebur128_true_peak) truePeak = nullptr;
};

template <typename Entry>
void find(void* library, const char* name, Entry& entry) {
    entry = reinterpret_cast<Entry>(dlsym(library, name));
    if (!entry) fail("The loudness library " LANEMARK_EBUR128_SONAME " lacks " + std::string(name) + ".");
}

// Loaded on first use and kept until the process ends.
const Library& library() {
    static const Library loaded = [] {
        void* handle = dlopen(LANEMARK_EBUR128_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!handle) fail("The loudness library " LANEMARK_EBUR128_SONAME " cannot be loaded.");
        Library found;
        find(handle, "ebur128_init", found.init);
        find(handle, "ebur128_destroy", found.destroy);
        find(handle, "ebur128_set_channel", found.setChannel);
        find(handle, "ebur128_add_frames_double", found.addFrames);
        find(handle, "ebur128_loudness_global", found.global);
        find(handle, "ebur128_loudness_range", found.range);
        find(handle, "ebur128_true_peak", found.truePeak);
        return found;
    }();
    return loaded;
}

int channelType(const ChannelLabel& label) {
    switch (label.value_or(0)) {
        case 4:   // LFE
        case 37:  // LFE 2
            return EBUR128_UNUSED;
        case 5:   // Ls
        case 33:  // Rls
            return EBUR128_LEFT_SURROUND;
        case 6:   // Rs
        case 34:  // Rrs
            return EBUR128_RIGHT_SURROUND;
        default:
            // Weight 1; a channel alone too, which libebur128's dual mono would count twice.
            return EBUR128_CENTER;
    }
}

ebur128_state* stateOf(void* state) { return static_cast<ebur128_state*>(state); }

std::optional<double> finite(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

LoudnessMeter::LoudnessMeter(const std::vector<ChannelLabel>& labels, double sampleRate) : channels_(labels.size()) {
    const Library& ebur128 = library();
    constexpr int mode = EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_HISTOGRAM;
    ebur128_state* state =
        ebur128.init(static_cast<unsigned>(labels.size()), static_cast<unsigned long>(std::lround(sampleRate)), mode);
    if (!state) fail("The loudness of a program at this sample rate cannot be measured.");
    state_ = state;
    for (std::size_t i = 0; i < labels.size(); ++i)
        ebur128.setChannel(state, static_cast<unsigned>(i), channelType(labels[i]));
}

LoudnessMeter::~LoudnessMeter() {
    if (!state_) return;
    auto* state = stateOf(state_);
    library().destroy(&state);
}

LoudnessMeter::LoudnessMeter(LoudnessMeter&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)), channels_(other.channels_) {}

void LoudnessMeter::add(std::span<const double> frames) {
    if (library().addFrames(stateOf(state_), frames.data(), frames.size() / channels_) != EBUR128_SUCCESS)
        fail(notEnoughMemoryToMeasure);
}

Loudness LoudnessMeter::result() const {
    const Library& ebur128 = library();
    double integrated = 0, range = 0, peak = 0;
    ebur128.global(stateOf(state_), &integrated);
    ebur128.range(stateOf(state_), &range);
    for (std::size_t i = 0; i < channels_; ++i) {
        double channelPeak = 0;
        ebur128.truePeak(stateOf(state_), static_cast<unsigned>(i), &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    Loudness loudness;
    loudness.integrated = finite(integrated);
    if (loudness.integrated) loudness.range = finite(range);
    if (peak > 0) loudness.truePeak = 20 * std::log10(peak);
    return loudness;
}

std::uint64_t LoudnessMeter::memory(std::size_t channels, double sampleRate) {
    // Three seconds of doubles for the range, and 100 ms four times over as floats for the true peak.
    const double perChannel = sampleRate * (3 * sizeof(double) + 0.4 * sizeof(float));
    return static_cast<std::uint64_t>(double(channels) * perChannel) + 16384;
}

}  // namespace lanemark
