#!/usr/bin/env python3
"""Compare two builds of a file and print the ranges that changed.

    compare_builds.py OLD NEW

Exits 0 when the files are the same, 1 when they differ, 2 on trouble.
"""
import argparse
import sys

import quillmar_hexview as hx


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    args = parser.parse_args()
    try:
        with hx.open(args.old) as f:
            result = f.compare(args.new)
    except hx.Error as failure:
        print(f"compare_builds: {failure}", file=sys.stderr)
        return 2
    for start, end in result.ranges():
        print(f"{start:#010x}-{end - 1:#010x}  {end - start} byte{'' if end - start == 1 else 's'}")
    if result.size != result.other_size:
        print(f"size {result.size} -> {result.other_size}")
    if result.capped:
        print(f"only the first {hx.MAX_RUNS} runs are shown")
    if result.identical:
        print("identical")
    return 0 if result.identical else 1


if __name__ == "__main__":
    sys.exit(main())
