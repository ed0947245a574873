"""quillmar_hexview: the quillmar-hexview engine from Python.

A hex-viewing and hex-editing engine for files of any size: it maps the file,
shows it in rows, searches it, stages overwrites, inserts and deletes in
memory that grows with the edits (not the file), saves them without ever
leaving a half-written target, compares files and profiles their entropy.

    import quillmar_hexview as hx

    with hx.open("firmware.bin", writable=True) as f:
        hits = f.search("de ad ?? ef")            # hex, "??" matches any byte
        for hit in hits:
            f.write(hit.offset, b"\\x00\\x00")       # bytes or hex text
        print(f.read(0, 16).hex(), f.size, len(f.staged()))
        f.save("firmware-patched.bin")           # or f.save() in place

The engine holds one open file per process: a second :func:`open` while one
is open raises :class:`StateError`. Every failure raises :class:`Error`
(:class:`FileError` is also an ``OSError``, :class:`ArgumentError` a
``ValueError``, :class:`StateError` a ``RuntimeError``) with the engine's
message. Calls from several threads are serialized; :func:`cancel` is not.

A file that shrinks on disk while open fails the reads that meet the loss
with :class:`FileError`, as the engine catches the fault (SIGBUS) itself.
Turn :mod:`faulthandler` on, if at all, before the first :func:`open`: turned
on after it, it takes the signal first and ends the process.

The library is ``libquillmar-hexview.so.1`` (``quillmar-hexview.dll`` on
Windows) as installed, or the file or build folder named by the environment
variable ``QUILLMAR_HEXVIEW_LIBRARY`` or given to :func:`load_library`.
"""
from __future__ import annotations

from typing import Optional

from . import _native
from ._errors import (ArgumentError, ArgumentTypeError, Cancelled, Error, FileError,
                      OutOfMemoryError, StateError)
from ._file import HexFile, current_file, open
from ._limits import (MAX_EDITS, MAX_PAGE_ROWS, MAX_PATTERN_BYTES, MAX_RUNS, MAX_STAGED_BYTES,
                      MAX_STORED_HITS, ROW_BYTES, RUN_BYTES)
from ._native import ENV_VAR, LIBRARY_NAME, can_cancel, cancel, load_library
from ._results import CompareResult, Edit, Entropy, Hit, Info, Progress, Row, Run, SearchResult

__version__ = "1.0.0"

__all__ = [
    "open", "HexFile", "current_file", "load_library", "can_cancel", "cancel", "progress",
    "Error", "FileError", "ArgumentError", "ArgumentTypeError", "StateError", "Cancelled",
    "OutOfMemoryError",
    "Row", "Edit", "Info", "Entropy", "Progress", "Hit", "SearchResult", "Run", "CompareResult",
    "MAX_PATTERN_BYTES", "MAX_STORED_HITS", "MAX_EDITS", "MAX_STAGED_BYTES", "MAX_RUNS", "RUN_BYTES",
    "ROW_BYTES", "MAX_PAGE_ROWS", "ENV_VAR", "LIBRARY_NAME", "__version__",
]


def progress() -> Optional[Progress]:
    """The progress of the long call running now (``op`` "" when none), or
    None when the library does not report progress. Never waits; any thread."""
    snapshot = _native.progress_snapshot()
    return None if snapshot is None else Progress.from_json(snapshot)


# The classes show under the package's name, as users import them.
for _public in (Error, FileError, ArgumentError, ArgumentTypeError, StateError, Cancelled,
                OutOfMemoryError, HexFile, Row, Edit, Info, Entropy, Progress, Hit, SearchResult,
                Run, CompareResult):
    _public.__module__ = __name__
del _public
