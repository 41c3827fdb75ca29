"""Engine errors as exceptions that are also the built-in ones Python code catches."""

from __future__ import annotations

import enum
import errno
import re

from . import _engine


class ErrorKind(enum.Enum):
    """The engine's kind of failure, in the engine's order."""

    NOT_FOUND = 0
    ALREADY_EXISTS = 1
    NOT_EMPTY = 2
    INVALID_PATH = 3
    LOCK_CONFLICT = 4
    SEEK_OUT_OF_BOUNDS = 5
    IO_ERROR = 6
    READ_ONLY = 7
    WRONG_PASSWORD = 8
    ENCRYPTION_REQUIRED = 9


class VogError(Exception):
    """Base of every engine failure; ``kind`` says which, ``str()`` is the engine's message."""

    kind: ErrorKind
    message: str

    def __str__(self) -> str:
        return self.message


class NotFoundError(VogError, FileNotFoundError):
    pass


class ExistsError(VogError, FileExistsError):
    pass


class IsADirectoryVogError(VogError, IsADirectoryError):
    pass


class NotADirectoryVogError(VogError, NotADirectoryError):
    pass


class NotEmptyError(VogError, OSError):
    pass


class InvalidPathError(VogError, ValueError):
    pass


class LockedError(VogError, BlockingIOError):
    pass


class PasswordError(VogError, PermissionError):
    pass


class VogOSError(VogError, OSError):
    pass


# The class and errno of each kind; IoError is refined by the system error it carries.
_BY_KIND: dict[ErrorKind, tuple[type[VogError], int]] = {
    ErrorKind.NOT_FOUND: (NotFoundError, errno.ENOENT),
    ErrorKind.ALREADY_EXISTS: (ExistsError, errno.EEXIST),
    ErrorKind.NOT_EMPTY: (NotEmptyError, errno.ENOTEMPTY),
    ErrorKind.INVALID_PATH: (InvalidPathError, errno.EINVAL),
    ErrorKind.LOCK_CONFLICT: (LockedError, errno.EWOULDBLOCK),
    ErrorKind.SEEK_OUT_OF_BOUNDS: (VogOSError, errno.EINVAL),
    ErrorKind.IO_ERROR: (VogOSError, errno.EIO),
    ErrorKind.READ_ONLY: (VogOSError, errno.EROFS),
    ErrorKind.WRONG_PASSWORD: (PasswordError, errno.EACCES),
    ErrorKind.ENCRYPTION_REQUIRED: (VogOSError, errno.EACCES),
}

_BY_ERRNO: dict[int, type[VogError]] = {
    errno.ENOENT: NotFoundError,
    errno.EEXIST: ExistsError,
    errno.EISDIR: IsADirectoryVogError,
    errno.ENOTDIR: NotADirectoryVogError,
    errno.EACCES: PasswordError,
    errno.EPERM: PasswordError,
    errno.EWOULDBLOCK: LockedError,
}

_OS_ERROR = re.compile(r"\(os error (\d+)\)$")
# The file layer reports another process's lock as an IoError without a number.
_FILE_LOCKED = "Vog file is locked by another process"


def make_error(
    kind: ErrorKind, message: str, cls: type[VogError] | None = None, code: int | None = None
) -> VogError:
    """The exception for an engine failure of ``kind``; ``cls``/``code`` override the mapping."""
    default_cls, default_code = _BY_KIND[kind]
    if kind is ErrorKind.IO_ERROR and cls is None:
        if found := _OS_ERROR.search(message):
            code = int(found.group(1))
            cls = _BY_ERRNO.get(code, VogOSError)
        elif _FILE_LOCKED in message:
            cls, code = LockedError, errno.EWOULDBLOCK
    cls = cls or default_cls
    code = default_code if code is None else code
    error = cls(message) if issubclass(cls, ValueError) else cls(code, message)
    error.kind = kind
    error.message = message
    return error


def _from_engine(kind: int, message: str) -> BaseException:
    return make_error(ErrorKind(kind), message)


_engine.set_error_factory(_from_engine)


class CopyError(OSError):
    """A copy of a tree (``VogFS.get``, ``VogFS.put``) that went on past failures.

    As shutil.Error: raised once at the end, after everything else was copied;
    ``errors`` lists each path not copied as (source, destination, exception),
    the destination "" when the source's name cannot be a local file name.
    """

    def __init__(self, errors: list[tuple[str, str, BaseException]]) -> None:
        self.errors = errors
        first = errors[0][2] if errors else None
        more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
        super().__init__(f"{len(errors)} not copied: {describe(first) if first else ''}{more}")


def describe(error: BaseException) -> str:
    """An exception as one line of text: the engine's message, else the system's."""
    if isinstance(error, VogError):
        return error.message
    if isinstance(error, OSError) and error.strerror:
        return f"{error.filename}: {error.strerror}" if error.filename is not None else error.strerror
    return str(error) or type(error).__name__


def closed_error(what: str) -> ValueError:
    return ValueError(f"I/O operation on closed {what}")
