"""An fsspec filesystem over one Vog file: protocol "vog".

    fsspec.open("vog://logs/x.csv", fo="data.vog")
    pandas.read_csv("vog://logs/x.csv", storage_options={"fo": "data.vog"})

As fsspec's archive filesystems do, ``fo`` names the container (a local path,
or a "file://" URL when chained) and paths inside are relative to its root. The
file is opened for reading, so that any number of processes may read it at
once, and reopened for writing by the first operation that writes, unless
``mode`` says otherwise ("r": never write, "a": open for writing at once,
creating the file if needed). An instance pickles as its arguments (the path,
the mode and the password), so dask workers reopen the file themselves.
"""

from __future__ import annotations

import threading
from typing import IO, Any

from fsspec.archive import AbstractArchiveFileSystem  # type: ignore[import]  # no types
from fsspec.implementations.local import LocalFileSystem  # type: ignore[import]

from ._fs import Password, VogFS, join, normpath, open_vog


class VogFileSystem(AbstractArchiveFileSystem):  # type: ignore[misc]
    protocol = "vog"
    root_marker = ""
    cachable = False  # each instance holds the file open (and maybe its write lock)

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
        self._lock = threading.Lock()
        self._vog: VogFS | None = None

    def _fs(self, write: bool = False) -> VogFS:
        """The open Vog file, reopened for writing when a write first needs it."""
        with self._lock:
            current = self._vog
            # Fixed "r" opens for reading even for a write, which the engine then refuses.
            wanted = self.mode or ("a" if write else "r")
            if current is not None and not current.closed and (current.mode == "a" or wanted == "r"):
                return current
            if current is not None and not current.closed:
                if current._files:
                    raise BlockingIOError(
                        f"{self.fo} has files open for reading; open it with mode='a' to write as well"
                    )
                current.close()
            self._vog = open_vog(self.fo, wanted, password=self._password)
            return self._vog

    def close(self) -> None:
        """Closes the file now. Without it, the file closes once this instance and
        every file object opened through it are gone."""
        with self._lock:
            if self._vog is not None:
                self._vog.close()

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
        else:
            entries = [
                {"name": entry.path, "size": 0, "type": "directory"} if entry.is_dir() else self._info_of(entry.path)
                for entry in fs.scandir(path)
            ]
        return entries if detail else [entry["name"] for entry in entries]

    def _get_dirs(self) -> None:
        """Listings come from the file each time: nothing to cache."""

    def exists(self, path: str, **kwargs: Any) -> bool:
        return self._fs().exists(self._strip_protocol(path))

    def _writable_with_parent(self, path: str) -> VogFS:
        """For a write: the file open for writing, with the parent of ``path`` made as
        object stores and fsspec's memory filesystem imply it."""
        fs = self._fs(write=True)
        if "/" in path:
            fs.makedirs(path.rsplit("/", 1)[0], exist_ok=True)
        return fs

    def _open(self, path: str, mode: str = "rb", **kwargs: Any) -> IO[bytes]:
        """``compressed=True`` stores a stream this call creates compressed."""
        path = self._strip_protocol(path)
        fs = self._fs() if mode == "rb" else self._writable_with_parent(path)
        return fs.open(path, mode, compressed=bool(kwargs.get("compressed", False)))

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
        self._writable_with_parent(path).write_bytes(path, value)

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        self._fs(write=True).mkdir(self._strip_protocol(path), parents=create_parents, exist_ok=create_parents)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        self._fs(write=True).makedirs(self._strip_protocol(path), exist_ok=exist_ok)

    def rmdir(self, path: str) -> None:
        self._fs(write=True).rmdir(self._strip_protocol(path))

    def _rm(self, path: str) -> None:
        fs = self._fs(write=True)
        path = self._strip_protocol(path)
        if fs.isdir(path):
            fs.rmdir(path)
        else:
            fs.remove(path)

    def rm_file(self, path: str) -> None:
        self._rm(path)

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        fs = self._fs(write=True)
        source, dest = self._strip_protocol(path1), self._strip_protocol(path2)
        if fs.isdir(source):
            fs.makedirs(dest, exist_ok=True)
            return
        with fs.open(source, "rb") as reader, fs.open(dest, "wb", compressed=fs.stat(source).compressed) as writer:
            while chunk := reader.read(1 << 20):
                writer.write(chunk)

    def mv(self, path1: str, path2: str, recursive: bool = False, maxdepth: int | None = None, **kwargs: Any) -> None:
        """A rename inside the file: no copy, for streams and whole directories alike."""
        fs = self._fs(write=True)
        source, dest = self._strip_protocol(path1), self._strip_protocol(path2)
        if fs.isdir(dest):
            dest = join(dest, source.rsplit("/", 1)[-1])
        fs.rename(source, dest)

    def created(self, path: str) -> Any:
        raise NotImplementedError("Vog files keep no timestamps")

    modified = created

    def __str__(self) -> str:
        return f"<VogFileSystem {self.fo!r}>"

    __repr__ = __str__
