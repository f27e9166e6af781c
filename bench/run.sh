#!/usr/bin/env bash
# Measures what the design promises, on movies made by lanemark_bench_movies:
#   1. file-size independence: --inspect and --apply-preset on a movie with
#      1 MiB of media against one with 64 GiB (sparse), and the bytes each
#      moves to and from the movie;
#   2. large metadata: peak memory and time with a 100 MiB moov;
#   3. the alternative: an ffmpeg stream-copy remux of a >1 GiB movie against
#      relabelling it in place.
# Prints a Markdown report on standard output (progress goes to stderr).
#
# Usage: bench/run.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR defaults to build-bench (configured here with LANEMARK_BENCH=ON)
#   WORK_DIR  defaults to $TMPDIR/lanemark-bench; needs about 2.5 GB free
# Needs: hyperfine, strace, GNU time (/usr/bin/time), python3, ffmpeg.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
work=${2:-${TMPDIR:-/tmp}/lanemark-bench}
runs=${RUNS:-20}

say() { echo "== $*" >&2; }

say "building (Release) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLANEMARK_BENCH=ON -DLANEMARK_TESTS=OFF >&2
cmake --build "$build" -j"$(nproc)" >&2
lanemark=$build/lanemark
movies=$build/bench/lanemark_bench_movies

mkdir -p "$work"
say "writing benchmark movies into $work"
"$movies" "$work" small sparse large
[ -s "$work/real-1g.mov" ] || "$movies" "$work" real
for movie in small sparse-64g large-moov real-1g; do
    python3 "$here/restore.py" "$work/$movie.mov"
done

