#!/usr/bin/env python3
"""Times and weighs builds of lanemark on the movies lanemark_bench_movies
writes, and prints the results as Markdown (bench/run.sh calls this).

Every time is a ratio taken within one round: a round runs the reference
(the yardstick, cat, or the small movie) and every build once each, in an
order that rotates from round to round, so a colleague's compile slowing
the machine for a while slows both sides of a ratio alike. Peak memory is
GNU time's maximum resident set (not wait4's from here: a child spawned
from a large Python process inherits its high-water mark).

Usage: timings.py WORK SAMPLE RUNS YARDSTICK NAME=LANEMARK [NAME=LANEMARK ...]
  WORK       folder holding the benchmark movies
  SAMPLE     the bundled sample movie
  RUNS       rounds per row, after one warm-up round
  YARDSTICK  the lanemark_yardstick binary
The last NAME is the build the single-build sections measure.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from restore import restore
from toplevel import first_moov, last_atom

MIB = 1 << 20


def run(argv):
    """Seconds a command takes, its output discarded; stops the report if it fails."""
    quiet = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_WRONLY, 0) for fd in (1, 2)]
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=quiet)
    _, status, _ = os.wait4(pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(argv)}")
    return seconds


def reset(movie):
    """Puts the movie back as it was and drops the yardstick's backup."""
    restore(movie)
    if os.path.exists(movie + ".yardstick-backup"):
        os.remove(movie + ".yardstick-backup")
    os.sync()


def rounds(commands, runs, prepare=lambda: None):
    """{name: [seconds, ...]} over `runs` interleaved rounds, after one warm-up."""
    names = list(commands)
    results = {name: [] for name in names}
    for turn in range(runs + 1):
        first = turn % len(names)
        for name in names[first:] + names[:first]:
            prepare()
            seconds = run(commands[name])
            if turn > 0:
                results[name].append(seconds)
    return results


def ratio_row(results, name, reference):
    """Median ms of both, then min, median and max of the per-round ratios."""
    values = [a / b for a, b in zip(results[name], results[reference])]
    return (statistics.median(results[reference]) * 1000, statistics.median(results[name]) * 1000,
            min(values), statistics.median(values), max(values))


def peak(argv, prepare, times=3):
    """The largest resident set in bytes of `times` runs, measured by GNU time."""
    largest = 0
    with tempfile.NamedTemporaryFile("r") as report:
        for _ in range(times):
            prepare()
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, check=True,
                           stdout=subprocess.DEVNULL)
            report.seek(0)
            largest = max(largest, int(report.read().split()[-1]) * 1024)
    return largest


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def verdict(ok):
    return "met" if ok else "**missed**"


def size_text(count):
    return f"{count / MIB:.1f} MiB" if count >= MIB else f"{count / 1024:.1f} KiB"


def table(header):
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))


def apply_against_yardstick(work, runs, yardstick, builds):
    print("### --apply-preset against the yardstick")
    print()
    print("The yardstick (bench/yardstick.cpp) does only the least I/O of a save: three reads of the")
    print("metadata into one buffer, the backup written, synchronised and named, its folder synchronised,")
    print("the metadata written over, the length set, synchronised. The movie is restored between runs.")
    print("Target: median ratio at most 1.3 at 10 and 100 MiB.")
    print()
    table(["metadata", "yardstick median ms", "build", "median ms", "ratio min", "ratio median", "ratio max",
           "target"])
    for size in (1, 10, 100):
        movie = os.path.join(work, f"moov-{size}.mov")
        commands = {"yardstick": [yardstick, movie]}
        commands.update({name: [path, "--apply-preset", movie] for name, path in builds.items()})
        results = rounds(commands, runs, lambda: reset(movie))
        reset(movie)
        for name in builds:
            reference, median, low, middle, high = ratio_row(results, name, "yardstick")
            target = verdict(middle <= 1.3) if size >= 10 else "–"
            print(f"| {size_text(last_atom(movie)[2])} | {reference:.1f} | {name} | {median:.1f} | {low:.2f} |"
                  f" {middle:.2f} | {high:.2f} | {target} |")
    print()


def inspect_against_cat(work, sample, runs, builds):
    print("### --inspect against cat")
    print()
    print("`cat MOVIE > /dev/null` reads the whole file from the page cache.")
    print("Targets: median ratio at most 2 for the bundled sample, 1.5 for the 100 MiB moov.")
    print()
    table(["movie", "cat median ms", "build", "median ms", "ratio min", "ratio median", "ratio max", "target"])
    cat = shutil.which("cat")
    for label, movie, limit, turns in (("examples/twelve-tracks.mov", sample, 2.0, 2 * runs),
                                       ("moov of 100 MiB", os.path.join(work, "moov-100.mov"), 1.5, runs)):
        commands = {"cat": [cat, movie]}
        commands.update({name: [path, "--inspect", movie] for name, path in builds.items()})
        results = rounds(commands, turns)
        for name in builds:
            reference, median, low, middle, high = ratio_row(results, name, "cat")
            print(f"| {label} | {reference:.2f} | {name} | {median:.2f} | {low:.2f} | {middle:.2f} | {high:.2f} |"
                  f" {verdict(middle <= limit)} |")
    print()


