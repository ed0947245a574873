"""The values the calls return: rows, edits, hits, runs, summaries, progress."""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterator, List, Optional, Sequence, Tuple, Union, overload

from . import _native
from ._errors import StateError
from ._limits import MAX_RUNS

if TYPE_CHECKING:
    from ._file import HexFile

#: Bytes of the file shown before and after a hit in its context.
CONTEXT_BYTES = 16


@dataclass(frozen=True)
class Row:
    """One row of up to 16 bytes as the engine shows it.

    ``hex`` is the hex column ("00 01 ... 07  08 ... 0f" in mode "hex", plain
    digits in mode "raw", "" in mode "printable"); ``text`` the text column
    ("." for unprintable bytes in mode "hex", only the printable bytes in
    mode "printable", "" in mode "raw"). Rows past the end show zeros.
    """

    offset: int
    hex: str
    text: str

    @property
    def data(self) -> bytes:
        """The row's bytes, from its hex column."""
        return bytes.fromhex(self.hex)


@dataclass(frozen=True)
class Edit:
    """A staged edit: ``op`` is "write", "insert" or "delete"; ``data`` holds
    at most the first 64 of the bytes written or inserted (b"" for a delete)."""

    op: str
    offset: int
    length: int
    data: bytes

    @classmethod
    def from_json(cls, item: dict[str, Any]) -> Edit:
        return cls(item["op"], int(item["offset"], 16), int(item["len"]),
                   bytes.fromhex(item.get("bytes", "")))


@dataclass(frozen=True)
class Info:
    """The summary of the open file. ``size`` counts the staged edits;
    ``entropy_avg`` (bits per byte) is an estimate over the file as on disk."""

    name: str
    size: int
    writable: bool
    entropy_avg: float
    modified: bool
    staged_bytes: int

    @classmethod
    def from_json(cls, item: dict[str, Any]) -> Info:
        return cls(item["name"], int(item["size"]), bool(item["is_rw"]), float(item["entropy_avg"]),
                   bool(item["modified"]), int(item["staged_bytes"]))


@dataclass(frozen=True)
class Entropy:
    """The entropy profile of the file as on disk: eight blocks of
    min(size / 8, 2 MiB) bytes from offset 0. ``buckets`` counts the byte
    values 0x00, 0x10, ..., 0xF0 over them."""

    average: float
    minimum: float
    maximum: float
    buckets: Tuple[int, ...]
    sampled_bytes: int

    @classmethod
    def from_json(cls, item: dict[str, Any]) -> Entropy:
        return cls(float(item["entropy_avg"]), float(item["entropy_min"]), float(item["entropy_max"]),
                   tuple(int(n) for n in item["buckets"]), int(item["sampled_bytes"]))


@dataclass(frozen=True)
class Progress:
    """Where a running long call stands: ``op`` is "search", "compare" or
    "save"; ``done`` of ``total`` bytes; ``hits`` found so far (search)."""

    op: str
    done: int
    total: int
    hits: int

    @property
    def fraction(self) -> float:
        """``done / total``, 1.0 when there is nothing to do."""
        return self.done / self.total if self.total > 0 else 1.0

    @classmethod
    def from_json(cls, item: dict[str, Any]) -> Progress:
        return cls(str(item.get("op", "")), int(item.get("done", 0)), int(item.get("total", 0)),
                   int(item.get("hits", 0)))


class Hit:
    """A kept hit of a search: its ``index`` among the kept hits and its
    ``offset``. Its contexts are read from the engine when asked for, which
    works while the file is open and no later search has run."""

    __slots__ = ("index", "offset", "_result")

    def __init__(self, result: SearchResult, index: int, offset: int) -> None:
        self.index = index
        self.offset = offset
        self._result = result

    def __repr__(self) -> str:
        return f"Hit(index={self.index}, offset={self.offset:#x})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Hit) and (self.index, self.offset) == (other.index, other.offset)

    def __hash__(self) -> int:
        return hash((self.index, self.offset))

    @property
    def context_start(self) -> int:
        """Offset of the first byte of the context."""
        return max(0, self.offset - CONTEXT_BYTES)

    @property
    def context(self) -> bytes:
        """The bytes from 16 before the hit to 16 after it, clipped to the file."""
        return bytes.fromhex(self._result._field(self.index, b"context_hex"))

    @property
    def context_ascii(self) -> str:
        """The context as text, "." for unprintable bytes."""
        return str(json.loads('"' + self._result._field(self.index, b"context_ascii") + '"'))


