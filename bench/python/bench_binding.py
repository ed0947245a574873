#!/usr/bin/env python3
"""The Python binding against plain Python and bare ctypes, as ratios
measured in the same run (the best of several rounds each).

    QUILLMAR_HEXVIEW_LIBRARY=build/default /usr/bin/python3 bench/python/bench_binding.py

  read:     f.read() of 64 MiB, against open().read() of the same bytes;
  search:   f.search() on a 1 GiB sparse file with a hit near its end,
            against bytes.find over the file read in 64 MiB chunks, and
            against mmap.find over the file mapped;
  overhead: one binding call (f.size, f.rows(0, 1)) against the bare ctypes
            call it makes (hx_file_size, hx_page).
The files go to a temporary folder (TMPDIR) and are removed afterwards.
"""
import mmap
import os
import pathlib
import sys
import tempfile
import time
import timeit

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))
import quillmar_hexview as hx  # noqa: E402

MIB = 1 << 20
ROUNDS = 3
PATTERN = b"\xca\xfe\xba\xbe\x13\x37"


def best(work, rounds=ROUNDS):
    """The shortest of several timed runs, in seconds."""
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        work()
        times.append(time.perf_counter() - began)
    return min(times)


def report(name, binding, baseline, unit="s"):
    scale = 1e6 if unit == "us" else 1
    print(f"{name:<44} binding {binding * scale:9.3f} {unit}   baseline {baseline * scale:9.3f} {unit}"
          f"   ratio {binding / baseline:8.3g}")


def bench_read(folder):
    path = folder / "read.bin"
    path.write_bytes(os.urandom(64 * MIB))

    def plain():
        with open(path, "rb") as f:
            assert len(f.read()) == 64 * MIB

    with hx.open(path, writable=True) as f:
        report("read 64 MiB", best(lambda: f.read(0, 64 * MIB)), best(plain))
        for i in range(100):
            f.write(i * 600 * 1024, b"\x00")
        report("read 64 MiB with 100 edits staged", best(lambda: f.read(0, 64 * MIB)), best(plain))


def plain_find(path, pattern, chunk=64 * MIB):
    """Every offset of ``pattern`` (not overlapping), reading in chunks."""
    found, carry, base = [], b"", 0
    with open(path, "rb") as f:
        while True:
            block = f.read(chunk)
            if not block:
                return found
            data = carry + block
            at = data.find(pattern)
            while at >= 0:
                found.append(base + at)
                at = data.find(pattern, at + len(pattern))
            keep = min(len(pattern) - 1, len(data))
            if found and found[-1] + len(pattern) > base + len(data) - keep:
                keep = base + len(data) - (found[-1] + len(pattern))
            carry = data[len(data) - keep:] if keep > 0 else b""
            base += len(data) - len(carry)


def mapped_find(path, pattern):
    """Every offset of ``pattern`` (not overlapping), through mmap.find."""
    found = []
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        at = view.find(pattern)
        while at >= 0:
            found.append(at)
            at = view.find(pattern, at + len(pattern))
    return found


def bench_search(folder):
    path = folder / "sparse-1g.bin"
    size = 1 << 30
    with open(path, "wb") as f:
        f.truncate(size)
        f.seek(size - 4096)
        f.write(PATTERN)
    expected = [size - 4096]
    with hx.open(path) as f:
        binding = best(lambda: [h.offset for h in f.search(PATTERN)] == expected or sys.exit("wrong hits"))
    baseline = best(lambda: plain_find(path, PATTERN) == expected or sys.exit("wrong plain hits"))
    mapped = best(lambda: mapped_find(path, PATTERN) == expected or sys.exit("wrong mapped hits"))
    report("search 1 GiB sparse vs bytes.find on reads", binding, baseline)
    report("search 1 GiB sparse vs mmap.find", binding, mapped)


def bench_overhead(folder):
    path = folder / "small.bin"
    path.write_bytes(bytes(range(256)) * 16)
    lib = hx.load_library()
    number = 100000
    with hx.open(path) as f:
        size_binding = min(timeit.repeat(lambda: f.size, number=number, repeat=ROUNDS)) / number
        size_bare = min(timeit.repeat(lib.hx_file_size, number=number, repeat=ROUNDS)) / number
        row_binding = min(timeit.repeat(lambda: f.rows(0, 1), number=number // 10, repeat=ROUNDS)) / (number // 10)
        row_bare = min(timeit.repeat(lambda: lib.hx_page(0, 1, b"hex"), number=number // 10,
                                     repeat=ROUNDS)) / (number // 10)
    report("call: f.size vs hx_file_size", size_binding, size_bare, "us")
    report("call: f.rows(0, 1) vs hx_page(0, 1)", row_binding, row_bare, "us")


def main():
    hx.load_library()
    print(f"python {sys.version.split()[0]}, library {hx._native.library()._name}")
    print("ratio = binding time / baseline time (below 1: the binding is faster)")
    with tempfile.TemporaryDirectory(prefix="hexview-pybench-") as folder:
        folder = pathlib.Path(folder)
        bench_read(folder)
        bench_search(folder)
        bench_overhead(folder)


if __name__ == "__main__":
    main()
