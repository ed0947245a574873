"""The open file: :func:`open` and :class:`HexFile`."""
from __future__ import annotations

import binascii
import errno
import operator
import os
import re
import sys
import weakref
from typing import Any, Callable, List, Optional, Union

from . import _native
from ._errors import ArgumentError, ArgumentTypeError, Error, FileError, StateError
from ._limits import MAX_PAGE_ROWS, MAX_PATTERN_BYTES, ROW_BYTES
from ._results import CompareResult, Edit, Entropy, Info, Progress, Row, Run, SearchResult

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
BytesArg = Union[bytes, bytearray, memoryview, str]
ProgressCallback = Callable[[Progress], Any]

_RAW_HEX = re.compile(rb'"bytes_hex":"([0-9a-f]*)"')
_MAX_OFFSET = (1 << 63) - 1
_MODES = ("hex", "ascii", "utf16")

# The engine holds one open file per process; this is the HexFile that has it.
_current: Optional[weakref.ReferenceType[HexFile]] = None
_opens = 0  # counts the opens, so a finalizer closes only its own file
_search_generation = 0


def current_file() -> Optional[HexFile]:
    return _current() if _current is not None else None


def search_generation() -> int:
    return _search_generation


def _release(token: int) -> None:
    """Closes the engine's file when its HexFile goes away unclosed."""
    global _current
    with _native.engine_lock:
        if _opens == token and _current is not None:
            _current = None
            _native.library().hx_close()


def _encode_path(path: PathArg, what: str = "path") -> bytes:
    try:
        name = os.fspath(path)
    except TypeError:
        raise ArgumentTypeError(f"{what} must be a str, bytes or os.PathLike, not {type(path).__name__}") from None
    if isinstance(name, str):
        if sys.platform == "win32":
            try:  # the engine opens files by their ANSI names
                encoded = name.encode("mbcs", "strict")
            except UnicodeEncodeError:
                raise ArgumentError(f"{what} cannot be written in the system's code page: {name}") from None
        else:
            encoded = os.fsencode(name)
    else:
        encoded = name
    if not encoded:
        raise ArgumentError(f"empty {what}")
    if b"\0" in encoded:
        raise ArgumentError(f"{what} contains a NUL byte")
    return encoded


def _offset(value: int, what: str = "offset") -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise ArgumentTypeError(f"{what} must be an int, not {type(value).__name__}") from None
    if number < 0:
        raise ArgumentError(f"negative {what}")
    if number > _MAX_OFFSET:
        raise ArgumentError(f"{what} too large")
    return number


def _hex_bytes(data: BytesArg) -> bytes:
    """Bytes as the engine's hex text; a str is taken as hex text already."""
    if isinstance(data, str):
        return _native.check_text_argument(data, "hex text")
    if isinstance(data, (bytes, bytearray, memoryview)):
        return binascii.hexlify(data)
    raise ArgumentTypeError(f"data must be bytes or hex text, not {type(data).__name__}")


def _is_empty(data: BytesArg) -> bool:
    return len(data.strip()) == 0 if isinstance(data, str) else len(data) == 0


def _pattern(pattern: Union[str, bytes, bytearray, memoryview], mode: str) -> tuple[bytes, bytes]:
    """The (mode, pattern) the engine is given. Bytes and the UTF-16LE of a
    str go as hex, since a C string stops at a NUL and the engine's own
    utf16 mode only widens bytes."""
    if mode not in _MODES:
        raise ArgumentError(f"unknown search mode: {mode} (use hex|ascii|utf16)")
    if isinstance(pattern, (bytes, bytearray, memoryview)):
        if mode == "utf16":
            raise ArgumentTypeError("a utf16 pattern is a str")
        raw = bytes(pattern)
    elif isinstance(pattern, str):
        if mode == "hex":
            return b"hex", _native.check_text_argument(pattern, "pattern")
        raw = pattern.encode("utf-8" if mode == "ascii" else "utf-16-le", "surrogatepass")
    else:
        raise ArgumentTypeError(f"pattern must be str or bytes, not {type(pattern).__name__}")
    if not 0 < len(raw) <= MAX_PATTERN_BYTES:
        raise ArgumentError(f"empty or too-long {mode} pattern")
    if mode == "ascii" and b"\0" not in raw:
        return b"ascii", raw
    return b"hex", binascii.hexlify(raw)