# The mean time in seconds of a hyperfine JSON export's command `index`.
mean() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][int(sys.argv[2])]["mean"])' "$@"; }
ratio() { python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$1" "$2"; }
ms() { python3 -c 'import sys; print(f"{float(sys.argv[1]) * 1000:.2f}")' "$1"; }
# A field of bench/iobytes.py's JSON for one path (0 when the path was not touched).
io() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1])).get(sys.argv[2], {}).get(sys.argv[3], 0))' "$@"; }
# Peak resident set size in bytes of a command, from GNU time.
peak() {
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null
    echo $(($(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt") * 1024))
}
restore() { echo "python3 $here/restore.py $1"; }

echo "# Lanemark benchmark run"
echo
echo "- date: $(date -u +%Y-%m-%dT%H:%MZ); commit: $(git -C "$root" rev-parse --short HEAD)"
echo "- machine: $(nproc) cores, $(sed -n 's/model name\s*: //p' /proc/cpuinfo | head -n1),"\
     "$(free -g | awk '/Mem:/ {print $2}') GiB memory, $(df -T "$work" | awk 'NR==2 {print $2}') file system;"\
     "$(uname -sr)"
echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg); page cache warm (nothing is dropped)"
echo

# ---------------------------------------------------------------------------
say "1. file-size independence"
small=$work/small.mov
sparse=$work/sparse-64g.mov
hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/inspect.json" \
    "$lanemark --inspect $small" "$lanemark --inspect $sparse" >&2
hyperfine -N --warmup 2 --runs "$runs" --export-json "$work/apply.json" \
    --prepare "$(restore "$small")" "$lanemark --apply-preset $small" \
    --prepare "$(restore "$sparse")" "$lanemark --apply-preset $sparse" >&2

echo "## 1. File-size independence"
echo
echo "Movie (a): twelve mono tracks, $(stat -c %s "$small") bytes (1 MiB of media)."
echo "Movie (b): the same metadata after a 64 GiB sparse media atom, $(stat -c %s "$sparse") bytes."
echo
echo "| verb | (a) mean ms | (b) mean ms | (b) / (a) |"
echo "|---|---|---|---|"
for verb in inspect apply; do
    a=$(mean "$work/$verb.json" 0)
    b=$(mean "$work/$verb.json" 1)
    echo "| --${verb/apply/apply-preset} | $(ms "$a") | $(ms "$b") | $(ratio "$b" "$a") |"
done
echo

echo "Bytes moved to and from the movie file, traced with"
echo "\`strace -f -y -s 0 -e trace=read,write,pread64,pwrite64\` and summed per file by bench/iobytes.py:"
echo
echo "| movie | verb | top-level atoms | moov bytes | read from movie | read limit | written to movie | new moov bytes | written to backup |"
echo "|---|---|---|---|---|---|---|---|---|"
for movie in "$small" "$sparse"; do
    python3 "$here/restore.py" "$movie"
    read -r atoms offset moov < <(python3 "$here/toplevel.py" "$movie")
    limit=$((moov + 16 * atoms))
    strace -f -y -s 0 -e trace=read,write,pread64,pwrite64 -o "$work/inspect.strace" "$lanemark" --inspect "$movie" >/dev/null
    python3 "$here/iobytes.py" "$work/inspect.strace" >"$work/inspect.io"
    echo "| $(basename "$movie") | --inspect | $atoms | $moov | $(io "$work/inspect.io" "$movie" read) | $limit |"\
         "$(io "$work/inspect.io" "$movie" write) | – | – |"
    strace -f -y -s 0 -e trace=read,write,pread64,pwrite64 -o "$work/apply.strace" "$lanemark" --apply-preset "$movie" >/dev/null
    python3 "$here/iobytes.py" "$work/apply.strace" >"$work/apply.io"
    newMoov=$(($(stat -c %s "$movie") - offset))
    echo "| $(basename "$movie") | --apply-preset | $atoms | $moov | $(io "$work/apply.io" "$movie" read) | $((3 * limit)) |"\
         "$(io "$work/apply.io" "$movie" write) ($(io "$work/apply.io" "$movie" writes) calls) | $newMoov |"\
         "$(io "$work/apply.io" "$movie.lanemark-backup" write) |"
    python3 "$here/restore.py" "$movie"
done
echo
echo "Read limit: moov + 16 bytes per top-level atom for --inspect, three times that for --apply-preset."
echo

# ---------------------------------------------------------------------------
say "2. large metadata"
large=$work/large-moov.mov
read -r atoms offset moov < <(python3 "$here/toplevel.py" "$large")
hyperfine -N --warmup 2 --runs "$((runs / 2 > 3 ? runs / 2 : 3))" --export-json "$work/large.json" \
    --prepare "$(restore "$large")" \
    "sh -c 'cat $large > /dev/null'" "$lanemark --inspect $large" "$lanemark --apply-preset $large" >&2
python3 "$here/restore.py" "$large"
inspectPeak=$(peak "$lanemark" --inspect "$large")
applyPeak=$(peak "$lanemark" --apply-preset "$large")
python3 "$here/restore.py" "$large"
catTime=$(mean "$work/large.json" 0)

echo "## 2. Large metadata"
echo
echo "Movie (c): twelve mono tracks, a moov of $moov bytes ($(ratio "$moov" 1048576) MiB), file $(stat -c %s "$large") bytes."
echo
echo "| command | mean ms | / cat | peak RSS bytes | RSS / moov |"
echo "|---|---|---|---|---|"
echo "| cat movie > /dev/null | $(ms "$catTime") | 1.00 | – | – |"
echo "| lanemark --inspect | $(ms "$(mean "$work/large.json" 1)") | $(ratio "$(mean "$work/large.json" 1)" "$catTime") |"\
     "$inspectPeak | $(ratio "$inspectPeak" "$moov") |"
echo "| lanemark --apply-preset | $(ms "$(mean "$work/large.json" 2)") | $(ratio "$(mean "$work/large.json" 2)" "$catTime") |"\
     "$applyPeak | $(ratio "$applyPeak" "$moov") |"
echo
echo "Targets: RSS / moov below 2.5 (--inspect) and 4.5 (--apply-preset); time below 4 × cat."
echo

# ---------------------------------------------------------------------------
say "3. remux against relabelling in place"
real=$work/real-1g.mov
remuxed=$work/remuxed.mov
read -r atoms offset moov < <(python3 "$here/toplevel.py" "$real")
hyperfine -N --warmup 1 --runs 3 --export-json "$work/remux.json" \
    --prepare "rm -f $remuxed" "ffmpeg -nostdin -v error -y -i $real -map 0 -c copy -f mov $remuxed" \
    --prepare "$(restore "$real")" "$lanemark --apply-preset $real" >&2
python3 "$here/restore.py" "$real"
ffmpeg -nostdin -v error -y -i "$real" -map 0 -c copy -f mov "$remuxed"
remuxDisk=$(stat -c %s "$remuxed")
"$lanemark" --apply-preset "$real" >/dev/null
backupDisk=$(stat -c %s "$real.lanemark-backup")
grown=$(($(stat -c %s "$real") - offset - moov))
python3 "$here/restore.py" "$real"
rm -f "$remuxed"
remuxTime=$(mean "$work/remux.json" 0)
applyTime=$(mean "$work/remux.json" 1)

echo "## 3. The alternative: remuxing"
echo
echo "Movie (d): made by ffmpeg (twelve 96 kHz 24-bit mono tracks and a ProRes video track, chan atoms added),"
echo "$(stat -c %s "$real") bytes, moov $moov bytes."
echo
echo "| command | mean ms | extra disk bytes |"
echo "|---|---|---|"
echo "| ffmpeg -i d.mov -map 0 -c copy new.mov | $(ms "$remuxTime") | $remuxDisk (a whole new movie) |"
echo "| lanemark --apply-preset d.mov | $(ms "$applyTime") | $backupDisk backup + $grown moov growth |"
echo
echo "Remux / in place: $(ratio "$remuxTime" "$applyTime") times the time."

# ---------------------------------------------------------------------------
say "4. where opening a large moov spends its time"
read -r atoms offset moov < <(python3 "$here/toplevel.py" "$large")
echo
echo "## 4. Bringing the 100 MiB moov into memory"
echo
echo '```'
"$build/bench/lanemark_read_strategies" "$large" "$offset" 7
echo '```'
