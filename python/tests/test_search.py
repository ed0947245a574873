"""Searching: every mode, the UTF-16LE encoding, hits and their contexts."""
from __future__ import annotations

import pytest

import quillmar_hexview as hx
from conftest import SAMPLE, make_file


@pytest.mark.parametrize("pattern, mode, offsets", [
    ("68 65 6c 6c 6f", "hex", [0, 13]),
    ("68 ?? 6c", "hex", [0, 13]),
    (b"hello", "hex", [0, 13]),
    ("hello", "ascii", [0, 13]),
    (b"MZ\x00\x00", "ascii", [28]),           # a NUL goes through as bytes
    ("MZ", "ascii", [28]),
    ("Hello", "ascii", []),                     # case-sensitive
    (bytes(range(0x30, 0x34)), "ascii", [32]),
])
def test_modes_find_the_hits(sample, pattern, mode, offsets):
    with hx.open(sample) as f:
        result = f.search(pattern, mode)
        assert [hit.offset for hit in result] == offsets
        assert result.count == len(result) == len(offsets)
        assert result.last == (offsets[-1] if offsets else None)
        assert not result.capped and result.mode == mode


@pytest.mark.parametrize("text", ["Zürich", "日本語", "a😀b", "plain"])
def test_utf16_encodes_any_text_as_utf16le(tmp_path, text):
    encoded = text.encode("utf-16-le")
    path = make_file(tmp_path, "utf16.bin", b"\x01" * 7 + encoded + b"\x00" + encoded[:-1])
    with hx.open(path) as f:
        result = f.search(text, "utf16")
        assert [hit.offset for hit in result] == [7]
        assert result[0].context[7:][:len(encoded)] == encoded


def test_utf16_takes_a_str_and_the_pattern_limit_counts_bytes(sample):
    with hx.open(sample) as f:
        with pytest.raises(hx.ArgumentTypeError):
            f.search(b"hi", "utf16")
        assert f.search("x" * (hx.MAX_PATTERN_BYTES // 2), "utf16").count == 0
        with pytest.raises(hx.ArgumentError, match="empty or too-long utf16 pattern"):
            f.search("x" * (hx.MAX_PATTERN_BYTES // 2 + 1), "utf16")


def test_start_skips_earlier_hits(sample):
    with hx.open(sample) as f:
        assert [h.offset for h in f.search("hello", "ascii", start=1)] == [13]
        assert f.search("hello", "ascii", start=10**12).count == 0


def test_search_sees_the_file_as_on_disk(sample):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"J")
        assert f.search("hello", "ascii")[0].offset == 0


def test_hit_contexts(sample):
    with hx.open(sample) as f:
        result = f.search("MZ", "ascii")
        hit = result[0]
        assert hit.context_start == 12
        assert hit.context == SAMPLE[12:46]
        assert hit.context_ascii == "".join(chr(b) if 0x20 <= b < 0x7f else "." for b in SAMPLE[12:46])
        first = f.search("hello", "ascii")[0]
        assert first.context_start == 0 and first.context == SAMPLE[:21]


def test_hits_of_an_earlier_search_lose_their_contexts(sample):
    with hx.open(sample) as f:
        old = f.search("hello", "ascii")
        f.search("MZ", "ascii")
        assert old[1].offset == 13  # the offsets stay
        with pytest.raises(hx.StateError, match="earlier search"):
            old[1].context
    with pytest.raises(hx.StateError, match="file is closed"):
        old[0].context


def test_indexing_like_a_sequence(sample):
    with hx.open(sample) as f:
        result = f.search("l", "ascii")
        offsets = [i for i, b in enumerate(SAMPLE) if b == ord("l")]
        assert len(result) == len(offsets) == 7
        assert result[-1] == result[6] and result[-1].offset == result.last == offsets[-1]
        assert [h.offset for h in result[1:3]] == offsets[1:3]
        with pytest.raises(IndexError):
            result[7]


def test_more_hits_than_are_kept(tmp_path):
    path = make_file(tmp_path, "many.bin", b"ab" * (hx.MAX_STORED_HITS + 5))
    with hx.open(path) as f:
        result = f.search("ab", "ascii")
        assert result.count == hx.MAX_STORED_HITS + 5 and len(result) == hx.MAX_STORED_HITS
        assert result.capped
        assert result[-1].offset == 2 * (hx.MAX_STORED_HITS - 1)
        assert result.last == 2 * (hx.MAX_STORED_HITS + 4)


@pytest.mark.parametrize("pattern, mode, error, message", [
    ("zz", "hex", hx.ArgumentError, "invalid hex pattern: zz"),
    ("", "hex", hx.ArgumentError, "invalid hex pattern: "),
    ("00" * (hx.MAX_PATTERN_BYTES + 1), "hex", hx.ArgumentError, "hex pattern too long"),
    ("", "ascii", hx.ArgumentError, "empty or too-long ascii pattern"),
    (b"", "hex", hx.ArgumentError, "empty or too-long hex pattern"),
    ("a" * (hx.MAX_PATTERN_BYTES + 1), "ascii", hx.ArgumentError, "empty or too-long ascii pattern"),
    ("", "utf16", hx.ArgumentError, "empty or too-long utf16 pattern"),
    ("ab", "regex", hx.ArgumentError, "unknown search mode: regex (use hex|ascii|utf16)"),
    ("a\0", "hex", hx.ArgumentError, "pattern contains a NUL character"),
    (5, "hex", hx.ArgumentTypeError, "pattern must be str or bytes"),
])
def test_bad_patterns(sample, pattern, mode, error, message):
    with hx.open(sample) as f:
        with pytest.raises(error) as caught:
            f.search(pattern, mode)
        assert str(caught.value).startswith(message)
        assert isinstance(caught.value, ValueError)
