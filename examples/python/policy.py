#!/usr/bin/env python3
"""A policy script: archive the files under a directory that nobody changed
for N days, then release the archived ones larger than a size.

    policy.py DIR [--days N] [--release-over BYTES] [--archive ID]

Prints a progress line per batch and a summary; exits 1 when a file failed.
"""
import argparse
import errno
import os
import stat
import sys
import time

import lustreapi
from lustreapi import HsmAction, HsmStates

BATCH = 1000  # files per hsm_request call


def candidates(top, days, release_over):
    """(to_archive, to_release): regular files untouched for days, and
    archived, clean, resident files over release_over bytes."""
    cutoff = time.time() - days * 86400
    files = []
    for root, _dirs, names in os.walk(top):
        for name in names:
            path = os.path.join(root, name)
            try:
                st = os.lstat(path)
            except OSError as e:
                print(f"skipped {path}: {e.strerror}", file=sys.stderr)
                continue
            if stat.S_ISREG(st.st_mode):
                files.append((path, st))
    archive, release = [], []
    # Each file's state, or the error that kept it from being read.
    for (path, st), state in zip(files, lustreapi.hsm_states([path for path, _ in files])):
        if isinstance(state, OSError):  # a LustreError, by errno (FileNotFoundError, ...)
            print(f"skipped {path}: {state.strerror}", file=sys.stderr)
            continue
        states = state.states
        if states & (HsmStates.NOARCHIVE | HsmStates.RELEASED | HsmStates.LOST):
            continue
        if (not states & HsmStates.ARCHIVED or states & HsmStates.DIRTY) and st.st_mtime < cutoff:
            archive.append(path)
        elif states & HsmStates.ARCHIVED and not states & (HsmStates.DIRTY | HsmStates.NORELEASE) \
                and st.st_size > release_over:
            release.append(path)
    return archive, release


def request(paths, action, archive_id):
    """Asks for action on paths in batches; returns the number of failures."""
    failed = 0
    for start in range(0, len(paths), BATCH):
        batch = paths[start:start + BATCH]
        results = lustreapi.hsm_request(batch, action, archive_id)
        for path, result in zip(batch, results):
            if result:
                failed += 1
                print(f"{action.name.lower()} failed for {path}: {os.strerror(-result)}", file=sys.stderr)
        done = min(start + BATCH, len(paths))
        print(f"{action.name.lower()}: {done}/{len(paths)} files requested", flush=True)
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--days", type=float, default=30, help="untouched for this many days (30)")
    parser.add_argument("--release-over", type=int, default=1 << 30, metavar="BYTES",
                        help="release archived files larger than this (1 GiB)")
    parser.add_argument("--archive", type=int, default=0, help="archive id (0: the file's or the default)")
    args = parser.parse_args()

    lustreapi.load()
    archive, release = candidates(args.directory, args.days, args.release_over)
    failed = request(archive, HsmAction.ARCHIVE, args.archive)
    failed += request(release, HsmAction.RELEASE, 0)
    print(f"{len(archive)} to archive, {len(release)} to release, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except lustreapi.LustreError as e:
        print(f"policy: {e.strerror} ({errno.errorcode.get(e.errno, e.errno)})", file=sys.stderr)
        sys.exit(1)
