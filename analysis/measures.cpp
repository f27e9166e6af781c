#include "analysis/measures.hpp"

#include <cmath>
#include <numbers>

namespace lanemark {
namespace {

// -90 dBFS.
const double silenceLevel = std::pow(10.0, -90.0 / 20);
constexpr double highPassFrequency = 200;
// The share a channel with no energy at all above 200 Hz (a constant) reads: JSON has no minus infinity.
constexpr double noHighFrequencies = -200;

std::optional<double> decibels(double ratio, double factor) {
    if (!(ratio > 0)) return std::nullopt;
    return factor * std::log10(ratio);
}

// A sample's value for comparing: minus zero is zero.
double canonical(double value) { return value + 0.0; }

}  // namespace

ChannelMeter::ChannelMeter(double sampleRate, double fullScale) : fullScale_(fullScale) {
    // Without a band above 200 Hz there is nothing to share.
    filtered_ = sampleRate > 2 * highPassFrequency;
    if (!filtered_) return;
    // Two sections with the quality factors of a fourth-order Butterworth: 24 dB per octave.
    const double w = 2 * std::numbers::pi * highPassFrequency / sampleRate;
    const double qualities[2] = {1 / (2 * std::cos(std::numbers::pi / 8)), 1 / (2 * std::cos(3 * std::numbers::pi / 8))};
    for (int i = 0; i < 2; ++i) {
        const double alpha = std::sin(w) / (2 * qualities[i]), c = std::cos(w), a0 = 1 + alpha;
        Section& s = high_[i];
        s.b0 = (1 + c) / 2 / a0;
        s.b1 = -(1 + c) / a0;
        s.b2 = s.b0;
        s.a1 = -2 * c / a0;
        s.a2 = (1 - alpha) / a0;
    }
}

void ChannelMeter::add(const double* first, std::size_t count, std::size_t stride) {
    Section a = high_[0], b = high_[1];
    double peak = peak_, sum = sum_, squares = squares_, highSquares = highSquares_;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = first[i * stride];
        const double magnitude = std::fabs(x);
        peak = std::max(peak, magnitude);
        sum += x;
        squares += x * x;
        if (magnitude >= fullScale_) {
            ++fullScaleSamples_;
            if (++run_ >= clippingRun) clipped_ = true;
        } else {
            run_ = 0;
        }
        const double y1 = a.b0 * x + a.z1;
        a.z1 = a.b1 * x - a.a1 * y1 + a.z2;
        a.z2 = a.b2 * x - a.a2 * y1;
        const double y2 = b.b0 * y1 + b.z1;
        b.z1 = b.b1 * y1 - b.a1 * y2 + b.z2;
        b.z2 = b.b2 * y1 - b.a2 * y2;
        highSquares += y2 * y2;
    }
    high_[0] = a;
    high_[1] = b;
    peak_ = peak;
    sum_ = sum;
    squares_ = squares;
    highSquares_ = highSquares;
    count_ += count;
}

ChannelMeasures ChannelMeter::measures() const {
    ChannelMeasures measures;
    measures.peak = decibels(peak_, 20);
    measures.silent = peak_ < silenceLevel;
    measures.fullScaleSamples = fullScaleSamples_;
    measures.clipped = clipped_;
    if (count_ == 0) return measures;
    measures.rms = decibels(squares_ / double(count_), 10);
    measures.dcOffset = sum_ / double(count_);
    if (filtered_ && squares_ > 0) measures.highFrequencyShare = decibels(highSquares_ / squares_, 10).value_or(noHighFrequencies);
    return measures;
}

Likeness::Likeness(std::size_t channels, std::vector<std::vector<std::size_t>> groups) : signs_(channels, 0) {
    for (auto& group : groups)
        if (group.size() >= 2) classes_.push_back(std::move(group));
}

int Likeness::compare(std::span<const double> a, int signA, std::span<const double> b, int signB) const {
    // Each channel is compared with its first sound made positive, so that a channel
    // and its negation compare equal; the signs then tell the two apart.
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const double factorA = signA < 0 ? -1 : 1, factorB = signB < 0 ? -1 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double x = canonical(a[i] * factorA), y = canonical(b[i] * factorB);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::vector<Likeness::Pair> Likeness::pairs() const {
    std::vector<Pair> found;
    // Each channel is paired with the first of its class only: the rest follows, and
    // a thousand alike channels make a thousand findings, not half a million.
    for (const auto& members : classes_)
        for (std::size_t j = 1; j < members.size(); ++j)
            found.push_back({members[0], members[j], signs_[members[0]] != signs_[members[j]]});
    return found;
}

}  // namespace lanemark
