#!/usr/bin/env python3
"""Puts a movie back from its Lanemark backup and moves the backup out of the way.

Usage: restore.py MOVIE   (does nothing when there is no backup)
"""
import os
import plistlib
import sys


def restore(movie):
    backup_path = movie + ".lanemark-backup"
    if not os.path.exists(backup_path):
        return
    with open(backup_path, "rb") as f:
        backup = plistlib.load(f)
    with open(movie, "r+b") as f:
        f.seek(backup["offset"])
        f.write(backup["metadata"])
        f.truncate(backup["originalSize"])
        # Flushed here so that the measured save does not pay for this write.
        f.flush()
        os.fsync(f.fileno())
    os.remove(backup_path)
    os.sync()


if __name__ == "__main__":
    restore(sys.argv[1])
