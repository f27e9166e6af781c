// Parse and encode of large metadata trees, in memory, with no file access.

#include <benchmark/benchmark.h>

#include "bench/movies.hpp"
#include "metadata/atom.hpp"
#include "metadata/movie.hpp"

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

}  // namespace
}  // namespace lanemark

BENCHMARK_MAIN();
