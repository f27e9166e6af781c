#!/usr/bin/env bash
# Regenerates every figure of docs/benchmarks.md, on movies made by
# lanemark_bench_movies, and prints them as a Markdown report on standard
# output (progress goes to standard error):
#   1. the targets, for this checkout and optionally an earlier commit:
#      --apply-preset against the yardstick, --inspect against cat, peak
#      memory, independence from the file's size, remuxing (bench/timings.py);
#   2. the bytes each verb moves to and from the movie (strace);
#   3. ways of bringing a 100 MiB moov into memory;
#   4. parse and encode in memory (lanemark_bench);
#   5. --check and --report over a thousand masters, against ffprobe, MediaInfo
#      and cat, and what they read of a long master (bench/delivery.py);
#   6. a save at the physical limit: every place a save writes at 10 and 100 MiB
#      against its yardstick, peak memory, the start of a verb against /bin/true,
#      --inspect against cat (bench/limits.py);
#   7. --analyze against ffmpeg's ebur128 and astats on a master with video, what
#      it reads, and its peak memory at two lengths (bench/analyze.py).
#
# Usage: [BEFORE=COMMIT] [RUNS=N] bench/run.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR defaults to build-bench (configured here: Release, LANEMARK_BENCH=ON)
#   WORK_DIR  defaults to $TMPDIR/lanemark-bench; needs about 3 GB free
#   BEFORE    a commit to measure beside this checkout as "before"; its sources
#             are exported with git archive and built in WORK_DIR/before-COMMIT
#   RUNS      interleaved rounds per timing (default 31)
# Needs: python3, strace, GNU time (/usr/bin/time), ffmpeg, mediainfo, libbenchmark-dev, libebur128-dev.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
work=${2:-${TMPDIR:-/tmp}/lanemark-bench}
runs=${RUNS:-31}
before=${BEFORE:-}

say() { echo "== $*" >&2; }
configure() {
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DLANEMARK_BENCH=ON -DLANEMARK_TESTS=OFF >&2
}

say "building (Release) in $build"
configure "$root" "$build"
cmake --build "$build" -j"$(nproc)" >&2
lanemark=$build/lanemark
builds=()
if [ -n "$before" ]; then
    commit=$(git -C "$root" rev-parse --short "$before")
    source=$work/before-$commit
    say "building $commit (Release) in $source/build"
    if [ ! -x "$source/build/lanemark" ]; then
        rm -rf "$source"
        mkdir -p "$source"
        git -C "$root" archive "$commit" | tar -x -C "$source"
        configure "$source" "$source/build"
        cmake --build "$source/build" -j"$(nproc)" --target lanemark >&2
    fi
    builds+=("before=$source/build/lanemark")
fi
builds+=("after=$lanemark")

mkdir -p "$work"
say "writing benchmark movies into $work"
"$build/bench/lanemark_bench_movies" "$work" small sparse moov-1 moov-10 moov-100 bare-10 bare-100 first-10 first-100 \
    moved-10 moved-100 tracks-5000 master
