#!/usr/bin/env python3
"""Show a file's entropy profile as a text chart.

    entropy_chart.py FILE [--regions N] [--width W]

One bar per region of the file (entropy in bits per byte of a sample read
from the region's start: text sits near 4-5, code near 6, compressed or
encrypted data near 8), then the engine's profile of the first blocks.
"""
import argparse
import collections
import math
import sys

import quillmar_hexview as hx

SAMPLE_BYTES = 64 * 1024


def entropy(data):
    total = len(data)
    return sum(n / total * math.log2(total / n) for n in collections.Counter(data).values())


def bar(value, width):
    return "#" * round(value / 8 * width)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--regions", type=int, default=16)
    parser.add_argument("--width", type=int, default=48)
    args = parser.parse_args()
    try:
        with hx.open(args.file) as f:
            size = f.size
            regions = max(1, min(args.regions, size))
            for index in range(regions):
                offset = size * index // regions
                value = entropy(f.read(offset, SAMPLE_BYTES))
                print(f"{offset:#012x} {value:4.2f} |{bar(value, args.width)}")
            profile = f.entropy()
    except hx.Error as failure:
        sys.exit(f"entropy_chart: {failure}")
    print(f"engine profile of {profile.sampled_bytes} bytes: average {profile.average:.2f}, "
          f"min {profile.minimum:.2f}, max {profile.maximum:.2f}")


if __name__ == "__main__":
    main()
