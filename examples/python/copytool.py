#!/usr/bin/env python3
"""A small copytool: archives files into a directory (one file per FID),
restores them from it and removes archived copies.

    copytool.py MOUNT ARCHIVE_DIR [--archive ID] [--count N] [--idle SECONDS]

Serves until N actions are done or nothing arrives for SECONDS (both
optional; without them it serves until interrupted).
"""
import argparse
import errno
import os
import sys

import lustreapi
from lustreapi import CopytoolAction

CHUNK = 1 << 20


def copy(source_fd, target_fd, action, total):
    """Copies source to target from the start, reporting progress."""
    done = 0
    while True:
        chunk = os.read(source_fd, CHUNK)
        if not chunk:
            return done
        os.write(target_fd, chunk)
        action.progress(done, len(chunk), total)
        done += len(chunk)


def serve(ct, item, archive_dir):
    stored = os.path.join(archive_dir, str(item.fid).strip("[]"))
    with ct.begin(item) as action:
        if item.action == CopytoolAction.ARCHIVE:
            fd = action.data_fd()
            try:
                total = os.fstat(fd).st_size
                with open(stored + ".tmp", "wb") as out:
                    done = copy(fd, out.fileno(), action, total)
                os.replace(stored + ".tmp", stored)
            finally:
                os.close(fd)
            action.end(0, done)
        elif item.action == CopytoolAction.RESTORE:
            fd = action.data_fd()
            try:
                with open(stored, "rb") as src:
                    done = copy(src.fileno(), fd, action, os.fstat(src.fileno()).st_size)
            finally:
                os.close(fd)
            action.end(0, done)
        elif item.action == CopytoolAction.REMOVE:
            try:
                os.unlink(stored)
            except FileNotFoundError:
                pass
            action.end()
        else:  # CANCEL, or an action this copytool does not know
            action.end(errval=errno.EOPNOTSUPP)
    print(f"{item.action.name} {item.fid} done", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mount")
    parser.add_argument("archive_dir")
    parser.add_argument("--archive", type=int, default=0, help="archive id to serve (0: every archive)")
    parser.add_argument("--count", type=int, default=0, help="stop after this many actions")
    parser.add_argument("--idle", type=float, default=None, help="stop after this many seconds without an action")
    args = parser.parse_args()

    lustreapi.load()
    served = 0
    with lustreapi.Copytool(args.mount, [args.archive]) as ct:
        while not args.count or served < args.count:
            actions = ct.receive(timeout=args.idle)
            if actions is None:
                break
            for item in actions:
                try:
                    serve(ct, item, args.archive_dir)
                except OSError as e:  # the action was ended with its errno
                    print(f"{item.action.name} {item.fid} failed: {e.strerror}", file=sys.stderr)
                served += 1
    print(f"{served} actions served")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
