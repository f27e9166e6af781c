#!/usr/bin/env python3
"""Sums the bytes a traced process read from and wrote to each file.

Reads an `strace -f -y -s 0` log (read, write, pread64, pwrite64, pwritev) and
prints one JSON object: {path: {"read": n, "write": n, "reads": calls, "writes": calls}}.
A backup written under a temporary name and renamed is counted under the final
name, NAME.lanemark-backup; one written to a file that has no name yet
(O_TMPFILE) under FOLDER/(unnamed).
"""
import json
import os
import re
import sys

TEMPORARY_BACKUP = re.compile(r"^\.(.*\.lanemark-backup)\.[^.]+$")
# strace -y shows a file without a name as <FOLDER/#INODE>(deleted).
UNNAMED = re.compile(r"^#\d+$")
CALL = re.compile(r'^(?:\[pid +\d+\] |\d+ +)?(pread64|pwrite64|pwritev|read|write)\(\d+<(.*?)>(?:\(deleted\))?, .* = (-?\d+)')

totals = {}
with open(sys.argv[1], errors="replace") as log:
    for line in log:
        match = CALL.match(line)
        if not match or int(match.group(3)) < 0:
            continue
        call, path, count = match.group(1), match.group(2), int(match.group(3))
        temporary = TEMPORARY_BACKUP.match(os.path.basename(path))
        if temporary:
            path = os.path.join(os.path.dirname(path), temporary.group(1))
        elif UNNAMED.match(os.path.basename(path)):
            path = os.path.join(os.path.dirname(path), "(unnamed)")
        entry = totals.setdefault(path, {"read": 0, "write": 0, "reads": 0, "writes": 0})
        kind = "read" if "read" in call else "write"
        entry[kind] += count
        entry[kind + "s"] += 1
json.dump(totals, sys.stdout, indent=1)
