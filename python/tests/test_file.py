"""Opening and closing, the one-file rule, loading the library, errors of state."""
from __future__ import annotations

import errno
import gc
import os
import pathlib
import subprocess
import sys

import pytest

import quillmar_hexview as hx
from conftest import PYTHON_DIR, SAMPLE


def test_with_block_opens_and_closes(sample):
    with hx.open(sample) as f:
        assert hx.current_file() is f
        assert not f.closed and not f.writable
        assert f.size == len(SAMPLE)
        assert f.name == str(sample)
    assert f.closed and hx.current_file() is None
    f.close()  # harmless twice


@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode])
def test_paths_of_every_kind(sample, kind):
    with hx.open(kind(str(sample))) as f:
        assert f.read(0, 5) == b"hello"


def test_a_second_open_is_refused_while_one_is_open(sample, tmp_path):
    other = tmp_path / "other.bin"
    other.write_bytes(b"x")
    with hx.open(sample) as first:
        with pytest.raises(hx.StateError, match="another file is open: .*sample.bin"):
            hx.open(other)
        with pytest.raises(hx.StateError):
            hx.open(sample, writable=True)
        assert first.read(0, 5) == b"hello"  # the first is untouched
    with hx.open(other) as second:
        assert second.read() == b"x"


def test_a_file_dropped_unclosed_frees_the_engine(sample):
    hx.open(sample)  # no reference kept: the file is closed when collected
    gc.collect()
    with hx.open(sample) as f:
        assert f.size == len(SAMPLE)


def test_calls_on_a_closed_file_are_refused(sample):
    f = hx.open(sample, writable=True)
    f.close()
    calls = [lambda: f.size, lambda: f.read(), lambda: f.rows(), lambda: f.write(0, b"a"),
             lambda: f.insert(0, b"a"), lambda: f.delete(0, 1), f.staged, f.discard, f.save,
             lambda: f.search("00"), lambda: f.compare(sample), f.info, f.entropy]
    for call in calls:
        with pytest.raises(hx.StateError, match="file is closed"):
            call()


@pytest.mark.parametrize("make, writable, code", [
    (lambda tmp: tmp / "missing.bin", False, errno.ENOENT),
    (lambda tmp: tmp / "missing.bin", True, errno.ENOENT),
    (lambda tmp: tmp, False, errno.EISDIR),
    (lambda tmp: tmp / "no-folder" / "x.bin", True, errno.ENOENT),
])
def test_open_failures_are_os_errors(tmp_path, make, writable, code):
    path = make(tmp_path)
    with pytest.raises(hx.FileError) as caught:
        hx.open(path, writable=writable)
    assert isinstance(caught.value, OSError) and isinstance(caught.value, hx.Error)
    assert caught.value.errno == code
    assert caught.value.filename == str(path)
    assert str(caught.value).startswith("cannot open file: " + str(path))
    assert hx.current_file() is None
    assert not (tmp_path / "missing.bin").exists()


def test_create_makes_an_empty_file(tmp_path):
    path = tmp_path / "new.bin"
    with hx.open(path, writable=True, create=True) as f:
        assert f.size == 0 and f.read() == b""
        f.insert(0, b"new")
        f.save()
    assert path.read_bytes() == b"new"


@pytest.mark.parametrize("path, error", [
    ("", hx.ArgumentError), (b"a\0b", hx.ArgumentError), ("a\0b", hx.ArgumentError),
    (12, hx.ArgumentTypeError), (None, hx.ArgumentTypeError),
])
def test_bad_paths_are_refused_before_the_engine(path, error):
    with pytest.raises(error):
        hx.open(path)


def test_read_only_file_refuses_edits(sample):
    with hx.open(sample) as f:
        for call in (lambda: f.write(0, b"a"), lambda: f.insert(0, "00"), lambda: f.delete(0, 1)):
            with pytest.raises(hx.StateError, match="read-only"):
                call()
        assert f.staged() == []


def run_python(code: str, **env: str) -> subprocess.CompletedProcess:
    environment = {k: v for k, v in os.environ.items() if k != hx.ENV_VAR}
    environment.update(PYTHONPATH=str(PYTHON_DIR), **env)
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True)


def test_library_is_found_from_a_folder_or_a_file():
    library = hx._native.library()._name
    folder = os.path.dirname(library)
    for where in (folder, library):
        done = run_python("import quillmar_hexview as hx; print(hx.load_library()._name)",
                          QUILLMAR_HEXVIEW_LIBRARY=where)
        assert done.returncode == 0, done.stderr
        assert os.path.samefile(done.stdout.strip(), os.path.join(folder, hx.LIBRARY_NAME))
    done = run_python(f"import quillmar_hexview as hx; hx.load_library({folder!r}); print('ok')")
    assert done.stdout.strip() == "ok", done.stderr


def test_a_missing_library_is_a_clear_error(tmp_path, sample):
    done = run_python("import quillmar_hexview as hx\n"
                      f"try: hx.open({str(sample)!r})\n"
                      "except hx.FileError as e: print(e)", QUILLMAR_HEXVIEW_LIBRARY=str(tmp_path))
    assert "cannot load the quillmar-hexview library" in done.stdout, done.stderr


def test_library_cannot_be_swapped_while_a_file_is_open(sample):
    with hx.open(sample):
        with pytest.raises(hx.StateError):
            hx.load_library(hx._native.library()._name)


def test_a_file_that_shrinks_under_the_engine_fails_the_reads(tmp_path):
    # pytest turns Python's faulthandler on before the first open, which lets
    # the engine's handler come after it and see the fault first.
    path = tmp_path / "shrinking.bin"
    path.write_bytes(os.urandom(1 << 20))
    with hx.open(path) as f:
        assert len(f.read(0, 4)) == 4
        os.truncate(path, 0)
        for read in (lambda: f.read(512 * 1024, 16), lambda: f.read(0, 4), f.entropy,
                     lambda: f.search("00 11 22")):
            with pytest.raises(hx.FileError, match="^file shrank on disk since it was opened: "):
                read()
        assert f.size == 1 << 20 and f.staged() == []  # calls that do not read go on
    with hx.open(path) as f:
        assert f.size == 0
