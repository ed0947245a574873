"""pip installs the package offline, and the installed copy works."""
from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, SAMPLE

import quillmar_hexview as hx


def test_pip_installs_it_offline_into_a_venv(tmp_path, sample):
    for needed in ("pip", "setuptools", "wheel"):  # Debian's python3-pip, -setuptools, -wheel
        if importlib.util.find_spec(needed) is None:
            pytest.skip(f"no {needed} here")
    source = tmp_path / "source"  # a copy: pip builds in the tree it is given
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info",
                                                                      "__pycache__"))
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"no venv here: {made.stderr.strip()}")
    python = venv / ("Scripts/python.exe" if sys.platform == "win32" else "bin/python")
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PIP_INDEX_URL")}
    installed = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index",
                                str(source)], env=environment, capture_output=True, text=True)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    check = ("import quillmar_hexview as hx, sys\n"
             f"with hx.open({str(sample)!r}) as f: data = f.read()\n"
             "print(hx.__file__); print(data.hex())\n"
             "import importlib.metadata as m; print(m.version('quillmar-hexview'))")
    ran = subprocess.run([str(python), "-c", check], env=environment, cwd=tmp_path, capture_output=True,
                         text=True)
    assert ran.returncode == 0, ran.stderr
    location, content, version = ran.stdout.split()
    assert location.startswith(str(venv)) and content == SAMPLE.hex() and version == hx.__version__
    assert os.path.exists(os.path.join(os.path.dirname(location), "py.typed"))
