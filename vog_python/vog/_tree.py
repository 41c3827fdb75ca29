"""Walks of a Vog file's tree, and copies of trees between it and the local file system.

VogFS's walk, put and get are made of these, and the fsspec filesystem and
the command use them too. A copy out makes and writes nothing outside its
destination: local directories and files are made relative to a directory
already open, never through a symbolic link.
"""

from __future__ import annotations

import errno
import os
import stat as stat_module
from collections.abc import Callable, Iterator
from typing import IO, TYPE_CHECKING, Any, NoReturn

from ._errors import CopyError, ErrorKind, IsADirectoryVogError, VogError, VogOSError, make_error
from ._names import join, quote, vog_unusable

if TYPE_CHECKING:
    from ._fs import VogDirEntry, VogFS

Progress = Callable[[int], object] | None

# Copies move this much per engine call.
COPY_CHUNK = 1 << 20


def walk_entries(
    fs: VogFS,
    top: str,
    topdown: bool,
    on_list_error: Callable[[str, OSError], object],
    on_tree_error: Callable[[str, OSError], object],
    maxdepth: int | None = None,
) -> Iterator[tuple[str, list[VogDirEntry], list[VogDirEntry]]]:
    """Each directory from ``top`` down, once: (dirpath, entries, subdirs), the
    entries as listed and subdirs those it goes into next (topdown: the caller
    may remove some). Only names a path can reach are gone into. A directory
    met again, by its stream ID, goes to ``on_tree_error`` as ELOOP; one that
    cannot be listed to ``on_list_error``; both get the path and the error.
    Iterative; ``maxdepth`` levels at most (1: ``top`` alone), else no limit."""
    seen: dict[int, str] = {}
    pending: list[str | tuple[str, list[VogDirEntry], list[VogDirEntry]]] = [top]
    while pending:
        item = pending.pop()
        if isinstance(item, tuple):
            yield item
            continue
        try:
            identity = fs.stat(item).st_ino
        except OSError as error:
            on_list_error(item, error)
            continue
        if identity in seen:
            on_tree_error(item, loop_error(item, seen[identity]))
            continue
        seen[identity] = item
        try:
            entries = list(fs.scandir(item))
        except OSError as error:
            on_list_error(item, error)
            continue
        subdirs = [entry for entry in entries if entry.is_dir() and vog_unusable(entry.name) is None]
        if maxdepth is not None and depth(top, item) >= maxdepth:
            subdirs = []
        if topdown:
            yield item, entries, subdirs
        else:
            pending.append((item, entries, subdirs))
        pending.extend(entry.path for entry in reversed(subdirs))


def put(fs: VogFS, source: str, dest: str, recursive: bool, compressed: bool, progress: Progress) -> None:
    """VogFS.put, of a local path decoded and a Vog path made plain."""
    if fs._kind(dest) == "dir":
        dest = join(dest, os.path.basename(os.path.normpath(source)))
    if not os.path.isdir(source):
        put_file(fs, source, dest, compressed, progress)
        return
    if not recursive:
        raise IsADirectoryError(errno.EISDIR, f"{source} is a directory (use recursive=True)")
    errors: list[tuple[str, str, BaseException]] = []
    seen: dict[tuple[int, int], str] = {}  # (device, inode) of each local directory copied
    pending = [(source, dest)]
    while pending:
        local, target = pending.pop()
        try:
            info = os.stat(local)
            first = seen.setdefault((info.st_dev, info.st_ino), local)
            if first != local:
                raise OSError(
                    errno.ELOOP,
                    f"directory met twice (a loop of symbolic links?): {quote(local, False)} "
                    f"is {quote(first, False)}",
                    local,
                )
            names = sorted(os.listdir(local))
            fs.mkdir(target, parents=True, exist_ok=True)
        except (OSError, ValueError) as error:
            errors.append((local, target, error))
            continue
        subdirs: list[tuple[str, str]] = []
        for name in names:
            child, inside = os.path.join(local, name), join(target, name)
            try:
                mode = os.stat(child).st_mode
                if stat_module.S_ISDIR(mode):
                    subdirs.append((child, inside))
                elif not stat_module.S_ISREG(mode):
                    raise OSError(errno.EINVAL, "not a regular file: skipped", child)
                else:
                    put_file(fs, child, inside, compressed, progress, regular_only=True)
            except (OSError, ValueError) as error:  # ValueError: a name the file cannot hold
                errors.append((child, inside, error))
        pending.extend(reversed(subdirs))
    if errors:
        raise CopyError(errors)


