#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "metadata/tracks.hpp"

namespace lanemark {

inline constexpr const char* notEnoughMemoryToMeasure = "Not enough memory to measure this movie.";

// A program's loudness per ITU-R BS.1770-4 and EBU R128; none for a silent program.
struct Loudness {
    std::optional<double> integrated;  // LUFS
    std::optional<double> range;       // LU
    std::optional<double> truePeak;    // dBTP, the highest of the channels, the LFE included
};

// Measures one program with libebur128, which is loaded only when a program is
// first measured: the verbs that never measure do not pay for loading it.
// Each channel is weighted by its label: the LFE is left out, the surrounds take +1.5 dB.
class LoudnessMeter {
public:
    LoudnessMeter(const std::vector<ChannelLabel>& labels, double sampleRate);
    ~LoudnessMeter();
    LoudnessMeter(LoudnessMeter&& other) noexcept;
    LoudnessMeter& operator=(LoudnessMeter&&) = delete;
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // Interleaved frames, one value per channel each, full scale 1.
    void add(std::span<const double> frames);
    Loudness result() const;

    // About how many bytes a meter of `channels` channels at `sampleRate` holds:
    // the library keeps three seconds of every channel for the loudness range.
    static std::uint64_t memory(std::size_t channels, double sampleRate);

private:
    void* state_ = nullptr;
    std::size_t channels_ = 0;
};

}  // namespace lanemark
