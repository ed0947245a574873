"""Each example script, run as a user runs it, on a small fixture."""
from __future__ import annotations

import os
import struct
import subprocess
import sys
import zlib

import pytest

from conftest import PYTHON_DIR, make_file

EXAMPLES = PYTHON_DIR / "examples"


def run_example(name: str, *arguments) -> subprocess.CompletedProcess:
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, arguments)],
                          env=environment, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("old, new, data, expected, places", [
    ("de ad", "be ef", b"\xde\xad..\xde\xad\xde", b"\xbe\xef..\xbe\xef\xde", 2),
    ("de ?? ef", "00", b"a\xde\x01\xefb\xde\xef\xef", b"a\x00b\x00", 2),
    ("aa", "aa aa", b"\xaa\x01\xaa", b"\xaa\xaa\x01\xaa\xaa", 2),        # the new bytes hold the old
    ("0102", "0a 0b 0c", b"\x01\x02" * 1200, b"\x0a\x0b\x0c" * 1200, 1200),  # several batches of edits
    ("01:02", "ff ff", b"\x01\x02" * 1500, b"\xff" * 3000, 1500),
    ("99", "00", b"nothing", b"nothing", 0),
])
def test_patch_pattern(tmp_path, old, new, data, expected, places):
    source = make_file(tmp_path, "firmware.bin", data)
    done = run_example("patch_pattern.py", source, old, new, tmp_path / "patched.bin")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "patched.bin").read_bytes() == expected
    assert source.read_bytes() == data
    assert done.stdout.startswith(f"{places} place")


def png(width: int, color: bytes) -> bytes:
    def chunk(kind: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    pixels = zlib.compress((b"\x00" + color * width))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, 1, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))


def test_carve_png(tmp_path):
    first, second = png(3, b"\xff\x00\x00"), png(5, b"\x00\x00\xff")
    image = bytes(1000) + first + b"\x89PNG\r\n\x1a\n junk" + bytes(77) + second + b"\x89PNG\r\n\x1a\n"
    source = make_file(tmp_path, "disk.img", image)
    done = run_example("carve_png.py", source, tmp_path / "out")
    assert done.returncode == 0, done.stderr
    second_at = image.index(second)
    carved = sorted(os.listdir(tmp_path / "out"))
    assert carved == sorted([f"png-{1000:#x}.png", f"png-{second_at:#x}.png"])
    assert (tmp_path / "out" / f"png-{1000:#x}.png").read_bytes() == first
    assert (tmp_path / "out" / f"png-{second_at:#x}.png").read_bytes() == second
    assert done.stdout.rstrip().endswith("2 images written")


def test_compare_builds(tmp_path):
    old = make_file(tmp_path, "old.bin", bytes(200))
    new = make_file(tmp_path, "new.bin", bytes(10) + b"\x01" + bytes(89) + b"\x02" * 70 + bytes(30) + b"++")
    done = run_example("compare_builds.py", old, new)
    assert done.returncode == 1, done.stderr
    assert done.stdout.splitlines() == ["0x0000000a-0x0000000a  1 byte", "0x00000064-0x000000a9  70 bytes",
                                        "0x000000c8-0x000000c9  2 bytes", "size 200 -> 202"]
    same = run_example("compare_builds.py", old, old)
    assert (same.returncode, same.stdout) == (0, "identical\n")
    missing = run_example("compare_builds.py", old, tmp_path / "missing.bin")
    assert missing.returncode == 2 and "cannot open compare file" in missing.stderr


def test_entropy_chart(tmp_path):
    source = make_file(tmp_path, "mixed.bin", bytes(64 * 1024) + os.urandom(64 * 1024))
    done = run_example("entropy_chart.py", source, "--regions", "2", "--width", "40")
    assert done.returncode == 0, done.stderr
    zeros, noise, profile = done.stdout.splitlines()
    assert zeros == "0x0000000000 0.00 |"
    offset, value, chart = noise.split(" ", 2)
    assert offset == "0x0000010000" and float(value) > 7.9 and chart in ("|" + "#" * 39, "|" + "#" * 40)
    assert profile.startswith("engine profile of 131072 bytes")
    missing = run_example("entropy_chart.py", tmp_path / "missing.bin")
    assert missing.returncode == 1 and "cannot open file" in missing.stderr


def test_the_readme_example(tmp_path):
    readme = (PYTHON_DIR.parent / "README.md").read_text()
    code = readme.split("## Python\n", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    firmware = bytearray(os.urandom(0x200))
    firmware[0x40:0x46] = b"MZ\x90\x00PE"
    make_file(tmp_path, "firmware.bin", bytes(firmware))
    environment = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=environment, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    patched = bytes(firmware[:0x40] + b"MZ\x00\x00PE" + firmware[0x46:])
    patched = (b"\xca\xfe" + patched)[:0x100] + (b"\xca\xfe" + patched)[0x110:]
    assert (tmp_path / "firmware-patched.bin").read_bytes() == patched
    assert done.stdout.startswith("1 hits, last at 64\n0x40 ")


def test_carve_png_searches_on_past_the_kept_hits(tmp_path):
    last = png(2, b"\x10\x20\x30")
    image = b"\x89PNG\r\n\x1a\n" * (10000 + 5) + last
    done = run_example("carve_png.py", make_file(tmp_path, "many.img", image), tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert os.listdir(tmp_path / "out") == [f"png-{len(image) - len(last):#x}.png"]
