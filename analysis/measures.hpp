#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lanemark {

// What the samples of one channel measure.
struct ChannelMeasures {
    std::optional<double> peak;  // dBFS; none for digital silence
    std::optional<double> rms;   // dBFS
    double dcOffset = 0;         // the mean, as a fraction of full scale
    std::uint64_t fullScaleSamples = 0;
    bool silent = true;  // no sample reaches -90 dBFS
    // The share of the energy above 200 Hz, in dB; none without energy to share.
    std::optional<double> highFrequencyShare;
    bool clipped = false;  // at least `clippingRun` consecutive samples at full scale
};

inline constexpr std::uint64_t clippingRun = 3;

// Accumulates the measures of one channel, a block of samples at a time.
class ChannelMeter {
public:
    // `fullScale`: the magnitude from which a sample counts as at full scale.
    ChannelMeter(double sampleRate, double fullScale);
    // `count` samples, `stride` values apart from `first`.
    void add(const double* first, std::size_t count, std::size_t stride);
    ChannelMeasures measures() const;

private:
    // One second-order section, transposed direct form II.
    struct Section {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double z1 = 0, z2 = 0;
    };
    bool filtered_ = false;
    Section high_[2];  // a fourth-order Butterworth high-pass at 200 Hz
    double fullScale_;
    double peak_ = 0, sum_ = 0, squares_ = 0, highSquares_ = 0;
    std::uint64_t count_ = 0, fullScaleSamples_ = 0, run_ = 0;
    bool clipped_ = false;
};

// Channels whose samples are all equal, or all negated, found by comparing the
// channels block by block as they are read; exact, and without holding them.
class Likeness {
public:
    // `groups`: the channels that may be alike (those of the same length).
    explicit Likeness(std::size_t channels, std::vector<std::vector<std::size_t>> groups);
    // The next block of every channel still in a class; the blocks of one class have one length.
    template <typename Block>
    void refine(Block block) {
        std::vector<std::vector<std::size_t>> next;
        for (auto& members : classes_) split(members, block, next);
        classes_ = std::move(next);
    }
    bool settled() const { return classes_.empty(); }

    struct Pair {
        std::size_t first, second;  // first < second
        bool inverted;
    };
    // Every channel of a class of alike channels with the first of it.
    std::vector<Pair> pairs() const;

private:
    template <typename Block>
    void split(std::vector<std::size_t>& members, Block& block, std::vector<std::vector<std::size_t>>& next);
    int compare(std::span<const double> a, int signA, std::span<const double> b, int signB) const;

    std::vector<std::vector<std::size_t>> classes_;
    std::vector<signed char> signs_;  // of each channel's first sample that is not zero; 0 before it
};

template <typename Block>
void Likeness::split(std::vector<std::size_t>& members, Block& block, std::vector<std::vector<std::size_t>>& next) {
    std::vector<std::span<const double>> blocks(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        blocks[i] = block(members[i]);
        auto& sign = signs_[members[i]];
        if (sign == 0)
            for (double value : blocks[i])
                if (value != 0) {
                    sign = value > 0 ? 1 : -1;
                    break;
                }
    }
    std::vector<std::size_t> order(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto less = [&](std::size_t a, std::size_t b) {
        return compare(blocks[a], signs_[members[a]], blocks[b], signs_[members[b]]) < 0;
    };
    std::ranges::stable_sort(order, less);
    for (std::size_t start = 0; start < order.size();) {
        std::size_t end = start + 1;
        while (end < order.size() && !less(order[start], order[end])) ++end;
        if (end - start >= 2) {
            std::vector<std::size_t> alike;
            for (std::size_t i = start; i < end; ++i) alike.push_back(members[order[i]]);
            std::ranges::sort(alike);
            next.push_back(std::move(alike));
        }
        start = end;
    }
}

}  // namespace lanemark
