#pragma once

// The synthetic movies the benchmarks measure, shared by the Google Benchmark
// binary and the generator that writes them as files for bench/run.sh.

#include <cstddef>
#include <cstdint>

#include "tests/support/builder.hpp"

namespace lanemark::bench {

// A "moov" with a video track and `tracks` mono PCM tracks labelled mono.
build::Buffer manyTracks(std::size_t tracks);

// A twelve-track "moov" of about `bytes` in all, nearly all of it the sample
// size and chunk offset tables of the first sound track, as a long recording
// with one sample per entry would have. Every sound track's "chan" has the body `layout`.
build::Buffer largeTables(std::size_t bytes, const build::Buffer& layout = build::chanDescribing(42));

// The same "moov" and of the same size, but its twelve tracks carry no "chan":
// a "free" atom stands for the twelve 44-byte layouts a save appends.
build::Buffer largeTablesWithoutLayouts(std::size_t bytes);

// A twelve-track "moov" of about `bytes`, each sound track with its own share of
// the tables, as a master's tracks of one length have.
build::Buffer masterTables(std::size_t bytes);

}  // namespace lanemark::bench
