"""Cancel and progress of the long calls (search, compare, save).

The binding's side is checked against a stand-in for the engine's additions,
which makes the long calls slow and cancellable; the real additions are
checked when the library under test has them."""
from __future__ import annotations

import json
import os
import threading
import time

import pytest

import quillmar_hexview as hx
from conftest import SAMPLE

IDLE = b'{"op":"","done":0,"total":0,"hits":0}'


class SlowLibrary:
    """The real library, with long calls that take a second in 100 steps,
    report progress and stop on cancel, as the engine's additions promise."""

    def __init__(self, real) -> None:
        self._real = real
        self._running = threading.Event()
        self._cancel = threading.Event()
        self._errors = threading.local()
        self._progress = IDLE
        self.hx_search = self._slow("search", real.hx_search)
        self.hx_compare = self._slow("compare", real.hx_compare)
        self.hx_save = self._slow("save", real.hx_save)

    def __getattr__(self, name):
        return getattr(self._real, name)

    def hx_cancel(self) -> int:
        if not self._running.is_set():
            return -1
        self._cancel.set()
        return 0

    def hx_progress_json(self) -> bytes:
        return self._progress

    def hx_last_error(self) -> bytes:
        return getattr(self._errors, "text", None) or self._real.hx_last_error()

    def _slow(self, op, real_call):
        def call(*arguments):
            self._errors.text = None
            self._cancel.clear()
            self._running.set()
            try:
                for step in range(1, 101):
                    self._progress = json.dumps({"op": op, "done": step, "total": 100, "hits": step // 10}).encode()
                    if self._cancel.wait(0.01):
                        self._errors.text = b"cancelled"
                        return -1
                return real_call(*arguments)
            finally:
                self._running.clear()
                self._progress = IDLE
        return call


@pytest.fixture
def slow_library():
    real = hx._native.library()
    hx._native.use_library(SlowLibrary(real))
    yield
    hx._native.use_library(real)


LONG_CALLS = {
    "search": lambda f, **kw: f.search("hello", "ascii", **kw),
    "compare": lambda f, **kw: f.compare(f.path, **kw),
    "save": lambda f, **kw: f.save(os.path.join(os.path.dirname(f.name), "copy.bin"), **kw),
}


@pytest.mark.parametrize("op", LONG_CALLS)
def test_cancel_from_another_thread(slow_library, sample, op):
    with hx.open(sample, writable=True) as f:
        f.write(0, b"J")
        answers = []
        timer = threading.Timer(0.2, lambda: answers.append(hx.cancel()))
        timer.start()
        began = time.monotonic()
        with pytest.raises(hx.Cancelled, match="^cancelled"):
            LONG_CALLS[op](f)
        timer.join()
        assert answers == [True] and time.monotonic() - began < 0.8
        assert len(f.staged()) == 1  # a cancelled save keeps the edits
        assert hx.cancel() is False  # nothing runs now
        LONG_CALLS[op](f)  # the next one runs to its end


@pytest.mark.parametrize("op", LONG_CALLS)
def test_progress_callback_sees_the_call_advance(slow_library, sample, op):
    seen = []
    with hx.open(sample, writable=True) as f:
        f.write(0, b"J")
        result = LONG_CALLS[op](f, progress=seen.append)
    assert len(seen) >= 3
    assert {p.op for p in seen} == {op}
    assert [p.done for p in seen] == sorted(p.done for p in seen)
    assert all(0 < p.fraction <= 1 for p in seen)
    if op == "search":
        assert [hit.offset for hit in result] == [0, 13]


def test_a_callback_returning_false_cancels(slow_library, sample):
    with hx.open(sample) as f:
        with pytest.raises(hx.Cancelled):
            f.search("hello", "ascii", progress=lambda p: p.done < 30)
        assert f.search("hello", "ascii").count == 2


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_an_exception_in_the_callback_cancels_and_propagates(slow_library, sample, error):
    def callback(progress):
        raise error("stop")
    with hx.open(sample) as f:
        began = time.monotonic()
        with pytest.raises(error, match="stop"):
            f.compare(f.path, progress=callback)
        assert time.monotonic() - began < 0.8
        assert hx.progress() == hx.Progress("", 0, 0, 0)  # the call has ended
        assert f.read(0, 5) == SAMPLE[:5]


def test_without_the_additions_long_calls_run_plainly(sample):
    if hx.can_cancel():
        pytest.skip("the library has cancel and progress")
    assert hx.progress() is None
    with pytest.raises(hx.StateError, match="cannot cancel"):
        hx.cancel()
    with hx.open(sample) as f:
        assert f.search("hello", "ascii", progress=lambda p: pytest.fail("no progress to give")).count == 2


# ---- the engine's own additions -------------------------------------------------

needs_additions = pytest.mark.skipif(not hasattr(hx._native.library(), "hx_cancel"),
                                     reason="the library has no hx_cancel / hx_progress_json yet")


@pytest.fixture
def big_sparse(tmp_path):
    path = tmp_path / "sparse.bin"
    with open(path, "wb") as out:
        out.truncate(4 << 30)
        out.seek((4 << 30) - 4)
        out.write(b"\xca\xfe")
    return path


@needs_additions
def test_engine_cancels_a_search_from_another_thread(big_sparse):
    with hx.open(big_sparse) as f:
        timer = threading.Timer(0.3, hx.cancel)
        timer.start()
        # A pattern that matches zeros reads the holes too (seconds); one
        # that cannot would skip them and end at once.
        with pytest.raises(hx.Cancelled, match="^cancelled"):
            f.search("00" * 256)
        timer.join()
        assert f.search("ca fe", start=(4 << 30) - 16).last == (4 << 30) - 4


@needs_additions
def test_engine_progress_goes_up_to_the_total(big_sparse):
    seen = []
    with hx.open(big_sparse) as f:
        result = f.search("ca fe", progress=seen.append)
    assert result.count == 1
    assert all(p.op == "search" for p in seen)
    assert [p.done for p in seen] == sorted(p.done for p in seen)
    assert all(0 <= p.done <= p.total for p in seen)
