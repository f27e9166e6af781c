#!/usr/bin/env bash
# Builds Lanemark, inspects the bundled twelve-track sample movie, then applies
# the delivery preset to a copy of it and inspects the copy again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Only what deps.sh installs without --test: the tests need GoogleTest, which it leaves out.
cmake -S . -B build -DLANEMARK_TESTS=OFF
cmake --build build -j"$(nproc)" --target lanemark
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/twelve-tracks.mov "$work/"
set -x
build/lanemark --inspect examples/twelve-tracks.mov
build/lanemark --apply-preset "$work/twelve-tracks.mov"
build/lanemark --inspect "$work/twelve-tracks.mov"
ls -l "$work"