[ -s "$work/real-1g.mov" ] || "$build/bench/lanemark_bench_movies" "$work" real
for movie in "$work"/*.mov; do python3 "$here/restore.py" "$movie"; done

echo "# Lanemark benchmark run"
echo
dirty=$(git -C "$root" diff --quiet HEAD || echo " (with uncommitted changes)")
echo "- date: $(date -u +%Y-%m-%dT%H:%MZ); after: $(git -C "$root" rev-parse --short HEAD)$dirty${before:+; before: $commit}"
echo "- machine: $(nproc) cores, $(sed -n 's/model name\s*: //p' /proc/cpuinfo | head -n1),"\
     "$(free -g | awk '/Mem:/ {print $2}') GiB memory, $(df -T "$work" | awk 'NR==2 {print $2}') file system;"\
     "$(uname -sr)"
echo "- Release builds; page cache warm (nothing is dropped)"
echo

# ---------------------------------------------------------------------------
say "1. targets, interleaved ($runs rounds)"
echo "## 1. Targets"
echo
python3 "$here/timings.py" "$work" "$root/examples/twelve-tracks.mov" "$runs" \
    "$build/bench/lanemark_yardstick" "${builds[@]}"

# ---------------------------------------------------------------------------
say "2. bytes moved"
# A field of bench/iobytes.py's JSON for one path (0 when the path was not touched).
io() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get(sys.argv[2], {}).get(sys.argv[3], 0))' "$@"; }
trace() { strace -f -y -s 0 -e trace=read,write,pread64,pwrite64,pwritev -o "$work/io.strace" "$@" >/dev/null; }

echo "## 2. Bytes moved to and from the movie"
echo
echo "Traced with \`strace -f -y -s 0 -e trace=read,write,pread64,pwrite64,pwritev\` and summed per file"
echo "by bench/iobytes.py, for the \"after\" build. Read limit: moov + 16 bytes per top-level atom for"
echo "--inspect, three times that for --apply-preset."
echo
echo "| movie | verb | top-level atoms | moov bytes | read from movie | read limit | written to movie | new moov bytes | written to backup |"
echo "|---|---|---|---|---|---|---|---|---|"
for movie in "$work/small.mov" "$work/sparse-64g.mov"; do
    python3 "$here/restore.py" "$movie"
    read -r atoms offset moov < <(python3 "$here/toplevel.py" "$movie")
    limit=$((moov + 16 * atoms))
    trace "$lanemark" --inspect "$movie"
    python3 "$here/iobytes.py" "$work/io.strace" >"$work/io.json"
    echo "| $(basename "$movie") | --inspect | $atoms | $moov | $(io "$work/io.json" "$movie" read) | $limit |"\
         "$(io "$work/io.json" "$movie" write) | – | – |"
    trace "$lanemark" --apply-preset "$movie"
    python3 "$here/iobytes.py" "$work/io.strace" >"$work/io.json"
    newMoov=$(($(stat -c %s "$movie") - offset))
    backup=$(($(io "$work/io.json" "$movie.lanemark-backup" write) + $(io "$work/io.json" "$work/(unnamed)" write)))
    echo "| $(basename "$movie") | --apply-preset | $atoms | $moov | $(io "$work/io.json" "$movie" read) |"\
         "$((3 * limit)) | $(io "$work/io.json" "$movie" write) ($(io "$work/io.json" "$movie" writes) calls) |"\
         "$newMoov | $backup ($(($(io "$work/io.json" "$movie.lanemark-backup" writes) +
                                   $(io "$work/io.json" "$work/(unnamed)" writes))) calls) |"
    python3 "$here/restore.py" "$movie"
done
echo

# ---------------------------------------------------------------------------
say "3. bringing a large moov into memory"
read -r atoms offset moov < <(python3 "$here/toplevel.py" "$work/moov-100.mov")
echo "## 3. Bringing the 100 MiB moov into memory"
echo
echo '```'
"$build/bench/lanemark_read_strategies" "$work/moov-100.mov" "$offset" 7
echo '```'
echo

# ---------------------------------------------------------------------------
say "4. parse and encode in memory"
echo "## 4. Parse and encode in memory (lanemark_bench)"
echo
echo '```'
"$build/bench/lanemark_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
    grep -E '^(Benchmark|---|\S+_mean )'
echo '```'
echo

# ---------------------------------------------------------------------------
say "5. delivery checks"
echo "## 5. Delivery checks: --check and --report"
echo
python3 "$here/delivery.py" "$work" "$runs" "$lanemark"
echo

# ---------------------------------------------------------------------------
say "6. a save at the physical limit"
echo "## 6. A save at the physical limit"
echo
python3 "$here/limits.py" "$work" "$runs" "$build/bench/lanemark_yardstick" "$lanemark"

# ---------------------------------------------------------------------------
say "7. --analyze against ffmpeg"
echo
echo "## 7. Measuring the channels: --analyze against ffmpeg"
echo
# ffmpeg takes seconds a round on the three-minute master.
python3 "$here/analyze.py" "$work" "$((runs < 7 ? runs : 7))" "$lanemark"