def memory(work, sample, builds):
    print("### Peak memory")
    print()
    print("The largest resident set of three runs (GNU time). Targets: --inspect at most 1.1 × metadata")
    print("+ 8 MiB, --apply-preset at most 2.2 × metadata + 8 MiB. tracks-5000 is a tree of many small atoms")
    print("(5,000 mono tracks), far beyond real masters, to show what the parsed tree weighs.")
    print()
    table(["verb", "movie", "metadata", "build", "peak MiB", "peak / metadata", "allowed MiB", "target"])
    inspected = [("twelve-tracks (sample)", sample)] + [
        (name, os.path.join(work, name + ".mov")) for name in ("moov-1", "moov-10", "moov-100", "tracks-5000")]
    # The preset has twelve labels, so only the twelve-track movies take it; the sample stays untouched.
    for verb, factor, movies in (("--inspect", 1.1, inspected), ("--apply-preset", 2.2, inspected[1:4])):
        for label, movie in movies:
            moov = last_atom(movie)[2]
            allowed = factor * moov + 8 * MIB
            for name, path in builds.items():
                rss = peak([path, verb, movie], lambda: reset(movie))
                share = f"{rss / moov:.2f}" if moov >= MIB else "–"
                print(f"| {verb} | {label} | {size_text(moov)} | {name} | {rss / MIB:.1f} | {share} |"
                      f" {allowed / MIB:.1f} | {verdict(rss <= allowed)} |")
            reset(movie)
    print()


def file_size_independence(work, runs, builds):
    small, sparse = os.path.join(work, "small.mov"), os.path.join(work, "sparse-64g.mov")
    print("### Independent of the file's size")
    print()
    print(f"small.mov: twelve mono tracks after 1 MiB of media, {os.path.getsize(small)} bytes;"
          f" sparse-64g.mov: the same metadata after a 64 GiB sparse media atom, {os.path.getsize(sparse)} bytes.")
    print("Target: the ratio stays near 1.")
    print()
    table(["verb", "build", "small median ms", "sparse median ms", "ratio min", "ratio median", "ratio max"])
    for verb in ("--inspect", "--apply-preset"):
        for name, path in builds.items():
            commands = {"small": [path, verb, small], "sparse": [path, verb, sparse]}
            results = rounds(commands, runs, lambda: (reset(small), reset(sparse)))
            reference, median, low, middle, high = ratio_row(results, "sparse", "small")
            print(f"| {verb} | {name} | {reference:.2f} | {median:.2f} | {low:.2f} | {middle:.2f} | {high:.2f} |")
    reset(small)
    reset(sparse)
    print()


def insert_against_relabel(work, runs, builds):
    print("### Adding layouts against relabelling")
    print()
    print("bare-N.mov holds the moov of moov-N.mov, of the same size, but its twelve tracks carry no chan;")
    print("--apply-preset appends one to each of them, and relabels the twelve of moov-N.mov in place.")
    print("Target: median ratio at most 1.1.")
    print()
    table(["metadata", "relabel median ms", "build", "add median ms", "ratio min", "ratio median", "ratio max",
           "target"])
    for size in (10, 100):
        relabel, bare = (os.path.join(work, f"{name}-{size}.mov") for name in ("moov", "bare"))
        for name, path in builds.items():
            commands = {"relabel": [path, "--apply-preset", relabel], "add": [path, "--apply-preset", bare]}
            results = rounds(commands, runs, lambda: (reset(relabel), reset(bare)))
            reference, median, low, middle, high = ratio_row(results, "add", "relabel")
            print(f"| {size_text(last_atom(bare)[2])} | {reference:.1f} | {name} | {median:.1f} | {low:.2f} |"
                  f" {middle:.2f} | {high:.2f} | {verdict(middle <= 1.1)} |")
        reset(relabel)
        reset(bare)
    print()


def unmove(movie, length, offset):
    """Puts back a movie whose metadata at `offset` a save or the yardstick moved to the end."""
    reset(movie)
    with open(movie, "r+b") as f:
        f.seek(offset + 4)
        f.write(b"moov")
        f.truncate(length)
        f.flush()
        os.fsync(f.fileno())
    os.sync()