def _wrap_progress(callback: Optional[ProgressCallback]) -> Optional[_native.ProgressHook]:
    if callback is None:
        return None
    user_callback = callback

    def hook(snapshot: dict[str, Any]) -> Any:
        return user_callback(Progress.from_json(snapshot))
    return hook


class HexFile:
    """A file open in the engine; made by :func:`open`.

    Use it in a ``with`` block, or call :meth:`close`. Reads show the staged
    edits; searches, compares and the entropy see the file as on disk. Staged
    edits reach the disk only through :meth:`save`.
    """

    def __init__(self, path: PathArg, writable: bool, token: int) -> None:
        self.path = path
        self.name: str = os.fsdecode(os.fspath(path))
        self.writable = writable
        self._token = token
        self._edited = False
        self._finalizer = weakref.finalize(self, _release, token)

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("writable" if self.writable else "read-only")
        return f"<quillmar_hexview.HexFile {self.name!r} {state}>"

    def __enter__(self) -> HexFile:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # ---- state ----

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def close(self) -> None:
        """Close the file, dropping any staged edits. Harmless when closed."""
        self._finalizer()

    def _check_open(self) -> None:
        if self.closed:
            raise StateError(f"file is closed: {self.name}")

    def _check_writable(self) -> None:
        self._check_open()
        if not self.writable:
            raise StateError(f"file opened read-only - open it with writable=True: {self.name}")

    @property
    def size(self) -> int:
        """Size of the content with the staged edits applied."""
        with _native.engine_lock:
            self._check_open()
            if self._edited:  # the exact size needs the edited content built
                _native.call_text("hx_page", 0, 1, b"raw", filename=self.name)
            return _native.call_status("hx_file_size")

    # ---- reading ----

    def read(self, offset: int = 0, length: int = -1) -> bytes:
        """The content from ``offset``, staged edits applied: ``length`` bytes,
        fewer at the end, all up to the end when ``length`` is negative. b""
        at or past the end."""
        offset = _offset(offset)
        try:
            length = operator.index(length)
        except TypeError:
            raise ArgumentTypeError(f"length must be an int, not {type(length).__name__}") from None
        with _native.engine_lock:
            size = self.size
            end = size if length < 0 else min(size, offset + length)
            parts: List[bytes] = []
            position = offset
            while position < end:
                rows = min(MAX_PAGE_ROWS, -(-(end - position) // ROW_BYTES))
                page = _native.call_text("hx_page", position, rows, b"raw", filename=self.name)
                chunk = binascii.unhexlify(b"".join(_RAW_HEX.findall(page)))[:end - position]
                if not chunk:  # never loop on a page without bytes
                    raise Error(f"the engine gave a page without bytes at {position}")
                parts.append(chunk)
                position += len(chunk)
            return b"".join(parts)

    def rows(self, offset: int = 0, count: int = 64, mode: str = "hex") -> List[Row]:
        """``count`` rows of 16 bytes from ``offset`` (no rounding), staged
        edits applied. ``mode`` is "hex" (hex and text columns), "raw" (plain
        hex digits) or "printable" (only the printable bytes of each row).
        Rows past the end show zeros (and "" in mode "printable")."""
        offset = _offset(offset)
        count = _offset(count, "count")
        if mode not in ("hex", "raw", "printable"):
            raise ArgumentError(f"unknown row mode: {mode} (use hex|raw|printable)")
        rows: List[Row] = []
        with _native.engine_lock:
            self._check_open()
            while len(rows) < count:
                position = offset + len(rows) * ROW_BYTES
                batch = min(MAX_PAGE_ROWS, count - len(rows))
                if mode == "printable":
                    items = _native.call_json("hx_ascii_only", position, batch)
                    rows += [Row(int(item["off"], 16), "", item["text"]) for item in items]
                elif mode == "raw":
                    items = _native.call_json("hx_page", position, batch, b"raw")
                    rows += [Row(int(item["off"], 16), item["bytes_hex"], "") for item in items]
                else:
                    items = _native.call_json("hx_page", position, batch, b"hex")
                    rows += [Row(int(item["off"], 16), item["hex"], item["ascii"]) for item in items]
        return rows

    # ---- editing ----

    def _stage(self, call: str, data: BytesArg, offset: int) -> None:
        offset = _offset(offset)
        hex_text = _hex_bytes(data)
        with _native.engine_lock:
            self._check_writable()
            if _is_empty(data):
                return
            _native.call_status(call, hex_text, offset)
            self._edited = True

    def write(self, offset: int, data: BytesArg) -> None:
        """Stage an overwrite of ``data`` at ``offset``. ``data`` is bytes or
        hex text ("de ad be ef", "dead:beef"). Bytes that would fall past the
        end are dropped: a write never makes the content longer. Empty data
        stages nothing. At most :data:`MAX_EDITS` edits are staged at once,
        holding at most :data:`MAX_STAGED_BYTES` bytes of writes and inserts."""
        self._stage("hx_write", data, offset)

    def insert(self, offset: int, data: BytesArg) -> None:
        """Stage an insert of ``data`` (bytes or hex text) before ``offset``,
        at the end when ``offset`` is past it. Empty data stages nothing."""
        self._stage("hx_insert", data, offset)

    def delete(self, offset: int, length: int) -> None:
        """Stage the removal of ``length`` bytes at ``offset``, cut short at
        the end of the content."""
        offset = _offset(offset)
        length = _offset(length, "length")
        with _native.engine_lock:
            self._check_writable()
            _native.call_status("hx_delete", offset, length)
            self._edited = True

    def staged(self) -> List[Edit]:
        """The staged edits, first staged first. Each offset counts in the
        content the edits before it leave."""
        with _native.engine_lock:
            self._check_open()
            return [Edit.from_json(item) for item in _native.call_json("hx_staged_json")]

    def discard(self) -> None:
        """Drop every staged edit."""
        with _native.engine_lock:
            self._check_open()
            _native.call_status("hx_discard")
            self._edited = False

    def save(self, path: Optional[PathArg] = None, *, progress: Optional[ProgressCallback] = None) -> None:
        """Write the content with the staged edits applied: over the open file
        when ``path`` is None (the file is then open as saved, nothing
        staged), or to ``path``, leaving the open file as it was and dropping
        the edits. The target is replaced only by a complete, flushed copy; on
        failure it is left as it was and the edits stay staged.

        ``progress``, when the library reports progress, is called with a
        :class:`Progress` about every 50 ms while the save runs (on the
        calling thread; the call runs on a worker); returning False cancels
        it. It should not call this file's methods, which wait for the end.
        """
        target = None if path is None else _encode_path(path)
        target_name = self.name if path is None else os.fsdecode(os.fspath(path))
        self._check_open()

        def work() -> None:
            with _native.engine_lock:
                self._check_open()
                try:
                    _native.call_status("hx_save", target, filename=target_name)
                except Error:
                    if _native.call_value("hx_file_size") < 0:  # the reopen failed
                        self._finalizer()
                    raise
                self._edited = False

        _native.run_long(work, _wrap_progress(progress))

    # ---- searching, comparing, analysis ----

    def search(self, pattern: Union[str, bytes], mode: str = "hex", start: int = 0, *,
               progress: Optional[ProgressCallback] = None) -> SearchResult:
        """Find ``pattern`` in the file as on disk (staged edits are not seen),
        from ``start``. Hits never overlap; all are counted, the first
        :data:`MAX_STORED_HITS` kept.

        ``mode``:
          * "hex": hex text with "??" matching any byte ("4d 5a ?? ?? 50 45"),
            or bytes;
          * "ascii": a str (its UTF-8 bytes) or bytes, byte for byte;
          * "utf16": a str, as UTF-16LE (non-ASCII and surrogate pairs too).

        A pattern is 1 to :data:`MAX_PATTERN_BYTES` bytes. ``progress`` works
        as in :meth:`save`.
        """
        start = _offset(start, "start")
        engine_mode, engine_pattern = _pattern(pattern, mode)
        text = pattern if isinstance(pattern, str) else bytes(pattern).hex()
        self._check_open()

        def work() -> SearchResult:
            global _search_generation
            with _native.engine_lock:
                self._check_open()
                _search_generation += 1
                _native.call_status("hx_search", engine_mode, engine_pattern, start)
                lib = _native.library()
                count = int(lib.hx_search_count())
                offsets: List[int] = []
                while True:
                    hit = int(lib.hx_search_next())
                    if hit < 0:
                        break
                    offsets.append(hit)
                last = int(lib.hx_search_last())
                return SearchResult(self, _search_generation, text, mode, start, count,
                                    last if last >= 0 else None, offsets)

        return _native.run_long(work, _wrap_progress(progress))

    def compare(self, other: PathArg, *, progress: Optional[ProgressCallback] = None) -> CompareResult:
        """Compare the file as on disk, byte by byte, with the file at
        ``other``, up to the end of the longer one (past its end a file reads
        as zeros). Returns the runs of differing bytes, each at most
        :data:`RUN_BYTES` long, at most :data:`MAX_RUNS` of them.
        ``progress`` works as in :meth:`save`."""
        other_path = _encode_path(other, "other path")
        other_name = os.fsdecode(os.fspath(other))
        self._check_open()

        def work() -> CompareResult:
            with _native.engine_lock:
                self._check_open()
                _native.call_status("hx_compare", other_path, filename=other_name)
                count = _native.call_status("hx_compare_count")
                runs = []
                for index in range(count):
                    def field(name: bytes, index: int = index) -> str:
                        return _native.call_text("hx_compare_field", index, name).decode("ascii")
                    runs.append(Run(int(field(b"offset"), 16), bytes.fromhex(field(b"this_hex")),
                                    bytes.fromhex(field(b"other_hex"))))
                return CompareResult(other_name, os.stat(self.path).st_size, os.stat(other).st_size,
                                     tuple(runs))

        return _native.run_long(work, _wrap_progress(progress))

    def info(self) -> Info:
        """The file's summary: name, size, mode, entropy estimate, staged edits."""
        with _native.engine_lock:
            self._check_open()
            return Info.from_json(_native.call_json("hx_info_json"))

    def entropy(self) -> Entropy:
        """The entropy profile of the file as on disk (first 16 MiB at most)."""
        with _native.engine_lock:
            self._check_open()
            return Entropy.from_json(_native.call_json("hx_entropy_json"))


def open(path: PathArg, writable: bool = False, *, create: bool = False,
         library: Union[str, "os.PathLike[str]", None] = None) -> HexFile:
    """Open the file at ``path`` in the engine and map it.

    ``writable=True`` opens it read-write, so edits can be staged and saved;
    ``create=True`` with it makes an empty file when there is none (otherwise
    a missing file is an error, as for a read-only open). ``library`` loads
    that engine library first (a file or a build folder), as
    :func:`load_library` does.

    The engine holds one open file per process: while a :class:`HexFile` is
    open, another open raises :class:`StateError`. Close the first (or leave
    its ``with`` block) before opening the next.
    """
    global _current, _opens
    encoded = _encode_path(path)
    name = os.fsdecode(os.fspath(path))
    if library is not None:
        _native.load_library(library)
    with _native.engine_lock:
        held = current_file()
        if held is not None:
            raise StateError(f"another file is open: {held.name} (the engine holds one file "
                             f"at a time; close it before opening {name})")
        if writable and not create and not os.path.exists(encoded):
            missing = FileError(f"cannot open file: {name} (no such file; create=True makes it)", name)
            missing.errno, missing.strerror = errno.ENOENT, os.strerror(errno.ENOENT)
            raise missing
        _native.call_status("hx_open_rw" if writable else "hx_open", encoded, filename=name)
        _opens += 1
        opened = HexFile(path, writable, _opens)
        _current = weakref.ref(opened)
        return opened
