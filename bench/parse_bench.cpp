// Parse and encode of large metadata trees, in memory, with no file access.

#include <benchmark/benchmark.h>

#include "bench/movies.hpp"
#include "metadata/atom.hpp"
#include "metadata/movie.hpp"
#include "metadata/rewrite.hpp"

namespace lanemark {
namespace {

Bytes shared(const build::Buffer& data) { return Bytes(std::vector<std::uint8_t>(data)); }

void ParseManyTracks(benchmark::State& state) {
    const Bytes data = shared(bench::manyTracks(std::size_t(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(parse(data));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
    state.counters["moov_bytes"] = double(data.size());
}
BENCHMARK(ParseManyTracks)->Arg(12)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

void encodeRepeatedly(benchmark::State& state, const std::vector<Atom>& atoms) {
    std::size_t size = 0;
    for (auto _ : state) {
        auto out = encode(atoms);
        size = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(size));
}

void EncodeManyTracks(benchmark::State& state) {
    encodeRepeatedly(state, parse(shared(bench::manyTracks(std::size_t(state.range(0))))));
}
BENCHMARK(EncodeManyTracks)->Arg(12)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// Opening in memory: parse, validate and collect, as Movie does after reading.
void OpenManyTracks(benchmark::State& state) {
    const Bytes data = shared(bench::manyTracks(std::size_t(state.range(0))));
    for (auto _ : state) {
        auto atoms = parse(data);
        Movie::validate(atoms);
        benchmark::DoNotOptimize(pcmTracks(atoms));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}
BENCHMARK(OpenManyTracks)->Arg(5000)->Unit(benchmark::kMicrosecond);

constexpr std::size_t hundredMiB = std::size_t(100) << 20;

void ParseLargeTables(benchmark::State& state) {
    const Bytes data = shared(bench::largeTables(hundredMiB));
    for (auto _ : state) benchmark::DoNotOptimize(parse(data));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
    state.counters["moov_bytes"] = double(data.size());
}
BENCHMARK(ParseLargeTables)->Unit(benchmark::kMillisecond);

void EncodeLargeTables(benchmark::State& state) {
    encodeRepeatedly(state, parse(shared(bench::largeTables(hundredMiB))));
}
BENCHMARK(EncodeLargeTables)->Unit(benchmark::kMillisecond);

// What a save does in memory with a 100 MiB moov: the preset written over
// twelve layouts, or twelve layouts added where there were none.
void saveInMemory(benchmark::State& state, const build::Buffer& metadata) {
    const auto atoms = parse(shared(metadata));
    const std::vector<std::uint32_t> labels{1, 2, 3, 4, 5, 6, 38, 39, 38, 39, 38, 39};
    for (auto _ : state) {
        std::size_t index = 0;
        benchmark::DoNotOptimize(encode(replace(atoms, labels, index)).data());
    }
}
void RelabelLargeTables(benchmark::State& state) { saveInMemory(state, bench::largeTables(hundredMiB)); }
void AddLayoutsLargeTables(benchmark::State& state) {
    saveInMemory(state, bench::largeTablesWithoutLayouts(hundredMiB));
}
BENCHMARK(RelabelLargeTables)->Unit(benchmark::kMillisecond);
BENCHMARK(AddLayoutsLargeTables)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lanemark

BENCHMARK_MAIN();
