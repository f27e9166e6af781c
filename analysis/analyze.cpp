#include "analysis/analyze.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <queue>
#include <span>
#include <thread>
#include <tuple>

#include "metadata/labels.hpp"
#include "metadata/movie.hpp"
#include "metadata/samples.hpp"
#include "platform/failure.hpp"
#include "platform/file.hpp"

namespace lanemark {
namespace {

// What measuring may hold above what opening holds, whatever the movie's length.
constexpr std::uint64_t memoryLimit = std::uint64_t(64) << 20;
// Reads of neighbouring chunks are joined up to this size.
constexpr std::size_t batchBytes = std::size_t(2) << 20;
// The frames of one channel decoded ahead of the others at most: a piece of a chunk.
constexpr std::uint64_t maxPieceFrames = 1 << 16, minPieceFrames = 16;
// The decoded frames that may wait for the loudness meters, and the least handed over at once.
constexpr std::size_t inFlightLimit = std::size_t(4) << 20, handoverBytes = std::size_t(1) << 20;
// The bytes of meters and bookkeeping each channel takes, buffers aside.
constexpr std::uint64_t channelState = 512;

constexpr std::array lfeLabels{4u, 37u};

bool isLfe(const ChannelLabel& label) { return label && std::ranges::find(lfeLabels, *label) != lfeLabels.end(); }

struct TrackState {
    const SampledTrack* sampled;
    ChunkCursor cursor;
    std::optional<Chunk> chunk;  // what is left of the chunk being planned
    std::uint64_t planned = 0;   // frames handed to a read
    std::uint64_t decoded = 0;
    std::size_t firstChannel = 0;  // counted from 0 across the movie
};

struct Piece {
    std::size_t track;
    std::uint64_t offset;
    std::uint64_t frames;
    std::size_t bytes;
};

std::optional<Chunk> nextWithFrames(ChunkCursor& cursor) {
    while (auto chunk = cursor.next())
        if (chunk->frames > 0) return chunk;
    return std::nullopt;
}

// Feeds the programs' loudness meters on worker threads, nearly all of the work:
// each worker owns some of the programs and gives each its blocks in order, so the
// results do not depend on the threads. At most `inFlightLimit` bytes wait for them.
class LoudnessWorkers {
public:
    using Blocks = std::vector<std::vector<double>>;  // one block of interleaved frames per program

    LoudnessWorkers(std::vector<LoudnessMeter>& meters, const std::vector<Program>& programs) : meters_(meters) {
        const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
        const std::size_t count = std::min<std::size_t>(threads, programs.size());
        owned_.resize(count);
        // The largest programs first, each to the worker with the fewest channels yet.
        std::vector<std::size_t> order(programs.size()), load(count, 0);
        for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
        std::ranges::stable_sort(order, std::greater<>(), [&](std::size_t p) { return programs[p].channels.size(); });
        for (const std::size_t p : order) {
            const auto least = std::size_t(std::ranges::min_element(load) - load.begin());
            owned_[least].push_back(p);
            load[least] += programs[p].channels.size();
        }
        queues_.resize(count);
        for (std::size_t w = 0; w < count; ++w) threads_.emplace_back([this, w] { work(w); });
    }
    ~LoudnessWorkers() {
        stop();
    }

    void add(Blocks blocks) {
        if (queues_.empty()) return;  // no program, nothing to measure
        std::size_t bytes = 0;
        for (const auto& block : blocks) bytes += block.size() * sizeof(double);
        auto batch = std::make_shared<Batch>(Batch{std::move(blocks), bytes, queues_.size()});
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return inFlight_ == 0 || inFlight_ + bytes <= inFlightLimit || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        inFlight_ += bytes;
        for (auto& queue : queues_) queue.push_back(batch);
        changed_.notify_all();
    }

    // Waits for every block to be measured; rethrows what stopped a worker.
    void finish() {
        stop();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    struct Batch {
        Blocks blocks;
        std::size_t bytes;
        std::size_t waiting;  // workers yet to measure it
    };

    void work(std::size_t worker) {
        for (;;) {
            std::shared_ptr<Batch> batch;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return !queues_[worker].empty() || done_; });
                if (queues_[worker].empty()) return;
                batch = std::move(queues_[worker].front());
                queues_[worker].pop_front();
            }
            try {
                for (const std::size_t p : owned_[worker]) meters_[p].add(batch->blocks[p]);
            } catch (...) {
                const std::lock_guard lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
            }
            const std::lock_guard lock(mutex_);
            if (--batch->waiting == 0) inFlight_ -= batch->bytes;
            changed_.notify_all();
        }
    }

