"""The exceptions of the binding, sorted from the engine's messages."""
from __future__ import annotations

import os
import re
import sys
from typing import Optional

_CODE = re.compile(r"\(win error (\d+)\)")


class Error(Exception):
    """Any failure of the engine or of the binding.

    ``str(error)`` and ``error.message`` are the engine's own message (or the
    binding's, for checks made before the engine is called). The subclasses
    say what kind of failure it was, and also derive from the built-in
    exception that fits, so ``except OSError`` or ``except ValueError`` work.
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class FileError(Error, OSError):
    """A file could not be opened, read, mapped, compared or saved.

    ``errno`` holds the system's code from the message where it has one (on
    Windows ``winerror`` does), ``filename`` the path the call was given.
    """

    def __init__(self, message: str, filename: Optional[str] = None) -> None:
        Error.__init__(self, message)
        code = _CODE.search(message)
        self.filename = filename
        if code is not None:
            number = int(code.group(1))
            if sys.platform == "win32":
                self.winerror = number
            else:
                self.errno = number
                self.strerror = os.strerror(number)


class ArgumentError(Error, ValueError):
    """An argument was refused: a bad pattern, offset, length, mode or index."""


class ArgumentTypeError(ArgumentError, TypeError):
    """An argument has a type the call does not take."""


class StateError(Error, RuntimeError):
    """The call does not fit the state: the file is closed or read-only,
    another file is open, the edit list is full or holds
    its most bytes, the hits are stale, or a
    long call running on another thread holds what the call needs ("busy")."""


class Cancelled(StateError):
    """A long call (search, compare, save) was cancelled before it ended."""


class OutOfMemoryError(Error, MemoryError):
    """The engine could not get the memory the call needed."""


# Engine messages by their first words, in the order they are tried.
_KINDS: tuple[tuple[str, type[Error]], ...] = (
    ("cancelled", Cancelled),
    ("out of memory", OutOfMemoryError),
    ("no file open", StateError),
    ("file opened read-only", StateError),
    ("staged edits cap reached", StateError),
    ("staged bytes cap reached", StateError),
    ("file content unavailable", StateError),
    ("another process is saving", StateError),
    ("busy:", StateError),
    ("NULL", ArgumentError),
    ("invalid hex", ArgumentError),
    ("hex pattern too long", ArgumentError),
    ("empty or too-long", ArgumentError),
    ("unknown search mode", ArgumentError),
    ("wildcards not allowed", ArgumentError),
    ("negative offset", ArgumentError),
    ("negative length", ArgumentError),
    ("search index out of range", ArgumentError),
    ("diff index out of range", ArgumentError),
    ("unknown field", ArgumentError),
)


def engine_error(message: str, filename: Optional[str] = None) -> Error:
    """The exception for an engine message: anything not known to be about
    arguments or state is about a file."""
    for prefix, kind in _KINDS:
        if message.startswith(prefix):
            return kind(message)
    return FileError(message, filename)
