#!/usr/bin/env python3
"""Find every PNG image in a disk image (or any file) and write each out.

    carve_png.py IMAGE OUTDIR

Each image is found by its signature and followed chunk by chunk to its
IEND chunk; it goes to OUTDIR/png-<offset>.png. Signatures that do not start
a whole image are skipped.
"""
import argparse
import os
import struct
import sys

import quillmar_hexview as hx

SIGNATURE = b"\x89PNG\r\n\x1a\n"
MAX_CHUNK = 1 << 31  # larger chunks are not PNG


def png_length(f, offset):
    """Length of the PNG image at ``offset``, or None when it is not whole."""
    position = offset + len(SIGNATURE)
    while True:
        header = f.read(position, 8)
        if len(header) < 8:
            return None
        length, kind = struct.unpack(">I4s", header)
        if length >= MAX_CHUNK or not kind.isalpha():
            return None
        position += 12 + length  # length, type, data, CRC
        if kind == b"IEND":
            return position - offset if position <= f.size else None


def signatures(f):
    """Every signature's offset, searching on past the kept hits."""
    start = 0
    while True:
        hits = f.search(SIGNATURE, "hex", start)
        yield from (hit.offset for hit in hits)
        if not hits.capped:
            return
        start = hits[-1].offset + len(SIGNATURE)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("outdir")
    args = parser.parse_args()
    found = 0
    try:
        os.makedirs(args.outdir, exist_ok=True)
        with hx.open(args.image) as f:
            for offset in signatures(f):
                length = png_length(f, offset)
                if length is None:
                    continue
                name = os.path.join(args.outdir, f"png-{offset:#x}.png")
                with open(name, "wb") as out:
                    out.write(f.read(offset, length))
                print(f"{name}: {length} bytes at {offset:#x}")
                found += 1
    except (hx.Error, OSError) as failure:
        sys.exit(f"carve_png: {failure}")
    print(f"{found} image{'' if found == 1 else 's'} written")


if __name__ == "__main__":
    main()