    void stop() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
            changed_.notify_all();
        }
        for (auto& thread : threads_)
            if (thread.joinable()) thread.join();
    }

    std::vector<LoudnessMeter>& meters_;
    std::vector<std::vector<std::size_t>> owned_;
    std::vector<std::deque<std::shared_ptr<Batch>>> queues_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t inFlight_ = 0;
    bool done_ = false;
    std::exception_ptr failure_;
};

// One measuring of a movie: the tracks' read positions, every channel's meter, and
// the samples decoded but not yet measured against the other channels.
class Measuring {
public:
    Measuring(const File& file, const std::vector<SampledTrack>& tracks, const std::vector<ChannelLabel>& labels,
              const Progress& progress);
    MovieAnalysis run();

private:
    std::optional<Piece> plan();
    void decode(const Piece& piece, std::span<const std::uint8_t> data);
    void measureAligned();
    void handOver();

    const File& file_;
    const Progress& progress_;
    std::vector<TrackState> states_;
    std::vector<ChannelLabel> labels_;
    std::vector<double> rates_;
    std::vector<ChannelMeter> meters_;
    std::vector<std::vector<double>> pending_;  // each channel's samples from frame `aligned_` on
    std::vector<Program> programs_;
    std::vector<LoudnessMeter> loudness_;
    std::optional<LoudnessWorkers> workers_;
    std::optional<Likeness> likeness_;
    using Queued = std::tuple<std::uint64_t, std::uint64_t, std::size_t>;  // planned, offset, track
    std::priority_queue<Queued, std::vector<Queued>, std::greater<>> queue_;
    std::uint64_t pieceFrames_ = maxPieceFrames, aligned_ = 0, longest_ = 0, total_ = 0;
    std::vector<double> decoded_;
    LoudnessWorkers::Blocks blocks_;  // for the loudness meters, not yet handed over
    std::size_t blockBytes_ = 0;
    std::vector<std::uint8_t> buffer_;
};

Measuring::Measuring(const File& file, const std::vector<SampledTrack>& tracks, const std::vector<ChannelLabel>& labels,
                     const Progress& progress)
    : file_(file), progress_(progress), labels_(labels) {
    // Nothing is kept per channel before it is known that the channels' state fits.
    if (labels.size() * (channelState + minPieceFrames * 8 * 3) > memoryLimit) fail(tooMuchToMeasure);
    std::size_t channel = 0, widest = 0;
    std::uint64_t widestFrame = 0;
    std::map<std::uint64_t, std::vector<std::size_t>> sameLength;  // channels by their track's length
    for (const auto& track : tracks) {
        const auto& format = track.tables.format;
        states_.push_back({&track, ChunkCursor(track.tables), std::nullopt, 0, 0, channel});
        auto& group = sameLength[track.tables.frames];
        for (std::uint32_t c = 0; c < format.channels; ++c, ++channel) group.push_back(channel);
        rates_.insert(rates_.end(), format.channels, format.sampleRate);
        meters_.insert(meters_.end(), format.channels, ChannelMeter(format.sampleRate, fullScale(format)));
        widest = std::max<std::size_t>(widest, format.channels);
        widestFrame = std::max<std::uint64_t>(widestFrame, format.bytesPerFrame);
        longest_ = std::max(longest_, track.tables.frames);
        total_ += track.tables.bytes;
    }
    const std::uint64_t channels = std::max<std::size_t>(channel, 1);
    pieceFrames_ = std::clamp<std::uint64_t>((std::uint64_t(2) << 20) / (8 * channels), minPieceFrames, maxPieceFrames);
    programs_ = programsOf(labels_, rates_);
    std::uint64_t memory = channels * (channelState + pieceFrames_ * 8 * 3) + pieceFrames_ * widest * 8 +
                           std::max<std::uint64_t>(batchBytes, pieceFrames_ * widestFrame) + inFlightLimit + handoverBytes;
    for (const auto& program : programs_)
        memory += LoudnessMeter::memory(program.channels.size(), rates_[program.channels.front() - 1]);
    if (memory > memoryLimit) fail(tooMuchToMeasure);

    for (auto& state : states_) {
        state.chunk = nextWithFrames(state.cursor);
        if (state.chunk) queue_.emplace(0, state.chunk->offset, std::size_t(&state - states_.data()));
    }
    pending_.resize(channel);
    for (const auto& program : programs_) {
        std::vector<ChannelLabel> programLabels;
        for (auto c : program.channels) programLabels.push_back(labels_[c - 1]);
        loudness_.emplace_back(programLabels, rates_[program.channels.front() - 1]);
    }
    std::vector<std::vector<std::size_t>> groups;
    for (auto& [length, members] : sameLength) groups.push_back(std::move(members));
    likeness_.emplace(channel, std::move(groups));
    workers_.emplace(loudness_, programs_);
    decoded_.resize(pieceFrames_ * widest);
    buffer_.resize(std::max<std::uint64_t>(batchBytes, pieceFrames_ * widestFrame));
}

