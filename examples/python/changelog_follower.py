#!/usr/bin/env python3
"""A changelog follower: prints the records of an MDT's changelog as they
come and acknowledges them for its changelog reader, so that the metadata
server can drop them.

    changelog_follower.py MDT READER [--once] [--interval SECONDS]

READER is a registered changelog reader ("cl1"; see
lustreapi.register_changelog). --once stops when every record is read.
"""
import argparse
import sys

import lustreapi


def show(record):
    when = record.time.strftime("%Y-%m-%d %H:%M:%S")
    name = f" {record.name}" if record.name else ""
    print(f"{record.index} {record.type_name} {when} {record.target}{name}", flush=True)


def follow(mdt, reader, once, interval):
    """Reads, prints and acknowledges; returns the number of records."""
    seen = 0
    unacknowledged = None  # the last record printed and not yet acknowledged
    # Without follow the reader ends after the last record; with it, next()
    # gives None whenever interval seconds pass without a record.
    with lustreapi.ChangelogReader(mdt, follow=not once) as changelog:
        while True:
            record = changelog.next(timeout=interval)
            if record is not None:
                show(record)
                seen += 1
                unacknowledged = record.index
            # Acknowledged when idle, and every 1000 records while busy.
            if unacknowledged is not None and (record is None or seen % 1000 == 0):
                lustreapi.clear_changelog(mdt, reader, unacknowledged, timeout=60)
                unacknowledged = None
            if record is None and once:
                return seen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mdt", help="the MDT, for example lustre-MDT0000")
    parser.add_argument("reader", help="the changelog reader to acknowledge for, for example cl1")
    parser.add_argument("--once", action="store_true", help="stop when every record is read")
    parser.add_argument("--interval", type=float, default=1.0, help="acknowledge after this many idle seconds (1)")
    args = parser.parse_args()
    seen = follow(args.mdt, args.reader, args.once, args.interval)
    print(f"{seen} records acknowledged", file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except lustreapi.LustreError as e:
        print(f"changelog_follower: {e.strerror}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
