"""An fsspec filesystem over one Vog file: protocol "vog".

    fsspec.open("vog://logs/x.csv", fo="data.vog")
    pandas.read_csv("vog://logs/x.csv", storage_options={"fo": "data.vog"})

As fsspec's archive filesystems do, ``fo`` names the container (a local path,
or a "file://" URL when chained) and paths inside are relative to its root.
Reads go through an open for reading, so that any number of processes may
read the file at once, and see its commits. Each operation that writes opens
it for writing, and lets go once the operation, every file object it opened
and any transaction are done (each ends in a commit): then a writer in
another process (a dask worker, say) may have it. ``mode`` says otherwise:
"r" never writes, "a" opens for writing at once (creating the file if needed),
keeps it, and reads through it too. In one process, instances on one file
share its engines (vog.open). An instance pickles as its arguments (the path,
the mode and the password), so dask workers reopen the file themselves.

``with fs.transaction:`` (or ``fs.start_transaction()`` and
``fs.end_transaction(commit)``) makes every change inside one commit of the
Vog file at the end, or none when the block raises; files opened for writing
inside are closed first.

A damaged or hand-edited file may hold names that no path can reach ("", ".",
"..", names with "/"): listings leave them out. Walks (walk, find, du, ...) go
into each directory once: a directory met again (a cycle) raises OSError ELOOP.
get never makes or writes anything outside its local destination, and goes on
past what it cannot copy, raising vog.CopyError at the end.
"""

from __future__ import annotations

import contextlib
import contextvars
import errno
import os
import threading
from collections.abc import Iterator
from typing import IO, Any

from fsspec.archive import AbstractArchiveFileSystem  # type: ignore[import]  # no types
from fsspec.implementations.local import LocalFileSystem, make_path_posix  # type: ignore[import]
from fsspec.transaction import Transaction  # type: ignore[import]

from ._errors import CopyError
from . import _tree
from ._fs import Password, VogDirEntry, VogFS, normpath, open_for_reading, open_vog
from ._names import join, vog_unusable


class _Extraction:
    """One call of VogFileSystem.get: where its files may go, and what failed."""

    def __init__(self, lpath: Any) -> None:
        # Every local path of a single destination is it or below it, made from
        # the directory ``root`` down (it, or its parent while it does not exist);
        # with a list of destinations, each is made in its own parent.
        self.dest: str | None = None
        self.root: str | None = None
        if isinstance(lpath, (str, os.PathLike)):
            self.dest = make_path_posix(os.fsdecode(lpath)).rstrip("/") or "/"
            self.root = self.dest if os.path.isdir(self.dest) else os.path.dirname(self.dest)
        self.errors: list[tuple[str, str, BaseException]] = []


_EXTRACTION: contextvars.ContextVar[_Extraction | None] = contextvars.ContextVar("vog_extraction", default=None)


class _VogTransaction(Transaction):  # type: ignore[misc]
    """fsspec's transaction as one of the Vog file: files opened for writing inside
    are deferred (fsspec commits or discards each at the end), and every change
    inside, theirs and the others, is one commit at the end, or none."""

    files: list[Any]

    def __init__(self, fs: VogFileSystem, **kwargs: Any) -> None:
        super().__init__(fs, **kwargs)
        self._vog: VogFS | None = None
        self._scope: Any = None

    def start(self) -> None:
        super().start()
        with self.fs._writer() as vog:
            self._scope = vog._begin_transaction()
            self._vog = vog

    def complete(self, commit: bool = True) -> None:
        files: list[Any] = list(self.files)
        self.files = []
        vog, self._vog = self._vog, None
        self.fs._intrans = False
        try:
            for file in files:  # each is closed: its bytes join the Vog transaction
                if commit:
                    file.commit()
                else:
                    file.discard()
        except BaseException:
            if vog is not None:
                vog._end_transaction(self._scope, commit=False)
            raise
        if vog is not None:
            vog._end_transaction(self._scope, commit)
            self.fs._let_go()