// The next piece to read: of the track furthest behind, so that the tracks stay
// within a piece of each other and their samples can be compared frame by frame.
std::optional<Piece> Measuring::plan() {
    if (queue_.empty()) return std::nullopt;
    const std::size_t index = std::get<2>(queue_.top());
    queue_.pop();
    TrackState& state = states_[index];
    const auto bytesPerFrame = state.sampled->tables.format.bytesPerFrame;
    const Piece piece{index, state.chunk->offset, std::min(state.chunk->frames, pieceFrames_),
                      static_cast<std::size_t>(std::min(state.chunk->frames, pieceFrames_) * bytesPerFrame)};
    state.planned += piece.frames;
    state.chunk->offset += piece.bytes;
    state.chunk->frames -= piece.frames;
    if (state.chunk->frames == 0) state.chunk = nextWithFrames(state.cursor);
    if (state.chunk) queue_.emplace(state.planned, state.chunk->offset, index);
    return piece;
}

void Measuring::handOver() {
    if (blockBytes_ == 0) return;
    workers_->add(std::move(blocks_));
    blocks_.clear();
    blockBytes_ = 0;
}

void Measuring::decode(const Piece& piece, std::span<const std::uint8_t> data) {
    TrackState& state = states_[piece.track];
    const auto& format = state.sampled->tables.format;
    const std::size_t channels = format.channels, frames = static_cast<std::size_t>(piece.frames);
    decodeFrames(format, data, decoded_);
    for (std::size_t c = 0; c < channels; ++c) {
        const std::size_t channel = state.firstChannel + c;
        meters_[channel].add(decoded_.data() + c, frames, channels);
        auto& pending = pending_[channel];
        const std::size_t start = pending.size();
        pending.resize(start + frames);
        for (std::size_t i = 0; i < frames; ++i) pending[start + i] = decoded_[i * channels + c];
    }
    state.decoded += piece.frames;
    measureAligned();
}

// Measures together what every channel has up to the track that is furthest behind:
// likeness between channels and the programs' loudness. A track that has ended adds
// silence to its programs.
void Measuring::measureAligned() {
    std::uint64_t frontier = std::numeric_limits<std::uint64_t>::max();
    for (const auto& state : states_)
        if (state.decoded < state.sampled->tables.frames) frontier = std::min(frontier, state.decoded);
    if (frontier == std::numeric_limits<std::uint64_t>::max()) frontier = longest_;
    if (frontier <= aligned_) return;
    const auto count = static_cast<std::size_t>(frontier - aligned_);
    const auto block = [&](std::size_t channel) {
        const auto& pending = pending_[channel];
        return std::span<const double>(pending.data(), std::min(count, pending.size()));
    };
    if (!likeness_->settled()) likeness_->refine(block);
    blocks_.resize(programs_.size());
    for (std::size_t p = 0; p < programs_.size(); ++p) {
        const auto& channels = programs_[p].channels;
        auto& interleaved = blocks_[p];
        const std::size_t start = interleaved.size();
        interleaved.resize(start + count * channels.size(), 0.0);
        for (std::size_t k = 0; k < channels.size(); ++k) {
            const auto samples = block(channels[k] - 1);
            for (std::size_t i = 0; i < samples.size(); ++i) interleaved[start + i * channels.size() + k] = samples[i];
        }
    }
    // Handed over in blocks of a few MiB: each handover may wait for a busy machine to wake a worker.
    blockBytes_ += count * labels_.size() * sizeof(double);
    if (blockBytes_ >= handoverBytes) handOver();
    for (auto& pending : pending_) pending.erase(pending.begin(), pending.begin() + std::min(count, pending.size()));
    aligned_ = frontier;
}

