"""Loading the engine's shared library and calling it.

Every call goes through :func:`call_status`, :func:`call_value` or
:func:`call_text`, which hold the engine lock (the engine keeps one open file
and its tables for the whole process and must not be entered twice at once)
and read the calling thread's error text right after a failure.
"""
from __future__ import annotations

import ctypes
import json
import os
import sys
import threading
from typing import Any, Callable, Dict, Optional, TypeVar, Union

from ._errors import ArgumentError, Error, StateError, engine_error

ENV_VAR = "QUILLMAR_HEXVIEW_LIBRARY"

if sys.platform == "win32":
    LIBRARY_NAME = "quillmar-hexview.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libquillmar-hexview.1.dylib"
else:
    LIBRARY_NAME = "libquillmar-hexview.so.1"

_i32, _i64, _text = ctypes.c_int32, ctypes.c_int64, ctypes.c_char_p

# The 23 calls of the C API: name -> (result, arguments).
PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "hx_last_error": (_text, []),
    "hx_open": (ctypes.c_int, [_text]),
    "hx_open_rw": (ctypes.c_int, [_text]),
    "hx_close": (None, []),
    "hx_file_size": (_i64, []),
    "hx_page": (_text, [_i64, _i32, _text]),
    "hx_ascii_only": (_text, [_i64, _i32]),
    "hx_search": (ctypes.c_int, [_text, _text, _i64]),
    "hx_search_count": (_i32, []),
    "hx_search_next": (_i64, []),
    "hx_search_last": (_i64, []),
    "hx_search_field": (_text, [_i32, _text]),
    "hx_write": (ctypes.c_int, [_text, _i64]),
    "hx_insert": (ctypes.c_int, [_text, _i64]),
    "hx_delete": (ctypes.c_int, [_i64, _i64]),
    "hx_staged_json": (_text, []),
    "hx_discard": (ctypes.c_int, []),
    "hx_save": (ctypes.c_int, [_text]),
    "hx_info_json": (_text, []),
    "hx_entropy_json": (_text, []),
    "hx_compare": (ctypes.c_int, [_text]),
    "hx_compare_count": (ctypes.c_int, []),
    "hx_compare_field": (_text, [ctypes.c_int, _text]),
}

# The additions for long work, used when the library has them.
OPTIONAL_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "hx_cancel": (_i32, []),
    "hx_progress_json": (_text, []),
}

# Serializes the engine calls of all threads; cancel and progress never take it.
engine_lock = threading.RLock()
_lib: Any = None
# The library's functions by name, looked up once (a call costs less).
_functions: Dict[str, Any] = {}


def _find_on_path(name: str) -> Optional[str]:
    """Windows no longer searches PATH for a DLL that ctypes loads by name."""
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(folder, name)
        if folder and os.path.isfile(candidate):
            return candidate
    return None


def _resolve(path: Union[str, os.PathLike[str], None]) -> str:
    if path is None:
        path = os.environ.get(ENV_VAR) or None
    if path is None:
        if sys.platform == "win32":
            return _find_on_path(LIBRARY_NAME) or LIBRARY_NAME
        return LIBRARY_NAME
    path = os.fspath(path)
    if os.path.isdir(path):
        return os.path.join(path, LIBRARY_NAME)
    return path


def _declare(lib: Any) -> None:
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    for name, (result, arguments) in OPTIONAL_PROTOTYPES.items():
        if hasattr(lib, name):
            function = getattr(lib, name)
            function.restype = result
            function.argtypes = arguments


def load_library(path: Union[str, os.PathLike[str], None] = None) -> Any:
    """Load the engine's shared library and return it (a ``ctypes.CDLL``).

    ``path`` is the library file or the folder that holds it (a build tree,
    for instance). Without it the environment variable
    ``QUILLMAR_HEXVIEW_LIBRARY`` is used the same way, and without that the
    installed ``libquillmar-hexview.so.1`` (``quillmar-hexview.dll`` on
    Windows, looked for along ``PATH`` too). Calls that need the library load
    it on first use, so this is needed only to choose another one. A library
    cannot be swapped while a file is open.
    """
    global _lib
    resolved = _resolve(path)
    with engine_lock:
        from . import _file  # the one-file rule lives there

        if _file.current_file() is not None:
            raise StateError("cannot load another library while a file is open")
        try:
            lib = ctypes.CDLL(resolved)
            _declare(lib)
        except (OSError, AttributeError) as failure:
            raise engine_error(f"cannot load the quillmar-hexview library {resolved}: {failure}",
                               resolved) from failure
        use_library(lib)
        return lib


