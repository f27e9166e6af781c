#!/usr/bin/env python3
"""Prints the top-level atoms of a movie: count, offset and size of the last one."""
import struct
import sys


def first_moov(path):
    """Offset and size of the first "moov" atom, found by reading headers only."""
    with open(path, "rb") as movie:
        length = movie.seek(0, 2)
        at = 0
        while at + 8 <= length:
            movie.seek(at)
            header = movie.read(16)
            size = struct.unpack(">I", header[:4])[0]
            if header[4:8] == b"moov":
                return at, size
            at += struct.unpack(">Q", header[8:16])[0] if size == 1 else size or length - at
    raise ValueError(f"no moov in {path}")


def last_atom(path):
    with open(path, "rb") as movie:
        movie.seek(0, 2)
        length = movie.tell()
        at, count, last = 0, 0, (0, 0)
        while at + 8 <= length:
            movie.seek(at)
            header = movie.read(16)
            size = struct.unpack(">I", header[:4])[0]
            if size == 1:
                size = struct.unpack(">Q", header[8:16])[0]
            elif size == 0:
                size = length - at
            last = (at, size)
            count += 1
            at += size
    return count, last[0], last[1]


if __name__ == "__main__":
    print(*last_atom(sys.argv[1]))
