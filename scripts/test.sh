#!/usr/bin/env bash
# Builds Lanemark and runs every test: the suite (unit and interoperability
# tests), the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# a bounded fuzzing run, and a check of the Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test
jobs=$(nproc)

echo "== Test suite"
# Explicitly on: the demo configures the same folder without the tests, and the cache would keep that.
cmake -S . -B build -DLANEMARK_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs"

echo "== Test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DLANEMARK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j"$jobs"

echo "== Fuzzing the metadata parser for ${FUZZ_SECONDS:-60} s"
# The fuzzer drives only the core, so this build leaves the window out (and so keeps building without Qt working).
CXX=clang++-14 cmake -S . -B build-fuzz -DLANEMARK_FUZZ=ON -DLANEMARK_TESTS=OFF -DLANEMARK_SANITIZE=ON \
  -DLANEMARK_WINDOW=OFF
cmake --build build-fuzz -j"$jobs"
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
build-fuzz/fuzz/lanemark_fuzz_seeds "$corpus/seeds" "$corpus/backup-seeds"
mkdir -p "$corpus/found" "$corpus/backup-found"
build-fuzz/fuzz/lanemark_fuzz -max_total_time="${FUZZ_SECONDS:-60}" -max_len=65536 -print_final_stats=1 \
  -artifact_prefix="$corpus/" "$corpus/found" "$corpus/seeds"

echo "== Fuzzing the backup reader for ${FUZZ_SECONDS:-60} s"
build-fuzz/fuzz/lanemark_fuzz_backup -max_total_time="${FUZZ_SECONDS:-60}" -max_len=65536 -print_final_stats=1 \
  -artifact_prefix="$corpus/backup-" "$corpus/backup-found" "$corpus/backup-seeds"

echo "== The Debian package"
bash .ci/package-check.sh build-package

echo "== All tests passed"