MovieAnalysis Measuring::run() {
    std::uint64_t done = 0;
    std::vector<Piece> batch;
    for (auto next = plan(); next;) {
        batch.assign(1, *next);
        std::size_t bytes = next->bytes;
        // Pieces that follow each other in the file are read at once.
        while ((next = plan()) && next->offset == batch.back().offset + batch.back().bytes &&
               bytes + next->bytes <= buffer_.size()) {
            batch.push_back(*next);
            bytes += next->bytes;
        }
        const std::span<std::uint8_t> data(buffer_.data(), bytes);
        if (file_.readInto(data, batch.front().offset) != bytes) fail(movieEndsEarly);
        std::size_t at = 0;
        for (const auto& piece : batch) {
            decode(piece, data.subspan(at, piece.bytes));
            at += piece.bytes;
        }
        done += bytes;
        if (progress_) progress_(done, total_);
    }
    measureAligned();  // tracks without a single frame
    handOver();
    workers_->finish();

    MovieAnalysis analysis;
    for (const auto& state : states_) {
        TrackAnalysis track{state.sampled->track.trackId, state.firstChannel + 1, {}};
        for (std::uint32_t c = 0; c < state.sampled->tables.format.channels; ++c)
            track.channels.push_back({labels_[state.firstChannel + c], meters_[state.firstChannel + c].measures()});
        analysis.tracks.push_back(std::move(track));
    }
    for (std::size_t p = 0; p < programs_.size(); ++p) analysis.programs.push_back({programs_[p], loudness_[p].result()});
    analysis.findings = findingsOf(analysis.tracks, likeness_->pairs());
    return analysis;
}

// "6 (Rs)", or "6" for a channel without a short label name.
std::string numbered(std::size_t channel, const ChannelLabel& label) {
    const auto name = label ? shortLabelName(*label) : std::nullopt;
    return std::to_string(channel) + (name ? " (" + *name + ")" : "");
}

// 1204 as "1,204".
std::string grouped(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

}  // namespace

std::vector<Program> programsOf(const std::vector<ChannelLabel>& labels, const std::vector<double>& sampleRates) {
    std::vector<Program> programs;
    for (std::size_t i = 0; i < labels.size();) {
        std::optional<Program> found;
        for (const std::size_t size : {8, 6, 2}) {
            if (found || labels.size() - i < size) continue;
            const auto first = labels.begin() + std::ptrdiff_t(i);
            const auto rate = sampleRates.begin() + std::ptrdiff_t(i);
            if (!std::all_of(rate, rate + std::ptrdiff_t(size), [&](double r) { return r == *rate; })) continue;
            const auto layout = layoutOf({first, first + std::ptrdiff_t(size)});
            if (!layout || *layout == "mono") continue;
            found = Program{{}, layout};
            for (std::size_t c = 0; c < size; ++c) found->channels.push_back(i + c + 1);
        }
        if (!found) found = Program{{i + 1}, std::nullopt};
        i += found->channels.size();
        programs.push_back(std::move(*found));
    }
    return programs;
}

std::vector<Finding> findingsOf(const std::vector<TrackAnalysis>& tracks, const std::vector<Likeness::Pair>& alike) {
    std::vector<Finding> findings;
    std::vector<const ChannelAnalysis*> channels;
    for (const auto& track : tracks)
        for (const auto& channel : track.channels) channels.push_back(&channel);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const auto& [label, measures] = *channels[i];
        const std::string name = "Channel " + numbered(i + 1, label);
        const auto share = measures.highFrequencyShare;
        if (measures.silent) findings.push_back({"silent", {i + 1}, name + " is silent."});
        if (!measures.silent && isLfe(label) && share && *share > -20)
            findings.push_back({"lfeFullRange", {i + 1}, name + " carries full-range sound."});
        if (!measures.silent && !isLfe(label) && share && *share < -30)
            findings.push_back({"lowFrequencyOnly", {i + 1}, name + " carries only low frequencies."});
        if (measures.clipped)
            findings.push_back(
                {"clipped", {i + 1}, name + " has " + grouped(measures.fullScaleSamples) + " samples at full scale."});
    }
    for (const auto& pair : alike) {
        if (pair.first >= channels.size() || pair.second >= channels.size()) continue;
        const auto& a = *channels[pair.first];
        const auto& b = *channels[pair.second];
        if (a.measures.silent || b.measures.silent) continue;
        const std::string first = numbered(pair.first + 1, a.label), second = numbered(pair.second + 1, b.label);
        if (pair.inverted)
            findings.push_back({"inverted", {pair.first + 1, pair.second + 1},
                                "Channel " + second + " is channel " + first + " inverted."});
        else
            findings.push_back({"identical", {pair.first + 1, pair.second + 1},
                                "Channels " + first + " and " + second + " are identical."});
    }
    return findings;
}

MovieAnalysis analyzeMovie(const std::filesystem::path& path, const Progress& progress) try {
    const Movie movie{path};
    const auto tracks = sampledTracks(movie.atoms(), movie.size());
    const File file(path, File::Mode::read);
    // The samples are read from the file whose tables were checked, whatever its name leads to now.
    if (file.identity() != movie.identity() || file.length() != movie.size()) fail(movieEndsEarly);
    Measuring measuring(file, tracks, movie.labels(), progress);
    return measuring.run();
} catch (const std::bad_alloc&) {
    fail(notEnoughMemoryToMeasure, FailureKind::outOfMemory);
}

}  // namespace lanemark