def library() -> Any:
    """The loaded library, loading the default one on first use."""
    return _lib if _lib is not None else load_library()


def use_library(lib: Any) -> None:
    """Use an already loaded library object (also for tests that wrap it)."""
    global _lib, _functions
    names = list(PROTOTYPES) + [name for name in OPTIONAL_PROTOTYPES if hasattr(lib, name)]
    _functions = {name: getattr(lib, name) for name in names}
    _lib = lib


def function(name: str) -> Any:
    """The library's function ``name``, loading the library on first use."""
    found = _functions.get(name)
    if found is None:
        found = getattr(library(), name)
    return found


def last_error() -> str:
    text: bytes = function("hx_last_error")()
    return text.decode("utf-8", "surrogateescape")


def fail(filename: Optional[str] = None) -> Error:
    """The exception for the failure the engine just recorded on this thread."""
    return engine_error(last_error() or "the engine failed without a message", filename)


def call_status(name: str, *arguments: Any, filename: Optional[str] = None) -> int:
    """A call whose -1 is a failure with a message."""
    with engine_lock:
        result = function(name)(*arguments)
        if result == -1:
            raise fail(filename)
        return int(result)


def call_value(name: str, *arguments: Any) -> int:
    """A call whose result is a number, -1 included, with no message."""
    with engine_lock:
        return int(function(name)(*arguments))


def call_text(name: str, *arguments: Any, filename: Optional[str] = None) -> bytes:
    """A call returning text, where "" is a failure with a message."""
    with engine_lock:
        result = function(name)(*arguments)
        if not result:
            raise fail(filename)
        return bytes(result)


def call_json(name: str, *arguments: Any) -> Any:
    return json.loads(call_text(name, *arguments).decode("utf-8", "surrogateescape"))


# ---- Long calls: cancel and progress -----------------------------------------

def can_cancel() -> bool:
    """Whether the loaded library has cancel and progress for long calls."""
    lib = library()
    return hasattr(lib, "hx_cancel") and hasattr(lib, "hx_progress_json")


def cancel() -> bool:
    """Ask the running search, compare or save to stop; it then raises
    :class:`Cancelled`. True when one was running. Never waits; any thread.
    Raises :class:`StateError` when the library has no cancel."""
    if not can_cancel():
        raise StateError("this quillmar-hexview library cannot cancel (no hx_cancel)")
    return int(library().hx_cancel()) == 0


def progress_snapshot() -> Optional[dict[str, Any]]:
    """The engine's progress of the running long call, or None without support."""
    if not can_cancel():
        return None
    text = library().hx_progress_json()
    return json.loads(text.decode("utf-8")) if text else None


ProgressHook = Callable[[Dict[str, Any]], Any]
T = TypeVar("T")

# How often a running long call's progress is looked at, in seconds.
POLL_SECONDS = 0.05


def run_long(work: Callable[[], T], on_progress: Optional[ProgressHook]) -> T:
    """Run a long call. With cancel in the library it runs on a worker thread
    while this one waits, so Ctrl-C (KeyboardInterrupt) or an exception from
    ``on_progress`` cancels it; ``on_progress`` gets the progress while it runs
    and cancels it by returning False. The worker takes the engine lock itself
    and reads its own error text, as both are per thread."""
    if not can_cancel():
        return work()
    outcome: dict[str, Any] = {}

    def worker() -> None:
        try:
            outcome["value"] = work()
        except BaseException as failure:  # handed to the waiting thread
            outcome["error"] = failure

    thread = threading.Thread(target=worker, name="quillmar-hexview long call", daemon=True)
    thread.start()
    try:
        while True:
            thread.join(POLL_SECONDS)
            if not thread.is_alive():
                break
            if on_progress is not None:
                snapshot = progress_snapshot()
                if snapshot is not None and snapshot.get("op") and on_progress(snapshot) is False:
                    library().hx_cancel()
    except BaseException:
        library().hx_cancel()
        thread.join()
        raise
    if "error" in outcome:
        raise outcome["error"]
    value: T = outcome["value"]
    return value


def check_text_argument(text: str, what: str) -> bytes:
    """Text for a C string: a NUL would silently cut it short."""
    if "\0" in text:
        raise ArgumentError(f"{what} contains a NUL character")
    return text.encode("utf-8", "surrogateescape")
