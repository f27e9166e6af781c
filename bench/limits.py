#!/usr/bin/env python3
"""A save at the physical limit, in one interleaved run: --apply-preset against
the least I/O of the same save, peak memory, the start of a verb against
/bin/true, and --inspect against cat. Prints Markdown (bench/run.sh calls this).

Usage: limits.py WORK RUNS YARDSTICK LANEMARK
  WORK       folder holding moov-N, first-N and moved-N (N = 10, 100) and master.mov
  RUNS       interleaved rounds per row, after one warm-up round
  YARDSTICK  the lanemark_yardstick binary
"""
import os
import shutil
import sys

from timings import MIB, load, peak, ratio_row, reset, rounds, size_text, table, unmove, verdict
from toplevel import first_moov, last_atom


def saves(work, runs, yardstick, lanemark):
    """{(kind, size): (movie, yardstick argv, prepare)} for the three places a save writes."""
    cases = {}
    for size in (10, 100):
        trailing, first, moved = (os.path.join(work, f"{kind}-{size}.mov") for kind in ("moov", "first", "moved"))
        length, offset = os.path.getsize(moved), first_moov(moved)[0]
        cases[("at the end", size)] = (trailing, [yardstick, trailing], lambda m=trailing: reset(m))
        cases[("first, in place", size)] = (first, [yardstick, "--first", first], lambda m=first: reset(m))
        cases[("moved to the end", size)] = (moved, [yardstick, "--relocate", moved],
                                             lambda m=moved, l=length, o=offset: unmove(m, l, o))
    return cases


def apply_rows(cases, runs, lanemark):
    print("### --apply-preset against the yardstick")
    print()
    print("The yardstick (bench/yardstick.cpp) does only the least I/O of the same save: three reads of the")
    print("metadata into one buffer, the backup written, synchronised and named, its folder synchronised, and")
    print("the metadata written over itself (`--first`), at the end (with the length set), or appended after")
    print("the media with the old atom's type changed (`--relocate`), each synchronised. Target: median at most 1.3.")
    print()
    table(["save", "metadata", "yardstick median ms", "median ms", "ratio min", "ratio median", "ratio max", "target"])
    for (kind, size), (movie, reference, prepare) in cases.items():
        results = rounds({"yardstick": reference, "lanemark": [lanemark, "--apply-preset", movie]}, runs, prepare)
        prepare()
        ref, median, low, middle, high = ratio_row(results, "lanemark", "yardstick")
        print(f"| {kind} | {size} MiB | {ref:.1f} | {median:.1f} | {low:.2f} | {middle:.2f} | {high:.2f} |"
              f" {verdict(middle <= 1.3)} |")
    print()


def memory_rows(cases, lanemark):
    print("### Peak memory of a save")
    print()
    print("GNU time's maximum resident set, the largest of three runs. Target: at most 1.1 × the moov + 8 MiB.")
    print()
    table(["save", "moov", "peak MiB", "peak / moov", "allowed MiB", "target"])
    for (kind, size), (movie, _, prepare) in cases.items():
        moov = first_moov(movie)[1]
        rss = peak([lanemark, "--apply-preset", movie], prepare)
        prepare()
        allowed = 1.1 * moov + 8 * MIB
        print(f"| {kind} | {size_text(moov)} | {rss / MIB:.1f} | {rss / moov:.2f} | {allowed / MIB:.1f} |"
              f" {verdict(rss <= allowed)} |")
    print()


def start_rows(work, runs, lanemark):
    master = os.path.join(work, "master.mov")
    print("### The start of a verb")
    print()
    print(f"`--check` of master.mov, a twelve-track master ({os.path.getsize(master)} bytes), with the labels it")
    print("carries, and")
    print("`--version`, against `/bin/true` in the same rounds. Targets: at most 3 and 2 times.")
    print()
    table(["verb", "/bin/true median ms", "median ms", "ratio min", "ratio median", "ratio max", "target"])
    results = rounds({"true": ["/bin/true"], "version": [lanemark, "--version"],
                      "check": [lanemark, "--check", ",".join(["M"] * 12), master]}, runs * 10)
    for name, limit in (("version", 2), ("check", 3)):
        ref, median, low, middle, high = ratio_row(results, name, "true")
        print(f"| --{name} | {ref:.2f} | {median:.2f} | {low:.2f} | {middle:.2f} | {high:.2f} |"
              f" {verdict(middle <= limit)} |")
    print()


def inspect_rows(work, runs, lanemark):
    movie = os.path.join(work, "moov-100.mov")
    print("### --inspect against cat")
    print()
    print(f"moov-100.mov, whose moov of {size_text(last_atom(movie)[2])} is nearly all sample tables;"
          " `cat MOVIE > /dev/null`. Target: at most 1.2.")
    print()
    table(["cat median ms", "median ms", "ratio min", "ratio median", "ratio max", "peak MiB", "target"])
    results = rounds({"cat": [shutil.which("cat"), movie], "inspect": [lanemark, "--inspect", movie]}, runs * 2)
    ref, median, low, middle, high = ratio_row(results, "inspect", "cat")
    rss = peak([lanemark, "--inspect", movie], lambda: None)
    print(f"| {ref:.2f} | {median:.2f} | {low:.2f} | {middle:.2f} | {high:.2f} | {rss / MIB:.1f} |"
          f" {verdict(middle <= 1.2)} |")
    print()


def main():
    work, runs, yardstick, lanemark = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    print(f"{runs} interleaved rounds per save, ten times as many for the start, twice for --inspect;"
          f" load average {load()} at the start.")
    print()
    cases = saves(work, runs, yardstick, lanemark)
    apply_rows(cases, runs, lanemark)
    memory_rows(cases, lanemark)
    start_rows(work, runs, lanemark)
    inspect_rows(work, runs, lanemark)
    print(f"Load average at the end: {load()}.")
    print()


if __name__ == "__main__":
    main()
