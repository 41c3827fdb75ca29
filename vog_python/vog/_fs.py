"""VogFS: one open Vog file, its streams as file objects and its tree as os-style helpers."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import os
import stat as stat_module
import threading
import weakref
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import PurePosixPath
from types import TracebackType
from typing import IO, Any, BinaryIO, Literal, NoReturn, overload

from . import _engine, _shared, _tree
from ._errors import (
    ErrorKind,
    ExistsError,
    InvalidPathError,
    IsADirectoryVogError,
    NotADirectoryVogError,
    NotFoundError,
    VogError,
    make_error,
)
from ._file import VogRawIO, check_arguments, parse_mode, wrap
from ._names import join, vog_unusable
from ._shared import SharedEngine
from ._tree import Progress, name_error, raise_error, write_all

StrPath = str | PurePosixPath
LocalPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Password = str | bytes | None
BinaryMode = Literal[
    "rb", "wb", "ab", "xb", "r+b", "rb+", "w+b", "wb+", "a+b", "ab+", "x+b", "xb+"
]
TextMode = Literal[
    "r", "w", "a", "x", "r+", "w+", "a+", "x+",
    "rt", "wt", "at", "xt", "r+t", "rt+", "w+t", "wt+", "a+t", "at+", "x+t", "xt+",
]

_FS_MODES = ("r", "a", "x", "w")


def normpath(path: StrPath) -> str:
    """The engine's form of a path: no leading or trailing "/", the root as ""."""
    if isinstance(path, PurePosixPath):
        path = str(path)
    if not isinstance(path, str):
        raise TypeError(f"path must be str or PurePosixPath, not {type(path).__name__}")
    return path.strip("/") if path not in ("", ".") else ""


def password_bytes(password: Password) -> bytes | None:
    return password.encode() if isinstance(password, str) else password


@dataclass(frozen=True)
class VogStat:
    """What ``VogFS.stat`` reports: os.stat_result's size and mode, plus the stream's own.

    ``st_ino`` is the number of the stream that holds the bytes (of a directory:
    its entries); two paths with the same st_ino are the same stream or directory.
    """

    st_size: int
    st_mode: int
    reserved: int
    compressed: bool
    st_ino: int = 0


class VogDirEntry:
    """One entry of ``VogFS.scandir``, as os.DirEntry."""

    def __init__(self, fs: VogFS, parent: str, name: str, is_dir: bool) -> None:
        self.name = name
        self.path = join(parent, name)
        self._parent = parent
        self._fs = fs
        self._is_dir = is_dir

    def is_dir(self) -> bool:
        return self._is_dir

    def is_file(self) -> bool:
        return not self._is_dir

    def stat(self) -> VogStat:
        return self._fs.stat(self.path)

    def __repr__(self) -> str:
        return f"<VogDirEntry {self.name!r}>"


