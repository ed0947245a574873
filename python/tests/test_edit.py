"""Staging edits (bytes or hex in), reading them back (bytes out), saving."""
from __future__ import annotations

import os
import random

import pytest

import quillmar_hexview as hx
from conftest import SAMPLE, make_file


class Model:
    """The content the edits should leave, kept the plain way."""

    def __init__(self, data: bytes) -> None:
        self.data = bytearray(data)

    def write(self, offset: int, data: bytes) -> None:
        data = data[:max(0, len(self.data) - offset)]  # never longer
        self.data[offset:offset + len(data)] = data

    def insert(self, offset: int, data: bytes) -> None:
        offset = min(offset, len(self.data))
        self.data[offset:offset] = data

    def delete(self, offset: int, length: int) -> None:
        del self.data[offset:offset + length]


def random_edit(rng: random.Random, size: int):
    op = rng.choice(["write", "insert", "delete"])
    offset = rng.randrange(0, size + 40)
    if op == "delete":
        return op, offset, rng.randrange(0, 40)
    data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
    return op, offset, data


@pytest.mark.parametrize("seed", range(6))
def test_read_across_edits_matches_a_plain_model(tmp_path, seed):
    rng = random.Random(seed)
    original = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 15, 16, 17, 5000])))
    path = make_file(tmp_path, "model.bin", original)
    model = Model(original)
    with hx.open(path, writable=True) as f:
        for _ in range(60):
            op, offset, argument = random_edit(rng, len(model.data))
            getattr(f, op)(offset, argument)
            getattr(model, op)(offset, argument)
            assert f.size == len(model.data)
            start = rng.randrange(0, len(model.data) + 20)
            length = rng.randrange(0, 20000)
            assert f.read(start, length) == bytes(model.data[start:start + length])
        assert f.read() == bytes(model.data)
        f.save(tmp_path / "copy.bin")
    assert (tmp_path / "copy.bin").read_bytes() == bytes(model.data)
    assert path.read_bytes() == original


@pytest.mark.parametrize("data", [b"\xde\xad", bytearray(b"\xde\xad"), memoryview(b"\xde\xad"),
                                  "de ad", "DEAD", "de:ad", "de,ad", "de\tad"])
def test_bytes_and_hex_text_stage_the_same(sample, data):
    with hx.open(sample, writable=True) as f:
        f.write(1, data)
        f.insert(0, data)
        assert f.read(0, 5) == b"\xde\xadh\xde\xad"
        assert [(e.op, e.offset, e.length, e.data) for e in f.staged()] == [
            ("write", 1, 2, b"\xde\xad"), ("insert", 0, 2, b"\xde\xad")]


def test_read_clips_to_the_end_and_takes_any_window(sample):
    with hx.open(sample) as f:
        assert f.read() == SAMPLE
        assert f.read(60) == SAMPLE[60:]
        assert f.read(60, 100) == SAMPLE[60:]
        assert f.read(64) == b"" and f.read(1000, 5) == b""
        assert f.read(3, 0) == b""
        assert f.read(7, 13) == SAMPLE[7:20]


def test_large_read_spans_several_engine_pages(tmp_path):
    data = os.urandom(16000 * 2 + 37)
    path = make_file(tmp_path, "big.bin", data)
    with hx.open(path, writable=True) as f:
        assert f.read() == data
        f.insert(16000, b"X")
        assert f.read(15990, 20) == data[15990:16000] + b"X" + data[16000:16009]


def test_write_past_the_end_is_dropped_and_empty_data_stages_nothing(sample):
    with hx.open(sample, writable=True) as f:
        f.write(62, b"ABCD")
        f.write(100, b"Z")
        f.write(0, b"")
        f.insert(5, "")
        assert f.size == len(SAMPLE)
        assert f.read(60) == SAMPLE[60:62] + b"AB"
        assert [e.op for e in f.staged()] == ["write", "write"]


def test_insert_past_the_end_appends_and_delete_is_cut_short(sample):
    with hx.open(sample, writable=True) as f:
        f.insert(10**9, b"!")
        assert f.read(60) == SAMPLE[60:] + b"!"
        f.delete(60, 10**6)
        assert f.size == 60 and f.read() == SAMPLE[:60]
        f.delete(0, 0)
        assert f.staged()[-1] == hx.Edit("delete", 0, 0, b"")


