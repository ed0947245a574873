#!/usr/bin/env python3
"""Replace a byte pattern everywhere it occurs in a file, in a copy.

    patch_pattern.py FILE OLD NEW COPY

OLD and NEW are hex ("de ad be ef"); OLD may use ?? for any byte, and NEW
may be longer or shorter than OLD. FILE is left as it was.
"""
import argparse
import re
import shutil
import sys

import quillmar_hexview as hx


def patch_batch(path, old, new, start):
    """Patch the hits from ``start`` that one batch of edits can hold, save in
    place, and return (places patched, where the next search starts)."""
    old_length = len(re.sub(r"[\s,:]", "", old)) // 2  # two characters a byte, ?? too
    same_length = old_length == len(new)
    with hx.open(path, writable=True) as f:
        hits = f.search(old, "hex", start)
        batch = [hit.offset for hit in hits][:hx.MAX_EDITS if same_length else hx.MAX_EDITS // 2]
        # Last hit first: an edit's offset counts in the content the edits
        # before it leave, and these leave everything before them in place.
        for offset in reversed(batch):
            if same_length:
                f.write(offset, new)
            else:
                f.delete(offset, old_length)
                f.insert(offset, new)
        if batch:
            f.save()
            start = batch[-1] + (len(batch) - 1) * (len(new) - old_length) + len(new)
    return len(batch), start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("old", help="hex bytes to find, ?? for any byte")
    parser.add_argument("new", help="hex bytes to put in their place")
    parser.add_argument("copy", help="where the patched file goes")
    args = parser.parse_args()
    try:
        new = bytes.fromhex(args.new)
        shutil.copyfile(args.file, args.copy)
        total, start = 0, 0
        while True:
            patched, start = patch_batch(args.copy, args.old, new, start)
            total += patched
            if patched == 0:
                break
    except (hx.Error, OSError, ValueError) as failure:
        sys.exit(f"patch_pattern: {failure}")
    print(f"{total} place{'' if total == 1 else 's'} patched in {args.copy}")


if __name__ == "__main__":
    main()
