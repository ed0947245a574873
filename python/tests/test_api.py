"""The binding against the header: every call declared, the limits mirrored."""
from __future__ import annotations

import ctypes
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import quillmar_hexview as hx
from conftest import HEADER, PYTHON_DIR

C_TYPES = {"int": "int32", "int32_t": "int32", "int64_t": "int64", "const char *": "text"}


def header_functions() -> dict:
    """name -> (result, [arguments]) of every HX_API declaration."""
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    functions = {}
    for result, name, arguments in re.findall(r"HX_API\s+([\w\s\*]+?)\s*(\bhx_\w+)\s*\(([^)]*)\)", text):
        result = result.replace(" *", " *").strip()
        parameters = [] if arguments.strip() == "void" else [
            re.sub(r"\s*\b\w+$", "", p.strip()).replace("char*", "char *") for p in arguments.split(",")]
        functions[name] = (result, parameters)
    return functions


def ctypes_name(declared: str) -> str:
    return "None" if declared == "void" else C_TYPES[declared.replace("char*", "char *")]


def type_name(value) -> str:
    if value is None:
        return "None"
    if value is ctypes.c_char_p:
        return "text"
    return f"int{ctypes.sizeof(value) * 8}"


def test_every_call_of_the_header_is_declared_as_the_header_says():
    declared = header_functions()
    known = {**hx._native.PROTOTYPES, **hx._native.OPTIONAL_PROTOTYPES}
    assert set(hx._native.PROTOTYPES) <= set(declared)
    assert set(declared) <= set(known), "calls the binding does not know"
    for name, (result, arguments) in declared.items():
        expected = (ctypes_name(result), [ctypes_name(a) for a in arguments])
        have = known[name]
        assert (type_name(have[0]), [type_name(a) for a in have[1]]) == expected, name


@pytest.mark.parametrize("name", ["MAX_PATTERN_BYTES", "MAX_STORED_HITS", "MAX_EDITS", "MAX_STAGED_BYTES",
                                  "MAX_RUNS", "RUN_BYTES"])
def test_limits_mirror_the_header(name):
    match = re.search(rf"#define HX_{name}\s+(\d+)", HEADER.read_text())
    assert match and getattr(hx, name) == int(match.group(1))


def test_version_matches_the_project():
    project = (PYTHON_DIR.parent / "CMakeLists.txt").read_text()
    version = re.search(r"project\(quillmar-hexview VERSION ([\d.]+)", project).group(1)
    assert hx.__version__ == version
    assert f'version = "{version}"' in (PYTHON_DIR / "pyproject.toml").read_text()


def test_errors_derive_from_the_builtins_that_fit():
    assert issubclass(hx.FileError, OSError) and issubclass(hx.ArgumentError, ValueError)
    assert issubclass(hx.ArgumentTypeError, TypeError) and issubclass(hx.StateError, RuntimeError)
    assert issubclass(hx.Cancelled, hx.StateError) and issubclass(hx.OutOfMemoryError, MemoryError)
    for kind in (hx.FileError, hx.ArgumentError, hx.StateError, hx.OutOfMemoryError):
        assert issubclass(kind, hx.Error)
    assert (PYTHON_DIR / "quillmar_hexview" / "py.typed").exists()


@pytest.mark.parametrize("message, kind", [
    ("busy: a search is running (cancel it or wait for its end)", hx.StateError),
    ("cancelled: save stopped before its end", hx.Cancelled),
    ("another process is saving /x/a.bin - save again when that save has ended", hx.StateError),
    ("file content unavailable after a failed save - save again or reopen the file", hx.StateError),
    ("staged bytes cap reached: 1073741820 bytes are staged and this edit adds 8, past the cap of 1073741824 "
     "(save first, or stage less)", hx.StateError),
    ("ReadFile failed: /x/a.bin (win error 5)", hx.FileError),
    ("invalid hex pattern: zz", hx.ArgumentError),
])
def test_engine_messages_raise_the_kind_that_fits(message, kind):
    error = hx._errors.engine_error(message, "/x/a.bin")
    assert type(error) is kind
    assert message in str(error)


def test_type_hints_pass_a_strict_check():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("no mypy here (Debian package python3-mypy)")
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-version", "3.8",
                              "--no-incremental", "--cache-dir", os.devnull, str(PYTHON_DIR / "quillmar_hexview")],
                             capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout + checked.stderr