def put_file(
    fs: VogFS, source: str, dest: str, compressed: bool, progress: Progress, regular_only: bool = False
) -> None:
    # Without waiting for a writer when a FIFO took the place of a file.
    fd = os.open(source, os.O_RDONLY | os.O_CLOEXEC | (os.O_NONBLOCK if regular_only else 0))
    try:
        described = os.fstat(fd)
        if regular_only and not stat_module.S_ISREG(described.st_mode):
            raise OSError(errno.EINVAL, "not a regular file: skipped", source)
        size = described.st_size
        data = memoryview(os.read(fd, size + 1)) if size <= COPY_CHUNK else None
        if data is None or len(data) > size:  # big, or growing while we read it
            os.lseek(fd, 0, os.SEEK_SET)
            with open(fd, "rb", closefd=False) as local, fs.open(
                dest, "wb", buffering=0, compressed=compressed
            ) as stream:
                copy(local, stream, progress)
            return
    finally:
        os.close(fd)
    # The common small file: one read, and one engine call each to create,
    # write and close, without a file object around them.
    engine = fs._changing()
    try:
        handle = fs._create_replacing(engine, dest, compressed)
    except VogError as error:
        raise fs._explain(error, dest) from None
    try:
        written = 0
        while written < len(data):
            written += engine.write_at(handle, written, data[written:])
    finally:
        engine.close_stream(handle)
    if progress:
        progress(len(data))


def get(fs: VogFS, source: str, dest: str, recursive: bool, progress: Progress) -> None:
    """VogFS.get, of a Vog path made plain and a local path decoded."""
    kind = fs._kind(source)
    if kind is None:
        fs.stat(source)  # raises why not
    if kind == "dir" and not recursive:
        raise make_error(ErrorKind.NOT_FOUND, f"is a directory: {source}", IsADirectoryVogError, errno.EISDIR)
    leaf: str | None
    if os.path.isdir(dest):  # into it: the root's contents, or the named leaf
        parent, leaf = dest, source.rsplit("/", 1)[-1] if source else None
    else:
        parent, leaf = os.path.split(dest.rstrip("/") or dest)
    parent_fd = os.open(parent or os.curdir, DIR_FLAGS)
    try:
        shown = os.path.join(parent, leaf) if leaf is not None else parent
        if kind == "file":
            assert leaf is not None
            get_file_at(fs, source, parent_fd, leaf, shown, progress)
        else:
            get_tree(fs, source, parent_fd, leaf, shown, progress)
    finally:
        os.close(parent_fd)


def get_tree(fs: VogFS, source: str, parent_fd: int, leaf: str | None, shown: str, progress: Progress) -> None:
    errors: list[tuple[str, str, BaseException]] = []

    def local_of(path: str) -> str:
        relative = path[len(source):].lstrip("/")
        return os.path.join(shown, *relative.split("/")) if relative else shown

    def failed(path: str, error: OSError) -> None:
        errors.append((path, local_of(path), error))

    top_fd = os.dup(parent_fd) if leaf is None else make_dir_at(parent_fd, leaf, shown)
    # The local directory of each directory on the walk's current path, opened
    # once made: what is below is made relative to it.
    open_dirs: list[tuple[str, int, str]] = [(source, top_fd, shown)]
    try:
        for dirpath, entries, subdirs in walk_entries(fs, source, True, failed, failed):
            if dirpath != source:
                parent = dirpath.rsplit("/", 1)[0] if "/" in dirpath else ""
                while open_dirs[-1][0] != parent:
                    os.close(open_dirs.pop()[1])
                name = dirpath.rsplit("/", 1)[-1]
                local = os.path.join(open_dirs[-1][2], name)
                try:
                    fd = make_dir_at(open_dirs[-1][1], name, local)
                except OSError as error:
                    errors.append((dirpath, local, error))
                    subdirs.clear()
                    continue
                open_dirs.append((dirpath, fd, local))
            _, fd, local = open_dirs[-1]
            for entry in entries:
                why = vog_unusable(entry.name)
                if why is not None:
                    errors.append((entry.path, "", name_error(dirpath, entry.name, why)))
                    if entry in subdirs:
                        subdirs.remove(entry)
                elif not entry.is_dir():
                    target = os.path.join(local, entry.name)
                    try:
                        get_file_at(fs, entry.path, fd, entry.name, target, progress)
                    except (OSError, ValueError) as error:
                        errors.append((entry.path, target, error))
    finally:
        for _, fd, _ in open_dirs:
            os.close(fd)
    if errors:
        raise CopyError(errors)


