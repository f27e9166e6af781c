#!/usr/bin/env python3
"""Times --check and --report over a delivery of a thousand masters against
other readers, weighs what they read of a long master's metadata, and prints
the results as Markdown (bench/run.sh calls this). Times are ratios taken
within interleaved rounds, as bench/timings.py takes them.

Usage: delivery.py WORK RUNS LANEMARK
  WORK      folder holding master.mov and moov-100.mov from lanemark_bench_movies
  RUNS      rounds per row against cat; ffprobe and MediaInfo, which take
            seconds a round, get 3 and 5
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

from timings import MIB, peak, ratio_row, rounds, run, size_text, table, verdict
from toplevel import last_atom

HERE = os.path.dirname(os.path.abspath(__file__))
COPIES = 1000
TWELVE_MONO = ",".join(["M"] * 12)


def extract_moov(movie, into):
    """Writes the movie's trailing moov to its own file, for cat to read."""
    _, offset, size = last_atom(movie)
    with open(movie, "rb") as source, open(into, "wb") as target:
        source.seek(offset)
        target.write(source.read(size))
    return size


def linked(source, folder, suffix):
    """COPIES hard links to `source` in a fresh folder."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    paths = [os.path.join(folder, f"{index:04d}{suffix}") for index in range(COPIES)]
    for path in paths:
        os.link(source, path)
    return paths


def bytes_read(argv, movie):
    """Bytes and read calls the command makes on `movie`, traced by strace and summed by iobytes.py."""
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "io.strace")
        subprocess.run(["strace", "-f", "-y", "-s", "0", "-e", "trace=read,pread64", "-o", log] + argv,
                       stdout=subprocess.DEVNULL, check=True)
        totals = json.loads(subprocess.run([sys.executable, os.path.join(HERE, "iobytes.py"), log],
                                           capture_output=True, check=True).stdout)
    entry = totals.get(os.path.realpath(movie), {})
    return entry.get("read", 0), entry.get("reads", 0)


def prepare_master(work, lanemark):
    """The master carrying the delivery preset, with no backup beside it."""
    master = os.path.join(work, "master.mov")
    backup = master + ".lanemark-backup"
    if os.path.exists(backup):
        os.remove(backup)
    subprocess.run([lanemark, "--apply-preset", master], stdout=subprocess.DEVNULL, check=True)
    os.remove(backup)
    return master


def delivery(work, runs, lanemark):
    master = prepare_master(work, lanemark)
    moov_file = os.path.join(work, "master.moov")
    moov = extract_moov(master, moov_file)
    movies = linked(master, os.path.join(work, "delivery"), ".mov")
    moovs = linked(moov_file, os.path.join(work, "delivery-moov"), ".moov")
    ffprobe, mediainfo, cat = shutil.which("ffprobe"), shutil.which("mediainfo"), shutil.which("cat")
    report = [lanemark, "--report"] + movies
    check = [lanemark, "--check", "delivery"] + movies
    print(f"### --check and --report over a delivery of {COPIES:,} masters")
    print()
    print(f"master.mov: a video track and twelve mono PCM tracks carrying the delivery preset, each sound"
          f" track with its own sample tables; moov {moov} bytes, file {os.path.getsize(master)} bytes."
          f" The {COPIES} copies are hard links to it in one folder, and cat reads {COPIES} hard links to a"
          f" file holding just its moov: every reader reads the same cached pages a real delivery's copies"
          f" would give once cached.")
    print()
    table(["lanemark", "against", "rounds", "their median s", "lanemark median s", "ratio min", "ratio median",
           "ratio max", "target"])
    rows = (
        ("--report", "one `ffprobe -show_streams -of json` per file", 3, report,
         ["/bin/sh", "-c", 'for f do "$0" -v error -show_streams -of json "$f" || exit 1; done', ffprobe] + movies,
         lambda middle: f"ffprobe / lanemark ≥ 20: {verdict(middle >= 20)}", True),
        ("--report", "`mediainfo --Output=JSON` over all files in one call", 5, report,
         [mediainfo, "--Output=JSON"] + movies,
         lambda middle: f"mediainfo / lanemark ≥ 5: {verdict(middle >= 5)}", True),
        ("--check delivery", f"`cat` of the {COPIES:,} moov atoms", runs, check, [cat] + moovs,
         lambda middle: f"lanemark / cat ≤ 1.5: {verdict(middle <= 1.5)}", False),
    )
    for verb, against, turns, ours, theirs, target, speedup in rows:
        results = rounds({"lanemark": ours, "other": theirs}, turns)
        # Speed-ups read as the other's time over ours; the cat row as ours over cat's.
        name, reference = ("other", "lanemark") if speedup else ("lanemark", "other")
        _, _, low, middle, high = ratio_row(results, name, reference)
        our, their = ratio_row(results, "other", "lanemark")[:2]
        print(f"| {verb} | {against} | {turns} | {their / 1000:.3f} | {our / 1000:.3f} | {low:.1f} | {middle:.1f} |"
              f" {high:.1f} | {target(middle)} |")
    print()
    one, all_ = peak([lanemark, "--report", movies[0]], lambda: None), peak(report, lambda: None)
    print(f"Peak memory (GNU time, largest of three runs): --report of one master {size_text(one)},"
          f" of all {COPIES} {size_text(all_)}.")
    print()


def long_master(work, runs, lanemark):
    movie = os.path.join(work, "moov-100.mov")
    moov_file = os.path.join(work, "moov-100.moov")
    moov = extract_moov(movie, moov_file)
    commands = {"--check": [lanemark, "--check", TWELVE_MONO, movie], "--report": [lanemark, "--report", movie],
                "--version": [lanemark, "--version"]}
    print("### A master whose moov holds 100 MiB of sample tables")
    print()
    print(f"moov-100.mov: moov {moov} bytes. Bytes read from the movie traced with"
          f" `strace -f -y -e trace=read,pread64` and summed by bench/iobytes.py; `cat` reads a file holding"
          f" just the moov. Targets: under 1 MiB read, under a tenth of cat's time. `--version`, which"
          f" reads nothing, shows what starting the program costs alone.")
    print()
    table(["verb", "bytes read", "read calls", "cat median ms", "lanemark median ms", "ratio min", "ratio median",
           "ratio max", "target"])
    for verb, argv in commands.items():
        count, calls = bytes_read(argv, movie)
        results = rounds({"lanemark": argv, "cat": [shutil.which("cat"), moov_file]}, runs)
        reference, median, low, middle, high = ratio_row(results, "lanemark", "cat")
        target = verdict(count < MIB and middle < 0.1) if verb != "--version" else "–"
        print(f"| {verb} | {count} | {calls} | {reference:.2f} | {median:.2f} | {low:.3f} | {middle:.3f} |"
              f" {high:.3f} | {target} |")
    print()


def main():
    work, runs, lanemark = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    delivery(work, runs, lanemark)
    long_master(work, runs, lanemark)


if __name__ == "__main__":
    main()