class VogFS:
    """An open Vog file. Made by ``vog.open``; a context manager that closes it.

    Every VogFS of one file in a process shares one engine (``_shared``): they
    see the same state, and each closes on its own, its own file objects with it.
    """

    def __init__(self, shared: SharedEngine, path: str, mode: str) -> None:
        self._shared = shared
        self._engine: _engine.Vog | None = shared.engine
        self.path = path
        self.mode = mode
        # Called once the last file object opened here is closed.
        self._on_last_file: Callable[[], object] | None = None
        # The outermost object of every open file, by its raw stream's id, to be
        # closed (and so flushed) before the engine; a raw stream leaves on close.
        self._files: dict[int, weakref.ref[IO[Any]]] = {}
        # The files opened in each transaction begun here and not yet ended.
        self._scopes: list[list[weakref.ref[IO[Any]]]] = []
        self._lock = threading.Lock()
        self._pid = os.getpid()

    # ---- the file as a whole

    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        return f"<{state}vog.VogFS path={self.path!r} mode={self.mode!r}>"

    def __enter__(self) -> VogFS:
        self._live()
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __reduce__(self) -> NoReturn:
        raise TypeError(
            "cannot pickle an open Vog file: pass its path (and mode and password) "
            "and open it again where it is needed"
        )

    @property
    def closed(self) -> bool:
        return self._engine is None

    @property
    def is_encrypted(self) -> bool:
        return self._live().is_encrypted()

    @property
    def geometry(self) -> tuple[int, int]:
        """(block_size_shift, compressed_block_size_shift) chosen when the file was made."""
        return self._live().geometry()

    def _live(self) -> _engine.Vog:
        engine = self._engine
        if engine is None:
            raise ValueError("I/O operation on closed Vog file")
        return engine

    def _changing(self) -> _engine.Vog:
        """The engine, for a change: refused when opened for reading, also when the
        engine it shares is writable."""
        engine = self._live()
        if self.mode == "r":
            raise make_error(ErrorKind.READ_ONLY, "read-only: Vog file is opened for reading")
        return engine

    def close(self) -> None:
        """Closes every file object still open on it (flushing them), then the file
        once no other VogFS of this process has it open; a transaction begun on it
        and still open is rolled back."""
        with self._lock:
            engine, self._engine = self._engine, None
            files = [ref() for ref in self._files.values()]
            scopes, self._scopes = self._scopes, []
        if engine is None:
            return
        if os.getpid() != self._pid:
            # A fork's copy: what the parent's files and transactions hold is the parent's.
            files, scopes = [], []
        try:
            for file in files:
                if file is not None:
                    file.close()
        finally:
            for _ in scopes:  # transactions begun here and left open end with it
                with contextlib.suppress(VogError):
                    engine.end_transaction(False)
            if _shared.release(self._shared):
                engine.close()

    def sync(self) -> None:
        """Flushes every file object still open on it, then commits: what was
        written so far survives a crash of the process (a power loss too when
        the file was opened with durability "full"). Files stay open. Inside a
        transaction, only the transaction's end commits."""
        engine = self._live()
        with self._lock:
            files = [ref() for ref in self._files.values()]
        for file in files:
            if file is not None and not file.closed:
                file.flush()
        if self.mode != "r":  # a reader commits nothing, even beside a writer
            engine.sync()

    @contextlib.contextmanager
    def transaction(self) -> Iterator[VogFS]:
        """Makes every change inside one commit when the block ends, or none when it
        raises. Every change of the file in this process joins it, whichever thread
        makes it; file objects opened inside and still open at the end are closed
        first. A rollback also closes the engine's side of files opened before it:
        their later calls fail. A transaction inside another joins it. Needs the
        rollback journal: refused at durability "off"."""
        scope = self._begin_transaction()
        try:
            yield self
        except BaseException:
            self._end_transaction(scope, commit=False)
            raise
        self._end_transaction(scope, commit=True)

    @contextlib.contextmanager
    def snapshot(self) -> Iterator[VogFS]:
        """Every read inside, on any thread, sees the one commit the file showed
        when the block began (a file open for writing reads its own state, and
        this does nothing). A writer in another process cannot commit meanwhile:
        its commit waits up to its timeout, then fails. Keep it short."""
        engine = self._live()
        engine.begin_snapshot()
        try:
            yield self
        finally:
            engine.end_snapshot()

    def _begin_transaction(self) -> list[weakref.ref[IO[Any]]]:
        engine = self._changing()
        engine.begin_transaction()
        scope: list[weakref.ref[IO[Any]]] = []
        with self._lock:
            self._scopes.append(scope)
        return scope

    def _end_transaction(self, scope: list[weakref.ref[IO[Any]]], commit: bool) -> None:
        with self._lock:
            engine = self._engine
            if scope in self._scopes:
                self._scopes.remove(scope)
            files = [ref() for ref in scope]
        if engine is None:  # closed inside: closing rolled it back
            if commit:
                raise ValueError("I/O operation on closed Vog file: the transaction was rolled back")
            return
        try:
            for file in files:
                if file is not None and not file.closed:
                    if commit:
                        file.close()
                    else:
                        with contextlib.suppress(Exception):
                            file.close()
        except BaseException:
            engine.end_transaction(False)
            raise
        engine.end_transaction(commit)

    def verify(self, max_lines: int | None = None) -> list[str]:
        """The problems found in the whole file, one line each; empty when it is sound.

        At most ``max_lines`` lines (None: the engine's limit of 10,000), the
        last one then counting the problems left out.
        """
        return self._live().verify(max_lines)

    # ---- streams

    @overload
    def open(
        self,
        path: StrPath,
        mode: BinaryMode = "rb",
        *,
        compressed: bool = False,
        buffering: int = -1,
        encoding: None = None,
        errors: None = None,
        newline: None = None,
    ) -> BinaryIO: ...

    @overload
    def open(
        self,
        path: StrPath,
        mode: TextMode,
        *,
        compressed: bool = False,
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper: ...

    @overload
    def open(
        self,
        path: StrPath,
        mode: str,
        *,
        compressed: bool = False,
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> IO[Any]: ...

    def open(
        self,
        path: StrPath,
        mode: str = "rb",
        *,
        compressed: bool = False,
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> IO[Any]:
        """A stream as a file object, with the built-in open()'s modes and semantics.

        ``compressed`` applies to a stream this call creates ("w", "x", or "a"
        of a missing stream).
        """
        raw_mode, binary = parse_mode(mode)
        check_arguments(binary, buffering, encoding, errors, newline)
        engine = self._live() if raw_mode == "rb" else self._changing()
        name = normpath(path)
        handle = self._open_handle(engine, name, raw_mode, compressed)
        try:
            raw = VogRawIO(engine, handle, str(path), raw_mode, self._forget)
        except BaseException:
            engine.close_stream(handle)
            raise
        try:
            file = wrap(raw, mode, binary, buffering, encoding, errors, newline)
        except BaseException:
            raw.close()
            raise
        with self._lock:
            registered = self._engine is not None
            if registered:
                ref = weakref.ref(file)
                self._files[id(raw)] = ref
                for scope in self._scopes:
                    scope.append(ref)
        if not registered:  # closed by another thread meanwhile, engine and all
            with contextlib.suppress(Exception):
                file.close()
            raise ValueError("I/O operation on closed Vog file")
        return file

    def _forget(self, raw: VogRawIO) -> None:
        with self._lock:
            self._files.pop(id(raw), None)
            last = not self._files
        if last and self._on_last_file is not None:
            self._on_last_file()

    def _open_handle(self, engine: _engine.Vog, path: str, raw_mode: str, compressed: bool) -> int:
        kind = raw_mode[0]
        writable = raw_mode != "rb"
        try:
            if kind == "r":
                return engine.open_stream(path, _engine.OpenMode.WRITE if writable else _engine.OpenMode.READ)
            if kind == "x":
                return engine.create_stream(path, compressed)
            if kind == "w":
                return self._create_replacing(engine, path, compressed)
            try:
                return engine.open_stream(path, _engine.OpenMode.WRITE)
            except NotFoundError:
                return engine.create_stream(path, compressed)
        except VogError as error:
            raise self._explain(error, path, creating=kind == "x") from None

    @staticmethod
    def _create_replacing(engine: _engine.Vog, path: str, compressed: bool) -> int:
        """A new, empty stream at ``path``, replacing a stream there (a failed delete
        costs more than a failed create, so creating comes first)."""
        try:
            return engine.create_stream(path, compressed)
        except ExistsError as exists:
            try:
                engine.delete_stream(path)
            except NotFoundError:
                raise exists from None  # a directory holds the name
            return engine.create_stream(path, compressed)

    def _explain(self, error: VogError, path: str, creating: bool = False) -> VogError:
        """A failure that a directory at ``path`` caused, as the error os would give."""
        causes = (ErrorKind.NOT_FOUND, ErrorKind.INVALID_PATH) if creating else (
            ErrorKind.NOT_FOUND, ErrorKind.ALREADY_EXISTS, ErrorKind.INVALID_PATH)
        if error.kind in causes:
            if path == "" or self._kind(path) == "dir":
                return make_error(error.kind, f"is a directory: {path}", IsADirectoryVogError, errno.EISDIR)
        return self._explain_parent(error, path)

    def _explain_parent(self, error: VogError, path: str) -> VogError:
        """A missing parent that is really a stream, as NotADirectoryError."""
        if error.kind is ErrorKind.NOT_FOUND:
            parent = path
            while "/" in parent:
                parent = parent.rsplit("/", 1)[0]
                if self._kind(parent) == "file":
                    return make_error(
                        error.kind, f"not a directory: {parent}", NotADirectoryVogError, errno.ENOTDIR
                    )
        return error

    def _kind(self, path: str) -> Literal["dir", "file"] | None:
        try:
            is_dir = self._live().stat(path)[0]
        except (NotFoundError, InvalidPathError, NotADirectoryVogError):
            return None
        return "dir" if is_dir else "file"

    def read_bytes(self, path: StrPath) -> bytes:
        with self.open(path, "rb", buffering=0) as file:
            return file.read()

    def write_bytes(self, path: StrPath, data: Any, compressed: bool = False) -> int:
        """Replaces (or creates) the stream with ``data``, any bytes-like object."""
        with self.open(path, "wb", buffering=0, compressed=compressed) as file:
            return write_all(file, memoryview(data).cast("B"))

    def read_text(self, path: StrPath, encoding: str | None = None, errors: str | None = None) -> str:
        with self.open(path, "r", encoding=encoding, errors=errors) as file:
            return file.read()

    def write_text(
        self,
        path: StrPath,
        data: str,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
        compressed: bool = False,
    ) -> int:
        with self.open(
            path, "w", encoding=encoding, errors=errors, newline=newline, compressed=compressed
        ) as file:
            return file.write(data)

    # ---- the tree

    def stat(self, path: StrPath = "") -> VogStat:
        name = normpath(path)
        try:
            is_dir, length, reserved, compressed, stream_id = self._live().stat(name)
        except VogError as error:
            raise self._explain_parent(error, name) from None
        if is_dir:
            return VogStat(0, stat_module.S_IFDIR | 0o755, 0, False, stream_id)
        return VogStat(length, stat_module.S_IFREG | 0o644, reserved, compressed, stream_id)

    def exists(self, path: StrPath) -> bool:
        return self._kind(normpath(path)) is not None

    def isdir(self, path: StrPath) -> bool:
        return self._kind(normpath(path)) == "dir"

    def isfile(self, path: StrPath) -> bool:
        return self._kind(normpath(path)) == "file"

    def _list(self, path: str) -> list[_engine.DirEntry]:
        try:
            return self._live().list(path)
        except VogError as error:
            if error.kind is ErrorKind.NOT_FOUND:
                if self._kind(path) == "file":
                    raise make_error(
                        error.kind, f"not a directory: {path}", NotADirectoryVogError, errno.ENOTDIR
                    ) from None
                if self._kind(path) is None:
                    raise make_error(error.kind, f"not found: {path}") from None
            raise

    def listdir(self, path: StrPath = "") -> list[str]:
        return [entry.name for entry in self._list(normpath(path))]

    def scandir(self, path: StrPath = "") -> Iterator[VogDirEntry]:
        parent = normpath(path)
        return iter(
            [
                VogDirEntry(self, parent, entry.name, entry.entry_type == _engine.EntryType.DIRECTORY)
                for entry in self._list(parent)
            ]
        )

    def walk(
        self,
        top: StrPath = "",
        topdown: bool = True,
        onerror: Callable[[OSError], object] | None = None,
    ) -> Iterator[tuple[str, list[str], list[str]]]:
        """As os.walk: (dirpath, dirnames, filenames); with ``topdown`` dirnames may be
        pruned; a directory that cannot be listed is skipped after ``onerror`` saw why.

        Each directory is gone into once. Two things only a damaged or hand-edited
        file holds are passed to ``onerror`` too, or raised without it: a name that
        no path can reach ("", ".", "..", or holding "/"; left out of the lists) as
        OSError EINVAL, and a directory met a second time (a cycle; not gone into
        again) as OSError ELOOP naming its path.
        """
        report = onerror if onerror is not None else raise_error
        def listing_failed(path: str, error: OSError) -> None:
            if onerror is not None:
                onerror(error)

        walked = _tree.walk_entries(self, normpath(top), topdown, listing_failed, lambda path, error: report(error))
        for dirpath, entries, subdirs in walked:
            dirs: list[str] = []
            files: list[str] = []
            for entry in entries:
                why = vog_unusable(entry.name)
                if why is not None:
                    report(name_error(dirpath, entry.name, why))
                else:
                    (dirs if entry.is_dir() else files).append(entry.name)
            yield dirpath, dirs, files
            if topdown:  # go into what the caller left in dirnames, in its order
                by_name = {entry.name: entry for entry in subdirs}
                subdirs[:] = [by_name[name] for name in dirs if name in by_name]

    def mkdir(self, path: StrPath, parents: bool = False, exist_ok: bool = False) -> None:
        """As pathlib.Path.mkdir."""
        name = normpath(path)
        engine = self._changing()
        try:
            engine.mkdir(name)
        except VogError as error:
            if error.kind is ErrorKind.ALREADY_EXISTS or (error.kind is ErrorKind.INVALID_PATH and name == ""):
                if exist_ok and self._kind(name) == "dir":
                    return
                raise make_error(ErrorKind.ALREADY_EXISTS, f"already exists: {name}", ExistsError) from None
            if error.kind is not ErrorKind.NOT_FOUND or not parents:
                raise self._explain_parent(error, name) from None
            self.mkdir(name.rsplit("/", 1)[0], parents=True, exist_ok=True)
            self.mkdir(name, parents=False, exist_ok=exist_ok)

    def makedirs(self, path: StrPath, exist_ok: bool = False) -> None:
        self.mkdir(path, parents=True, exist_ok=exist_ok)

    def remove(self, path: StrPath) -> None:
        name = normpath(path)
        try:
            self._changing().delete_stream(name)
        except VogError as error:
            raise self._explain(error, name) from None

    def rmdir(self, path: StrPath) -> None:
        name = normpath(path)
        try:
            self._changing().rmdir(name)
        except VogError as error:
            if error.kind is ErrorKind.NOT_FOUND and self._kind(name) == "file":
                raise make_error(
                    error.kind, f"not a directory: {name}", NotADirectoryVogError, errno.ENOTDIR
                ) from None
            raise self._explain_parent(error, name) from None

    def rmtree(self, path: StrPath) -> None:
        """Removes a directory and everything below it (the root: everything in it)."""
        top = normpath(path)
        if self._kind(top) == "file":
            raise make_error(ErrorKind.NOT_FOUND, f"not a directory: {top}", NotADirectoryVogError, errno.ENOTDIR)
        for dirpath, _, filenames in self.walk(top, topdown=False, onerror=raise_error):
            for filename in filenames:
                self.remove(join(dirpath, filename))
            if dirpath:
                self.rmdir(dirpath)

    def rename(self, src: StrPath, dst: StrPath) -> None:
        """Moves a stream or a directory. A stream replaces a stream at ``dst``, as os.rename does."""
        old, new = normpath(src), normpath(dst)
        engine = self._changing()
        kind = self._kind(old)
        try:
            if kind == "dir":
                engine.rename_dir(old, new)
                return
            if kind == "file" and self._kind(new) == "file" and old != new:
                engine.delete_stream(new)
            engine.rename_stream(old, new)
        except VogError as error:
            raise self._explain_parent(error, old) from None

    # ---- copies between the local file system and this file

    def put(
        self,
        local_path: LocalPath,
        path: StrPath,
        recursive: bool = False,
        compressed: bool = False,
        progress: Progress = None,
    ) -> None:
        """Copies a local file, or with ``recursive`` a directory tree, in; as cp does, into
        ``path`` when that is an existing directory, else to ``path``.

        A tree is read following symbolic links, each local directory once. What
        it cannot copy (a loop of links, a name the file cannot hold, a file that
        cannot be read or is no regular file) is skipped, and CopyError lists it
        once the rest is copied.
        """
        _tree.put(self, os.fsdecode(local_path), normpath(path), recursive, compressed, progress)

    def get(
        self, path: StrPath, local_path: LocalPath, recursive: bool = False, progress: Progress = None
    ) -> None:
        """Copies a stream, or with ``recursive`` a directory tree, out; as cp does, into
        ``local_path`` when that is an existing directory, else to ``local_path``.

        Nothing outside that is made or written: directories are made and files
        created inside their local parent directory, never through a symbolic
        link (one in the way is an error), and an existing file is replaced, not
        written through. What a tree cannot copy (a name that cannot be a local
        file name or that the local file system refuses, a cycle in a damaged
        file, a stream that cannot be read) is skipped, and CopyError lists it
        once the rest is copied.
        """
        _tree.get(self, normpath(path), os.fsdecode(local_path), recursive, progress)


def _lock_free(path: str) -> None:
    """Refuses to replace a file that another opener holds, as opening it would."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise make_error(
            ErrorKind.IO_ERROR, f"I/O error: Vog file is locked by another process: {path}"
        ) from None
    finally:
        os.close(fd)


_DURABILITY = {"off": 0, "process": 1, "full": 2}


def open_vog(
    path: LocalPath,
    mode: str = "r",
    *,
    password: Password = None,
    block_size_shift: int = 12,
    compressed_block_size_shift: int = 15,
    durability: str = "process",
    timeout: float = 5.0,
) -> VogFS:
    """Opens a Vog file: "r" to read, "a" to read and write (created if missing),
    "x" to create a new file, "w" to create, replacing an existing file. The
    shifts choose the geometry of a file this call creates.

    One writer shares the file with any number of readers in other processes;
    they see its commits only. Within one process every open of the file
    shares one engine and sees the same state, changes not yet committed
    included (one opened "r" still changes nothing); the password must be the
    same, and the first open's durability and timeout hold. An open for
    writing waits up to ``timeout`` seconds for a writer of another process to
    close, then raises ``BlockingIOError``; the same bound holds a commit that
    waits for readers of other processes, and a read that waits for a commit
    to be written.

    ``durability`` says what survives a crash: "off" (no journal: a crash in the
    middle of a change can damage the file; such a writer keeps readers out),
    "process" (a rollback journal: the file opens as of its last commit after
    the process is killed) or "full" (the same after a power loss, at the cost
    of fsyncs at every commit)."""
    if mode not in _FS_MODES:
        raise ValueError(f"invalid mode: {mode!r} (expected one of 'r', 'a', 'x', 'w')")
    if durability not in _DURABILITY:
        raise ValueError(
            f"invalid durability: {durability!r} (expected one of 'off', 'process', 'full')"
        )
    level = _DURABILITY[durability]
    name = os.fsdecode(path)
    secret = password_bytes(password)

    if not timeout >= 0:
        raise ValueError(f"timeout must be a number of seconds from 0 on, not {timeout!r}")

    def create() -> _engine.Vog:
        return _engine.Vog.create(
            name,
            block_size_shift,
            compressed_block_size_shift,
            secret,
            durability=level,
            timeout=timeout,
        )

    def open_existing(how: _engine.OpenMode) -> _engine.Vog:
        return _engine.Vog.open(name, how, secret, durability=level, timeout=timeout)

    def replace() -> _engine.Vog:
        _lock_free(name)
        try:
            os.unlink(name)
        except FileNotFoundError:
            pass
        return create()

    if mode == "r":
        shared = _shared.share(name, False, secret, timeout, lambda: open_existing(_engine.OpenMode.READ))
    elif mode == "a":
        shared = _shared.share(
            name, True, secret, timeout, lambda: _open_or_create(lambda: open_existing(_engine.OpenMode.WRITE), create)
        )
    else:
        shared = _shared.adopt(name, create if mode == "x" else replace, secret)
    return VogFS(shared, name, mode)


def open_for_reading(path: str, password: Password) -> VogFS:
    """Opens a Vog file "r" on a read-only engine of its own or shared with other
    such opens, never on a writer's (whose lock it would then keep)."""
    secret = password_bytes(password)
    timeout = 5.0

    def open_engine() -> _engine.Vog:
        return _engine.Vog.open(path, _engine.OpenMode.READ, secret, timeout=timeout)

    return VogFS(_shared.share(path, False, secret, timeout, open_engine, read_only_engine=True), path, "r")


def _open_or_create(
    open_existing: Callable[[], _engine.Vog], create: Callable[[], _engine.Vog]
) -> _engine.Vog:
    # Another process may create the file between the two: then that one is
    # opened. A new file gets its name complete, so the open finds it whole.
    for _ in range(3):
        try:
            return open_existing()
        except NotFoundError:
            pass
        try:
            return create()
        except ExistsError:
            pass
    return open_existing()
