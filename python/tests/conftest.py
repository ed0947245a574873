"""Shared fixtures. The library under test is the one named by
QUILLMAR_HEXVIEW_LIBRARY (CMake passes the one it just built)."""
from __future__ import annotations

import atexit
import os
import pathlib
import shutil
import sys
import tempfile

import pytest

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PYTHON_DIR))

import quillmar_hexview as hx  # noqa: E402

# Examples and installed copies run in other folders: they need the path whole.
if os.environ.get(hx.ENV_VAR):
    os.environ[hx.ENV_VAR] = os.path.abspath(os.environ[hx.ENV_VAR])

# Journals that cannot lie beside their file go to the user's state folder:
# the tests get one of their own, never the real user's.
os.environ["XDG_STATE_HOME"] = tempfile.mkdtemp(prefix="hexview-state-")
atexit.register(shutil.rmtree, os.environ["XDG_STATE_HOME"], ignore_errors=True)
os.environ["LOCALAPPDATA"] = os.environ["XDG_STATE_HOME"]

SOURCE_DIR = PYTHON_DIR.parent
HEADER = pathlib.Path(os.environ.get("QUILLMAR_HEXVIEW_HEADER", SOURCE_DIR / "include" / "quillmar_hexview.h"))

# 64 bytes: text, a zero run, all the values 0x30..0x3f, and more text.
SAMPLE = b"hello world, hello hexview! MZ" + bytes(2) + bytes(range(0x30, 0x40)) + b"tail of the file"


@pytest.fixture(autouse=True)
def no_file_left_open():
    """A failed test must not leave the engine's one file taken for the next."""
    yield
    left = hx.current_file()
    if left is not None:
        left.close()


@pytest.fixture
def sample(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "sample.bin"
    path.write_bytes(SAMPLE)
    return path


def make_file(folder: pathlib.Path, name: str, data: bytes) -> pathlib.Path:
    path = folder / name
    path.write_bytes(data)
    return path
