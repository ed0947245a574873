"""The summary, the entropy profile and compares."""
from __future__ import annotations

import errno
import math

import pytest

import quillmar_hexview as hx
from conftest import SAMPLE, make_file


def test_info_follows_the_edits(sample):
    with hx.open(sample, writable=True) as f:
        info = f.info()
        assert info == hx.Info(str(sample), len(SAMPLE), True, info.entropy_avg, False, 0)
        assert 0 < info.entropy_avg <= 8
        f.insert(0, b"abc")
        f.delete(10, 2)
        info = f.info()
        assert (info.size, info.modified, info.staged_bytes) == (len(SAMPLE) + 1, True, 5)


@pytest.mark.parametrize("data, average", [
    (b"", 0.0),
    (bytes(4096), 0.0),
    (bytes(range(256)) * 64, 8.0),
])
def test_entropy_profile(tmp_path, data, average):
    with hx.open(make_file(tmp_path, "e.bin", data)) as f:
        profile = f.entropy()
        assert math.isclose(profile.average, average, abs_tol=1e-3)
        assert profile.minimum <= profile.average <= profile.maximum
        assert len(profile.buckets) == 16
        assert profile.sampled_bytes == len(data) // 8 * 8
        assert sum(profile.buckets) == (profile.sampled_bytes and
                                        sum(1 for b in data[:profile.sampled_bytes] if b % 16 == 0))


def test_compare_gives_the_runs_and_ranges(tmp_path):
    base = bytes(300)
    changed = bytearray(base)
    changed[5] = 1
    changed[100:230] = b"\xff" * 130  # longer than a run: three runs, one range
    this = make_file(tmp_path, "a.bin", base)
    other = make_file(tmp_path, "b.bin", bytes(changed) + b"\x07")
    with hx.open(this) as f:
        result = f.compare(other)
    assert [(run.offset, run.length) for run in result] == [(5, 1), (100, 64), (164, 64), (228, 2), (300, 1)]
    assert result[1].this == bytes(64) and result[1].other == b"\xff" * 64
    assert result.ranges() == [(5, 6), (100, 230), (300, 301)]
    assert (result.size, result.other_size) == (300, 301)
    assert not result.identical and not result.capped and result.other == str(other)


def test_compare_with_itself_and_with_trailing_zeros(sample, tmp_path):
    padded = make_file(tmp_path, "padded.bin", SAMPLE + bytes(10))
    with hx.open(sample) as f:
        assert f.compare(sample).identical
        result = f.compare(padded)  # zeros past the end compare equal
        assert len(result) == 0 and not result.identical


def test_compare_sees_the_file_as_on_disk(sample):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"J")
        assert f.compare(sample).identical


def test_compare_failures(sample, tmp_path):
    with hx.open(sample) as f:
        missing = tmp_path / "missing.bin"
        with pytest.raises(hx.FileError) as caught:
            f.compare(missing)
        assert caught.value.errno == errno.ENOENT and caught.value.filename == str(missing)
        assert str(caught.value).startswith("cannot open compare file: ")
        with pytest.raises(hx.ArgumentTypeError):
            f.compare(None)


def test_the_run_table_is_capped(tmp_path):
    count = hx.MAX_RUNS + 3
    this = make_file(tmp_path, "a.bin", bytes(2 * count))
    other = make_file(tmp_path, "b.bin", b"\x00\x01" * count)
    with hx.open(this) as f:
        result = f.compare(other)
    assert len(result) == hx.MAX_RUNS and result.capped
    assert result[-1].offset == 2 * hx.MAX_RUNS - 1