def metadata_first(work, runs, yardstick, name, lanemark):
    trailing, first, moved = (os.path.join(work, f"{kind}-100.mov") for kind in ("moov", "first", "moved"))
    length, offset = os.path.getsize(moved), first_moov(moved)[0]
    print("### Metadata that is not last")
    print()
    print("first-100.mov holds the moov of moov-100.mov ahead of 1 MiB of media, and the preset keeps its size:")
    print("it is written in place (target: the time of the same save at the end, ratio about 1). moved-100.mov")
    print("has layouts the preset lengthens, so the save appends the new moov, synchronises, turns the old one")
    print("into free space and synchronises again; `lanemark_yardstick --relocate` does only that I/O")
    print("(target: at most 1.3), timed in the same rounds as the save at the end and its yardstick.")
    print("Only the build measured last can open these movies.")
    print()
    table(["save", "reference", "reference median ms", "median ms", "ratio min", "ratio median", "ratio max",
           "target"])
    same = rounds({"trailing": [lanemark, "--apply-preset", trailing], "first": [lanemark, "--apply-preset", first]},
                  runs, lambda: (reset(trailing), reset(first)))
    reset(trailing)
    reset(first)
    reference, median, low, middle, high = ratio_row(same, "first", "trailing")
    print(f"| {name}: same size, in place | the same save of trailing metadata | {reference:.1f} | {median:.1f} |"
          f" {low:.2f} | {middle:.2f} | {high:.2f} | {verdict(middle <= 1.1)} |")
    # The trailing save against its yardstick in the same rounds, for what a save costs anyway.
    relocated = rounds({"yardstick": [yardstick, trailing], "trailing": [lanemark, "--apply-preset", trailing],
                        "relocating yardstick": [yardstick, "--relocate", moved],
                        "moved": [lanemark, "--apply-preset", moved]},
                       runs, lambda: (reset(trailing), unmove(moved, length, offset)))
    reset(trailing)
    unmove(moved, length, offset)
    for save, reference, label, limit in (("trailing", "yardstick", "at the end (for comparison)", None),
                                          ("moved", "relocating yardstick", "moved to the end", 1.3)):
        reference_ms, median, low, middle, high = ratio_row(relocated, save, reference)
        target = verdict(middle <= limit) if limit else "–"
        print(f"| {name}: {label} | {reference} | {reference_ms:.1f} | {median:.1f} | {low:.2f} | {middle:.2f} |"
              f" {high:.2f} | {target} |")
    print()


def remux(work, lanemark):
    real = os.path.join(work, "real-1g.mov")
    remuxed = os.path.join(work, "remuxed.mov")
    ffmpeg = shutil.which("ffmpeg")

    def prepare():
        reset(real)
        if os.path.exists(remuxed):
            os.remove(remuxed)

    commands = {"remux": [ffmpeg, "-nostdin", "-v", "error", "-y", "-i", real, "-map", "0", "-c", "copy", "-f",
                          "mov", remuxed],
                "lanemark": [lanemark, "--apply-preset", real]}
    results = rounds(commands, 3, prepare)
    prepare()
    _, offset, moov = last_atom(real)
    run(commands["lanemark"])
    backup = os.path.getsize(real + ".lanemark-backup")
    grown = os.path.getsize(real) - offset - moov
    run(commands["remux"])
    copy = os.path.getsize(remuxed)
    prepare()
    reference, median, low, middle, high = ratio_row(results, "remux", "lanemark")
    print("### The alternative: remuxing")
    print()
    print(f"real-1g.mov: made by ffmpeg (twelve 96 kHz 24-bit mono tracks and a ProRes video track, chan atoms"
          f" added), {os.path.getsize(real)} bytes, moov {moov} bytes; the build measured last above, 3 rounds.")
    print()
    table(["command", "median ms", "extra disk bytes"])
    print(f"| ffmpeg -i real-1g.mov -map 0 -c copy new.mov | {median:.0f} | {copy} (a whole new movie) |")
    print(f"| lanemark --apply-preset real-1g.mov | {reference:.0f} | {backup} backup + {grown} moov growth |")
    print()
    print(f"Remux / in place: {middle:.0f} times the time (per-round ratios {low:.0f} to {high:.0f}).")
    print()


def main():
    work, sample, runs, yardstick = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    builds = dict(arg.split("=", 1) for arg in sys.argv[5:])
    print(f"{runs} interleaved rounds per row (twice as many for the sample), after one warm-up round;"
          f" load average {load()} at the start.")
    print()
    apply_against_yardstick(work, runs, yardstick, builds)
    inspect_against_cat(work, sample, runs, builds)
    memory(work, sample, builds)
    file_size_independence(work, runs, builds)
    insert_against_relabel(work, runs, {name: path for name, path in builds.items() if name != "before"})
    metadata_first(work, runs, yardstick, *list(builds.items())[-1])
    remux(work, list(builds.values())[-1])
    print(f"Load average at the end of the timings: {load()}.")
    print()


if __name__ == "__main__":
    main()