@pytest.mark.parametrize("call, error, message", [
    (lambda f: f.write(0, "zz"), hx.ArgumentError, "invalid hex bytes: zz"),
    (lambda f: f.write(0, "d"), hx.ArgumentError, "invalid hex bytes: d"),
    (lambda f: f.insert(0, "de ??"), hx.ArgumentError, "wildcards not allowed in patch bytes"),
    (lambda f: f.write(0, "de\0ad"), hx.ArgumentError, "hex text contains a NUL character"),
    (lambda f: f.write(-1, b"a"), hx.ArgumentError, "negative offset"),
    (lambda f: f.insert(2**63, b"a"), hx.ArgumentError, "offset too large"),
    (lambda f: f.delete(0, -1), hx.ArgumentError, "negative length"),
    (lambda f: f.delete(-5, 1), hx.ArgumentError, "negative offset"),
    (lambda f: f.write(0, 5), hx.ArgumentTypeError, "data must be bytes or hex text"),
    (lambda f: f.write("0", b"a"), hx.ArgumentTypeError, "offset must be an int"),
    (lambda f: f.delete(0, 1.5), hx.ArgumentTypeError, "length must be an int"),
    (lambda f: f.read(-1), hx.ArgumentError, "negative offset"),
    (lambda f: f.rows(0, 1, "bin"), hx.ArgumentError, "unknown row mode: bin"),
])
def test_bad_edits_raise_and_stage_nothing(sample, call, error, message):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"H")
        with pytest.raises(error) as caught:
            call(f)
        assert str(caught.value).startswith(message)
        assert isinstance(caught.value, ValueError)
        assert len(f.staged()) == 1


def test_the_edit_cap_is_a_state_error(sample):
    with hx.open(sample, writable=True) as f:
        for i in range(hx.MAX_EDITS):
            f.write(i % 64, b"x")
        with pytest.raises(hx.StateError, match=r"staged edits cap reached \(1000\)"):
            f.insert(0, b"y")
        assert len(f.staged()) == hx.MAX_EDITS
        f.discard()
        assert f.staged() == [] and f.read() == SAMPLE


def test_staged_shows_the_first_64_bytes_of_long_edits(sample):
    with hx.open(sample, writable=True) as f:
        f.insert(3, bytes(range(100)))
        edit, = f.staged()
        assert (edit.op, edit.offset, edit.length, edit.data) == ("insert", 3, 100, bytes(range(64)))


def test_save_in_place_and_save_as(sample, tmp_path):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"J")
        f.save(tmp_path / "copy.bin")  # the edits go with the copy
        assert f.staged() == [] and f.read(0, 1) == b"h"
        f.delete(0, 6)
        f.save()
        assert f.staged() == [] and f.read() == SAMPLE[6:] and f.size == len(SAMPLE) - 6
        f.write(0, b"W")  # the file is open again as saved, still writable
        assert f.read(0, 2) == b"Wo"
    assert (tmp_path / "copy.bin").read_bytes() == b"J" + SAMPLE[1:]
    assert sample.read_bytes() == SAMPLE[6:]


def test_a_failed_save_keeps_the_edits(sample, tmp_path):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"J")
        target = tmp_path / "no-folder" / "copy.bin"
        with pytest.raises(hx.FileError) as caught:
            f.save(target)
        assert caught.value.filename == str(target)
        assert len(f.staged()) == 1 and f.read(0, 1) == b"J"
        with pytest.raises(hx.ArgumentError, match="empty path"):
            f.save("")  # never taken as "in place"
    assert sample.read_bytes() == SAMPLE


def test_rows_in_each_mode(sample):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"H")
        hex_rows = f.rows(0, 5)
        assert [row.offset for row in hex_rows] == [0, 16, 32, 48, 64]
        assert hex_rows[0].hex == "48 65 6c 6c 6f 20 77 6f  72 6c 64 2c 20 68 65 6c"
        assert hex_rows[0].text == "Hello world, hel"
        assert hex_rows[4].data == bytes(16)  # past the end: zeros
        assert b"".join(row.data for row in hex_rows[:4]) == b"H" + SAMPLE[1:]
        raw = f.rows(3, 2, "raw")
        assert raw[0] == hx.Row(3, SAMPLE[3:19].hex(), "") and raw[1].data == SAMPLE[19:35]
        printable = f.rows(16, 2, "printable")
        assert [row.text for row in printable] == ["lo hexview! MZ", "0123456789:;<=>?"]
        assert f.rows(0, 0) == []


def test_rows_beyond_one_engine_page(tmp_path):
    data = os.urandom(16 * 1500)
    with hx.open(make_file(tmp_path, "rows.bin", data)) as f:
        rows = f.rows(0, 1500, "raw")
        assert len(rows) == 1500 and b"".join(row.data for row in rows) == data
