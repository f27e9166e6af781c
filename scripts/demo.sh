#!/usr/bin/env bash
# Builds Lanemark and inspects the bundled twelve-track sample movie.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target lanemark
echo "Labels of examples/twelve-tracks.mov:"
build/lanemark --inspect examples/twelve-tracks.mov
