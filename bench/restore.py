#!/usr/bin/env python3
"""Puts a movie back from its Lanemark backup and moves the backup out of the way.

Usage: restore.py MOVIE   (does nothing when there is no backup)
"""
import os
import plistlib
import sys

movie = sys.argv[1]
backup_path = movie + ".lanemark-backup"
if os.path.exists(backup_path):
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