class VogFileSystem(AbstractArchiveFileSystem):  # type: ignore[misc]
    protocol = "vog"
    root_marker = ""
    cachable = False  # each instance holds the file open (and maybe its write lock)
    _transaction: Transaction | None

    def __init__(
        self,
        fo: str = "",
        mode: str | None = None,
        password: Password = None,
        target_protocol: str | None = None,
        target_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> None:
        super().__init__(**kwargs)
        if target_protocol not in (None, "file", "local"):
            raise ValueError(f"a Vog file must be a local file, not {target_protocol}://")
        if mode not in (None, "r", "a"):
            raise ValueError(f"invalid mode: {mode!r} (expected 'r' or 'a')")
        self.fo = LocalFileSystem._strip_protocol(fo)
        self.mode = mode
        self._password = password
        self._lock = threading.Lock()  # guards the three below
        self._reader: VogFS | None = None
        self._writer_vog: VogFS | None = None
        self._writing = 0  # operations that write, under way

    def _fs(self) -> VogFS:
        """The open Vog file for a read: the writer's during a transaction, which
        reads its own changes, and with mode "a"."""
        with self._lock:
            if self.mode == "a" or (self._intrans and self._writer_vog is not None):
                return self._open_writer()
            if self._reader is None or self._reader.closed:
                if self.mode == "r":
                    self._reader = open_vog(self.fo, "r", password=self._password)
                else:
                    self._reader = open_for_reading(self.fo, self._password)
            return self._reader

    def _open_writer(self) -> VogFS:
        """REQUIRES: self._lock held."""
        vog = self._writer_vog
        if vog is None or vog.closed:
            vog = open_vog(self.fo, "a", password=self._password)
            if self.mode is None:
                vog._on_last_file = self._let_go
            self._writer_vog = vog
        return vog

    @contextlib.contextmanager
    def _writer(self) -> Iterator[VogFS]:
        """The file open for writing, for one operation that writes (with mode "r",
        open for reading, which refuses the write)."""
        if self.mode == "r":
            yield self._fs()
            return
        with self._lock:
            vog = self._open_writer()
            self._writing += 1
        try:
            yield vog
        finally:
            with self._lock:
                self._writing -= 1
            self._let_go()

    def _let_go(self) -> None:
        """Closes the file opened for writing once no operation, file object or
        transaction of this instance writes through it (mode None only)."""
        with self._lock:
            vog = self._writer_vog
            if self.mode is not None or vog is None or self._writing:
                return
            if vog._files or vog._scopes or self._intrans:
                return
            self._writer_vog = None
        vog.close()

    def close(self) -> None:
        """Closes the file now. Without it, the file closes once this instance and
        every file object opened through it are gone."""
        with self._lock:
            vogs = [self._reader, self._writer_vog]
        for vog in vogs:
            if vog is not None:
                vog.close()

    transaction_type = _VogTransaction

    @property
    def transaction(self) -> Transaction:
        """The transaction of ``with fs.transaction:`` (see the module's notes)."""
        if self._transaction is None:
            self._transaction = _VogTransaction(self)
        return self._transaction

    def start_transaction(self) -> Transaction:
        transaction = _VogTransaction(self)
        self._transaction = transaction
        transaction.start()
        return transaction

    def end_transaction(self, commit: bool = True) -> None:
        """Commits (or with ``commit=False`` discards) what start_transaction began."""
        transaction: Transaction | None = self._transaction
        self._transaction = None
        if transaction is not None:
            transaction.complete(commit)

    @classmethod
    def _strip_protocol(cls, path: str | list[str]) -> Any:
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        return normpath(super()._strip_protocol(path))

    def _info_of(self, path: str) -> dict[str, Any]:
        info = self._fs().stat(path)
        is_dir = info.st_mode & 0o170000 == 0o040000
        return {
            "name": path,
            "size": info.st_size,
            "type": "directory" if is_dir else "file",
            "reserved": info.reserved,
            "compressed": info.compressed,
        }

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        return self._info_of(self._strip_protocol(path))

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        fs = self._fs()
        if fs.isfile(path):
            entries = [self._info_of(path)]
        else:  # a name no path can reach has no place in a listing of paths
            entries = [self._entry_info(entry) for entry in fs.scandir(path) if vog_unusable(entry.name) is None]
        return entries if detail else [entry["name"] for entry in entries]

    def _entry_info(self, entry: VogDirEntry) -> dict[str, Any]:
        return {"name": entry.path, "size": 0, "type": "directory"} if entry.is_dir() else self._info_of(entry.path)

    def walk(
        self, path: str, maxdepth: int | None = None, topdown: bool = True, on_error: Any = "omit", **kwargs: Any
    ) -> Iterator[tuple[str, Any, Any]]:
        """As fsspec's walk (find, du, glob and expand_path use it), without recursion
        and into each directory once: a directory met again, a cycle of a damaged
        file, raises OSError ELOOP. A directory that cannot be listed is left out
        (``on_error``: "omit", "raise" or a callable given the error)."""
        detail = kwargs.pop("detail", False)
        if maxdepth is not None and maxdepth < 1:
            raise ValueError("maxdepth must be at least 1")
        top = self._strip_protocol(path)
        extraction = _EXTRACTION.get()

        def listing_failed(where: str, error: OSError) -> None:
            if on_error == "raise":
                raise error
            if callable(on_error):
                on_error(error)

        def tree_failed(where: str, error: OSError) -> None:
            if extraction is None:
                raise error
            extraction.errors.append((where, "", error))  # a get goes on without it

        walked = _tree.walk_entries(self._fs(), top, topdown, listing_failed, tree_failed, maxdepth)
        for dirpath, entries, subdirs in walked:
            dirs: dict[str, Any] = {}
            files: dict[str, Any] = {}
            for entry in entries:
                why = vog_unusable(entry.name)
                if why is not None:
                    if extraction is not None:
                        extraction.errors.append((entry.path, "", _tree.name_error(dirpath, entry.name, why)))
                    continue
                (dirs if entry.is_dir() else files)[entry.name] = self._entry_info(entry)
            shown_dirs: Any = dirs if detail else list(dirs)
            yield dirpath, shown_dirs, files if detail else list(files)
            if topdown:  # go into what the caller left in dirs
                by_name = {entry.name: entry for entry in subdirs}
                subdirs[:] = [by_name[name] for name in shown_dirs if name in by_name]

    def get(self, rpath: Any, lpath: Any, recursive: bool = False, **kwargs: Any) -> None:
        """As fsspec's get, and nothing outside ``lpath`` is made or written:
        directories are made and files created inside their local parent, never
        through a symbolic link, and an existing file is replaced, not written
        through. What cannot be copied (a name that cannot be a local file name,
        a cycle of a damaged file, ...) is skipped, and vog.CopyError lists it
        once the rest is copied."""
        if recursive and isinstance(rpath, str) and self._strip_protocol(rpath) == "" and isinstance(lpath, str):
            # The whole file, into lpath (fsspec would map the root's paths beside it).
            self._fs().get("", make_path_posix(lpath), recursive=True)
            return
        extraction = _Extraction(lpath)
        token = _EXTRACTION.set(extraction)
        try:
            super().get(rpath, lpath, recursive=recursive, **kwargs)
        finally:
            _EXTRACTION.reset(token)
        if extraction.errors:
            raise CopyError(extraction.errors)

    def get_file(self, rpath: str, lpath: Any, callback: Any = None, outfile: Any = None, **kwargs: Any) -> None:
        """One stream (or a directory: made) to a local path, as get does it."""
        extraction = _EXTRACTION.get()
        source = self._strip_protocol(rpath)
        fs = self._fs()
        if outfile is not None:
            with fs.open(source, "rb") as stream:
                while chunk := stream.read(1 << 20):
                    outfile.write(chunk)
            return
        target = make_path_posix(os.fsdecode(lpath))
        try:
            root = None
            if extraction is not None and extraction.dest is not None:
                if not _at_or_below(target, extraction.dest):
                    raise OSError(errno.EINVAL, f"outside the destination {extraction.dest}: not written", target)
                root = extraction.root
            self._get_beneath(fs, source, target, root, callback)
        except (OSError, ValueError) as error:
            if extraction is None:
                raise
            extraction.errors.append((source, target, error))

    @staticmethod
    def _get_beneath(fs: VogFS, source: str, target: str, root: str | None, callback: Any) -> None:
        """``source`` to ``target``, made below ``root`` (or the target's parent) one
        name at a time, each relative to its parent directory and none a link."""
        if root is None or not _at_or_below(target, root):
            root = os.path.dirname(target.rstrip("/")) or "/"
        parts = [part for part in target[len(root):].split("/") if part]
        for part in parts:
            why = vog_unusable(part)
            if why is not None:
                raise OSError(errno.EINVAL, f"name {why}", target)
        is_dir = fs.isdir(source)
        fd = os.open(root, _tree.DIR_FLAGS)
        try:
            shown = root
            for index, part in enumerate(parts):
                shown = os.path.join(shown, part)
                if index == len(parts) - 1 and not is_dir:
                    progress = callback.relative_update if callback is not None else None
                    if callback is not None:
                        callback.set_size(fs.stat(source).st_size)
                    _tree.get_file_at(fs, source, fd, part, shown, progress)
                    return
                parent, fd = fd, _tree.make_dir_at(fd, part, shown)
                os.close(parent)
            if not is_dir:
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
        finally:
            os.close(fd)

    def _get_dirs(self) -> None:
        """Listings come from the file each time: nothing to cache."""

    def exists(self, path: str, **kwargs: Any) -> bool:
        return self._fs().exists(self._strip_protocol(path))

    @staticmethod
    def _make_parent(fs: VogFS, path: str) -> None:
        """Makes the parent of ``path``, as object stores and fsspec's memory
        filesystem imply it for a write."""
        if "/" in path:
            fs.makedirs(path.rsplit("/", 1)[0], exist_ok=True)

    def _open(self, path: str, mode: str = "rb", **kwargs: Any) -> IO[bytes]:
        """``compressed=True`` stores a stream this call creates compressed."""
        path = self._strip_protocol(path)
        compressed = bool(kwargs.get("compressed", False))
        if mode == "rb":
            return self._fs().open(path, mode)
        with self._writer() as fs:
            self._make_parent(fs, path)
            file = fs.open(path, mode, compressed=compressed)
        if kwargs.get("autocommit") is False:
            # Deferred by a transaction, which ends by committing or discarding
            # it: either way it is closed, and the Vog transaction decides.
            file.commit = file.discard = file.close  # type: ignore[attr-defined]
        return file

    def cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        with self._open(path, "rb") as file:
            size = self.size(path) if (start or 0) < 0 or (end or 0) < 0 else 0
            begin = 0 if start is None else start + size if start < 0 else start
            file.seek(begin)
            if end is None:
                return file.read()
            return file.read(max((end + size if end < 0 else end) - begin, 0))

    def pipe_file(self, path: str, value: bytes, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        with self._writer() as fs:
            self._make_parent(fs, path)
            fs.write_bytes(path, value)

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        with self._writer() as fs:
            fs.mkdir(self._strip_protocol(path), parents=create_parents, exist_ok=create_parents)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        with self._writer() as fs:
            fs.makedirs(self._strip_protocol(path), exist_ok=exist_ok)

    def rmdir(self, path: str) -> None:
        with self._writer() as fs:
            fs.rmdir(self._strip_protocol(path))

    def _rm(self, path: str) -> None:
        path = self._strip_protocol(path)
        with self._writer() as fs:
            if fs.isdir(path):
                fs.rmdir(path)
            else:
                fs.remove(path)

    def rm_file(self, path: str) -> None:
        self._rm(path)

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        source, dest = self._strip_protocol(path1), self._strip_protocol(path2)
        with self._writer() as fs:
            if fs.isdir(source):
                fs.makedirs(dest, exist_ok=True)
                return
            with fs.open(source, "rb") as reader, fs.open(dest, "wb", compressed=fs.stat(source).compressed) as writer:
                while chunk := reader.read(1 << 20):
                    writer.write(chunk)

    def mv(self, path1: str, path2: str, recursive: bool = False, maxdepth: int | None = None, **kwargs: Any) -> None:
        """A rename inside the file: no copy, for streams and whole directories alike."""
        source, dest = self._strip_protocol(path1), self._strip_protocol(path2)
        with self._writer() as fs:
            if fs.isdir(dest):
                dest = join(dest, source.rsplit("/", 1)[-1])
            fs.rename(source, dest)

    def created(self, path: str) -> Any:
        raise NotImplementedError("Vog files keep no timestamps")

    modified = created

    def __str__(self) -> str:
        return f"<VogFileSystem {self.fo!r}>"

    __repr__ = __str__


def _at_or_below(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip("/") + "/")
