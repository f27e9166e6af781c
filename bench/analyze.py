#!/usr/bin/env python3
"""Measures --analyze on a master with video: twelve mono 24-bit 48 kHz tracks
and one 5.1 track, made here with ffmpeg. Prints Markdown (bench/run.sh calls this):
  - its time against ffmpeg's ebur128 and astats over the same programs, as ratios
    taken within interleaved rounds (bench/timings.py's way);
  - the bytes it reads of the master (strace), against the audio and metadata bytes;
  - its peak memory on masters of two lengths.

Usage: analyze.py WORK RUNS LANEMARK
"""
import json
import os
import subprocess
import sys
import tempfile

from timings import MIB, peak, ratio_row, rounds, size_text, table, verdict
from toplevel import last_atom

HERE = os.path.dirname(os.path.abspath(__file__))
RATE, BYTES = 48000, 3
CHANNELS = 12 + 6


def make_master(path, seconds, lanemark):
    """Video, then the twelve mono tracks of the delivery preset, then a 5.1 track."""
    if os.path.exists(path):
        return
    noise = f"anoisesrc=d={seconds}:c=pink:r={RATE}:a=0.3:seed="
    arguments = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                 f"testsrc=size=640x360:rate=24:duration={seconds}"]
    maps = ["-map", "0:v"]
    for track in range(12):
        arguments += ["-f", "lavfi", "-i", f"{noise}{track + 1}"]
        maps += ["-map", f"{track + 1}:a", f"-channel_layout:a:{track}", "FC"]
    arguments += ["-f", "lavfi", "-i", f"{noise}13", "-filter_complex", "[13]pan=5.1|c0=c0|c1=0.9*c0|c2=0.8*c0|"
                  "c3=0.5*c0|c4=0.7*c0|c5=0.6*c0[six]"]
    maps += ["-map", "[six]"]
    arguments += maps + ["-c:v", "mpeg4", "-q:v", "2", "-c:a", "pcm_s24le", "-f", "mov", path + ".part"]
    subprocess.run(arguments, check=True)
    os.rename(path + ".part", path)
    subprocess.run([lanemark, "--apply-labels", path, "delivery,5.1"], check=True, stdout=subprocess.DEVNULL)
    os.remove(path + ".lanemark-backup")


def ffmpeg_command(path):
    """ffmpeg's loudness and statistics over the programs --analyze forms, in one run."""
    measure = "ebur128=peak=true,astats"
    graph = ";".join([
        "".join(f"[0:a:{i}]" for i in range(6)) + f"join=inputs=6:channel_layout=5.1,{measure}[p0]",
        *(f"[0:a:{6 + 2 * k}][0:a:{7 + 2 * k}]join=inputs=2:channel_layout=stereo,{measure}[p{k + 1}]"
          for k in range(3)),
        f"[0:a:12]{measure}[p4]"])
    command = ["/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", path, "-filter_complex", graph]
    for k in range(5):
        command += ["-map", f"[p{k}]", "-f", "null", "-"]
    return command


def bytes_read(argv, movie):
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "io.strace")
        subprocess.run(["strace", "-f", "-y", "-s", "0", "-e", "trace=read,pread64", "-o", log] + argv,
                       stdout=subprocess.DEVNULL, check=False)
        totals = json.loads(subprocess.run([sys.executable, os.path.join(HERE, "iobytes.py"), log],
                                           capture_output=True, check=True).stdout)
    entry = totals.get(os.path.realpath(movie), {})
    return entry.get("read", 0), entry.get("reads", 0)


def main():
    work, runs, lanemark = sys.argv[1], int(sys.argv[2]), os.path.abspath(sys.argv[3])
    short, long = os.path.join(work, "analyze-1min.mov"), os.path.join(work, "analyze-3min.mov")
    make_master(short, 60, lanemark)
    make_master(long, 180, lanemark)
    # --analyze exits 1 when it has findings; the timing wants a success.
    analyze = ["/bin/sh", "-c", '"$0" --analyze "$1" >/dev/null; [ $? -le 1 ]', lanemark, long]
    results = rounds({"ffmpeg": ffmpeg_command(long), "analyze": analyze}, runs)
    reference_ms, analyze_ms, low, median, high = ratio_row(results, "analyze", "ffmpeg")
    print(f"Master: {os.path.getsize(long) / MIB:.0f} MiB, 3 minutes, 640x360 MPEG-4 video beside 12 mono and one")
    print("5.1 24-bit 48 kHz tracks; ffmpeg measures the same five programs with `ebur128=peak=true,astats`.")
    print()
    table(["ffmpeg ms", "--analyze ms", "ratio min", "ratio median", "ratio max", "target ≤ 0.5"])
    print(f"| {reference_ms:.0f} | {analyze_ms:.0f} | {low:.3f} | {median:.3f} | {high:.3f} | {verdict(median <= 0.5)} |")
    print()
    _, moov_offset, moov_size = last_atom(long)
    audio = 180 * RATE * BYTES * CHANNELS
    read, calls = bytes_read([lanemark, "--analyze", long], long)
    table(["file", "audio bytes", "moov bytes", "read by --analyze", "read calls", "audio + moov + 16 per atom"])
    print(f"| {size_text(os.path.getsize(long))} | {audio} | {moov_size} | {read} | {calls} | "
          f"{verdict(read <= audio + moov_size + 16 * 64)} |")
    print()
    table(["master", "peak resident memory"])
    sizes = {}
    for movie in (short, long):
        sizes[movie] = peak(["/bin/sh", "-c", '"$0" --analyze "$1" >/dev/null; [ $? -le 1 ]', lanemark, movie],
                            lambda: None)
        print(f"| {os.path.basename(movie)} | {size_text(sizes[movie])} |")
    print()
    grows = sizes[long] - sizes[short]
    print(f"Three times the length adds {size_text(max(grows, 0))} of peak memory: "
          f"{verdict(grows < 4 * MIB)} (independent of the length).")


if __name__ == "__main__":
    main()