class SearchResult:
    """What a search found. ``count`` counts every hit; the first 10000
    (:data:`MAX_STORED_HITS`) are kept, indexable and iterable as
    :class:`Hit` (``len()`` is their number); ``last`` is the offset of the
    last hit of all, or None. The hits' contexts stay readable until the next
    search or the file's close."""

    def __init__(self, file: HexFile, generation: int, pattern: str, mode: str, start: int,
                 count: int, last: Optional[int], offsets: List[int]) -> None:
        self.file = file
        self.pattern = pattern
        self.mode = mode
        self.start = start
        self.count = count
        self.last = last
        self.offsets: Tuple[int, ...] = tuple(offsets)
        self._generation = generation

    def __repr__(self) -> str:
        return f"SearchResult(count={self.count}, kept={len(self.offsets)}, last={self.last})"

    @property
    def capped(self) -> bool:
        """True when more hits were found than were kept."""
        return self.count > len(self.offsets)

    def __len__(self) -> int:
        return len(self.offsets)

    @overload
    def __getitem__(self, index: int) -> Hit: ...

    @overload
    def __getitem__(self, index: slice) -> List[Hit]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Hit, List[Hit]]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self.offsets)))]
        count = len(self.offsets)
        position = index + count if index < 0 else index
        if not 0 <= position < count:
            raise IndexError("hit index out of range")
        return Hit(self, position, self.offsets[position])

    def __iter__(self) -> Iterator[Hit]:
        for index, offset in enumerate(self.offsets):
            yield Hit(self, index, offset)

    def _field(self, index: int, name: bytes) -> str:
        from . import _file

        with _native.engine_lock:
            self.file._check_open()
            if _file.search_generation() != self._generation:
                raise StateError("these hits belong to an earlier search: their contexts are gone")
            text = _native.call_text("hx_search_field", index, name, filename=self.file.name)
            return text.decode("utf-8", "surrogateescape")


@dataclass(frozen=True)
class Run:
    """A run of up to 64 differing bytes: ``this`` from the open file,
    ``other`` from the compared one, both as long as the run."""

    offset: int
    this: bytes
    other: bytes

    @property
    def length(self) -> int:
        return len(self.this)

    @property
    def end(self) -> int:
        """Offset just past the run."""
        return self.offset + len(self.this)


@dataclass(frozen=True)
class CompareResult(Sequence[Run]):
    """The runs of differing bytes between the open file as on disk and the
    file at ``other``, in order; at most 10000 (:data:`MAX_RUNS`) runs are
    kept. Past its end a file reads as zeros, so the sizes are given too."""

    other: str
    size: int
    other_size: int
    runs: Tuple[Run, ...] = field(default=())

    @property
    def capped(self) -> bool:
        """True when the table is full, so later differences may be missing."""
        return len(self.runs) >= MAX_RUNS

    @property
    def identical(self) -> bool:
        """Same size and no differing byte."""
        return not self.runs and self.size == self.other_size

    def ranges(self) -> List[Tuple[int, int]]:
        """The differing ranges as (start, end) pairs, adjacent runs joined."""
        joined: List[Tuple[int, int]] = []
        for run in self.runs:
            if joined and joined[-1][1] == run.offset:
                joined[-1] = (joined[-1][0], run.end)
            else:
                joined.append((run.offset, run.end))
        return joined

    def __len__(self) -> int:
        return len(self.runs)

    @overload
    def __getitem__(self, index: int) -> Run: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[Run]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Run, Sequence[Run]]:
        return self.runs[index]

    def __iter__(self) -> Iterator[Run]:
        return iter(self.runs)