def get_file_at(fs: VogFS, source: str, dir_fd: int, name: str, shown: str, progress: Progress) -> None:
    with fs.open(source, "rb", buffering=0) as stream:
        with open(create_file_at(dir_fd, name, shown), "wb", buffering=0) as local:
            copy(stream, local, progress)


def raise_error(error: OSError) -> NoReturn:
    raise error


def depth(top: str, path: str) -> int:
    """1 for ``top``, 2 for what is in it, ...: the names gone into hold no "/"."""
    relative = path[len(top):].lstrip("/")
    return 1 + (relative.count("/") + 1 if relative else 0)


def loop_error(path: str, first: str) -> VogOSError:
    """A directory met a second time: the same stream as ``first``."""
    cycle = first == "" or path.startswith(first + "/")
    what = "directory cycle" if cycle else "directory met twice"
    message = f"{what}: {quote(path, False)} is {quote(first or '/', False)}, not gone into again"
    return tree_error(ErrorKind.IO_ERROR, message, errno.ELOOP, path)


def name_error(parent: str, name: str, why: str) -> VogOSError:
    """A stored name that cannot be used as a path (component): skipped."""
    message = f"name {quote(name)} in {quote(parent or '/', False)} {why}: skipped"
    return tree_error(ErrorKind.INVALID_PATH, message, errno.EINVAL, join(parent, name))


def tree_error(kind: ErrorKind, message: str, code: int, path: str) -> VogOSError:
    """A problem of a damaged file's tree, as an OSError naming ``path``."""
    error = VogOSError(code, message, path)
    error.kind = kind
    error.message = message
    return error


# ---- local directories and files, made only inside a directory already open

DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC
NEW_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


def link_in_the_way(shown: str) -> OSError:
    return OSError(errno.ELOOP, "a symbolic link is in the way (not followed)", shown)


def make_dir_at(parent_fd: int, name: str, shown: str) -> int:
    """The directory ``name`` in the directory ``parent_fd``, made if missing and
    opened, never through a symbolic link; ``shown`` names it in errors."""
    try:
        os.mkdir(name, 0o777, dir_fd=parent_fd)  # never follows a link at name
    except FileExistsError:
        pass
    try:
        return os.open(name, DIR_FLAGS | os.O_NOFOLLOW, dir_fd=parent_fd)
    except OSError as error:
        try:
            is_link = stat_module.S_ISLNK(os.stat(name, dir_fd=parent_fd, follow_symlinks=False).st_mode)
        except OSError:
            is_link = False
        if is_link:
            raise link_in_the_way(shown) from None
        error.filename = shown
        raise


def create_file_at(dir_fd: int, name: str, shown: str) -> int:
    """A new file ``name`` in the directory ``dir_fd``, open for writing. An existing
    file there is unlinked first, so that its bytes (and those of any hard link to
    it) are never written; a symbolic link or a directory there is an error."""
    for _ in range(3):
        try:
            return os.open(name, NEW_FILE_FLAGS, 0o666, dir_fd=dir_fd)
        except FileExistsError:
            pass
        except OSError as error:
            error.filename = shown
            raise
        try:
            mode = os.stat(name, dir_fd=dir_fd, follow_symlinks=False).st_mode
            if stat_module.S_ISLNK(mode):
                raise link_in_the_way(shown)
            if stat_module.S_ISDIR(mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), shown)
            os.unlink(name, dir_fd=dir_fd)
        except FileNotFoundError:
            pass  # gone meanwhile: try again
    raise FileExistsError(errno.EEXIST, "made again while being replaced", shown)


def copy(source: IO[bytes], dest: IO[bytes], progress: Progress) -> None:
    buffer = bytearray(COPY_CHUNK)
    view = memoryview(buffer)
    while count := source.readinto(view):  # type: ignore[attr-defined]
        write_all(dest, view[:count])
        if progress:
            progress(count)


def write_all(file: IO[Any], data: memoryview) -> int:
    written = 0
    while written < len(data):
        written += file.write(data[written:])
    return written
