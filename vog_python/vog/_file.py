"""File objects over Vog streams: a raw stream wrapped as the built-in open() wraps a file."""

from __future__ import annotations

import errno
import io
import operator
import warnings
from collections.abc import Callable
from typing import IO, Any, cast

from . import _engine
from ._errors import NotFoundError

# Batches small reads and writes into one engine call each, yet stays below
# the 64 KiB chunks of shutil.copyfileobj and the like, which then go straight
# to the engine instead of being copied through the buffer.
DEFAULT_BUFFER_SIZE = 32 * 1024

_WriteableBuffer = Any  # bytearray, memoryview, array, mmap ...
_ReadableBuffer = Any


class VogRawIO(io.RawIOBase):
    """One open stream of a Vog file, with a position of its own.

    Reads and writes go to the engine at the position, so no other file object
    moves it. Created by ``VogFS.open``; closed with it.
    """

    def __init__(
        self,
        engine: _engine.Vog,
        handle: int,
        name: str,
        mode: str,
        on_close: Callable[[VogRawIO], None],
    ) -> None:
        super().__init__()
        self._engine: _engine.Vog | None = engine  # None once closed
        self._handle = handle
        self._pos = 0
        self._readable = "r" in mode or "+" in mode
        self._writable = "r" not in mode or "+" in mode
        self._append = "a" in mode
        self._on_close: Any = on_close  # None once closed
        self.name = name
        # As FileIO names its modes: "w+" reads back as "rb+".
        if mode[0] in "xa" or not self._readable:
            self.mode = mode
        else:
            self.mode = "rb+" if self._writable else "rb"
        if self._append:
            self._pos = engine.stream_length(handle)

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<vog.VogRawIO{state} name={self.name!r} mode={self.mode!r}>"

    def _check_open(self) -> _engine.Vog:
        engine = self._engine
        if engine is None or self.closed:
            raise ValueError("I/O operation on closed file")
        return engine

    def readable(self) -> bool:
        self._check_open()
        return self._readable

    def writable(self) -> bool:
        self._check_open()
        return self._writable

    def seekable(self) -> bool:
        self._check_open()
        return True

    def _check_readable(self) -> _engine.Vog:
        engine = self._check_open()
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")
        return engine

    def _check_writable(self) -> _engine.Vog:
        engine = self._check_open()
        if not self._writable:
            raise io.UnsupportedOperation("File not open for writing")
        return engine

    def readinto(self, buffer: _WriteableBuffer) -> int:
        count = self._check_readable().read_at(self._handle, self._pos, buffer)
        self._pos += count
        return count

    def readall(self) -> bytes:
        engine = self._check_readable()
        buffer = bytearray(max(engine.stream_length(self._handle) - self._pos, 0))
        count = self.readinto(buffer)
        del buffer[count:]
        return bytes(buffer)

    def write(self, data: _ReadableBuffer) -> int:
        engine = self._check_writable()
        # Appending writes at the end and moves there, unless it writes nothing (as O_APPEND).
        start = engine.stream_length(self._handle) if self._append else self._pos
        count = engine.write_at(self._handle, start, data)
        if count:
            self._pos = start + count
        return count

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        engine = self._check_open()
        offset = operator.index(offset)
        if whence == io.SEEK_SET:
            position = offset
        elif whence == io.SEEK_CUR:
            position = self._pos + offset
        elif whence == io.SEEK_END:
            position = engine.stream_length(self._handle) + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if position < 0:
            raise OSError(errno.EINVAL, "Invalid argument")
        self._pos = position
        return position

    def tell(self) -> int:
        self._check_open()
        return self._pos

    def truncate(self, size: int | None = None) -> int:
        engine = self._check_writable()
        size = self._pos if size is None else operator.index(size)
        if size < 0:
            raise OSError(errno.EINVAL, "Invalid argument")
        engine.resize(self._handle, size)
        return size

    def close(self) -> None:
        if self.closed:
            return
        try:
            super().close()
        finally:
            # A closed file object that lingers must not keep the Vog file open.
            on_close, self._on_close = self._on_close, None
            engine, self._engine = self._engine, None
            try:
                if engine is not None:
                    engine.close_stream(self._handle)
            except NotFoundError:
                pass  # a transaction's rollback closed the handle already
            finally:
                on_close(self)  # last: it may close the Vog file


def parse_mode(mode: str) -> tuple[str, bool]:
    """The raw mode ("rb", "wb+", ...) and whether ``mode`` is binary, checked as open() does."""
    modes = set(mode)
    if modes - set("axrwb+t") or len(mode) > len(modes):
        raise ValueError(f"invalid mode: {mode!r}")
    kinds = [kind for kind in "xrwa" if kind in modes]
    if "t" in modes and "b" in modes:
        raise ValueError("can't have text and binary mode at once")
    if len(kinds) != 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    return kinds[0] + "b" + ("+" if "+" in modes else ""), "b" in modes


def wrap(
    raw: VogRawIO,
    mode: str,
    binary: bool,
    buffering: int,
    encoding: str | None,
    errors: str | None,
    newline: str | None,
) -> IO[Any]:
    """The buffered (and for text, decoded) file object over ``raw``, as open() builds it."""
    line_buffering = buffering == 1
    if line_buffering:
        buffering = -1
    if buffering < 0:
        buffering = DEFAULT_BUFFER_SIZE
    if buffering == 0:
        return cast(IO[Any], raw)
    buffer: io.BufferedReader | io.BufferedWriter | io.BufferedRandom
    if raw.mode.endswith("+"):
        buffer = io.BufferedRandom(raw, buffering)
    elif raw.mode.startswith("r"):
        buffer = io.BufferedReader(raw, buffering)
    else:
        buffer = io.BufferedWriter(raw, buffering)
    if binary:
        return buffer
    text = io.TextIOWrapper(buffer, encoding, errors, newline, line_buffering=line_buffering)
    text.mode = mode  # type: ignore[misc]  # as open() sets it
    return text


def check_arguments(
    binary: bool, buffering: int, encoding: str | None, errors: str | None, newline: str | None
) -> None:
    """The argument checks open() makes before it touches any file."""
    if binary:
        for name, value in (("an encoding", encoding), ("an errors", errors), ("a newline", newline)):
            if value is not None:
                raise ValueError(f"binary mode doesn't take {name} argument")
        if buffering == 1:
            warnings.warn(
                "line buffering (buffering=1) isn't supported in binary mode, "
                "the default buffer size will be used",
                RuntimeWarning,
                3,
            )
    elif buffering == 0:
        raise ValueError("can't have unbuffered text I/O")
    if newline not in (None, "", "\n", "\r", "\r\n"):
        raise ValueError(f"illegal newline value: {newline!r}")
