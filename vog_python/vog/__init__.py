"""Vog: a tree of directories and byte streams kept inside one file.

    import vog

    with vog.open("data.vog", "a") as fs:
        fs.makedirs("logs", exist_ok=True)
        with fs.open("logs/today.txt", "w") as f:
            f.write("hello\\n")
        print(fs.listdir("logs"), fs.read_text("logs/today.txt"))

Streams open as the built-in open() opens files (binary modes give buffered
file objects, text modes a TextIOWrapper); failures are subclasses of
``vog.VogError`` that are also the built-in exceptions (FileNotFoundError, ...).
"""

from __future__ import annotations

import os

from . import _engine
from ._errors import (
    CopyError,
    ErrorKind,
    ExistsError,
    InvalidPathError,
    IsADirectoryVogError,
    LockedError,
    NotADirectoryVogError,
    NotEmptyError,
    NotFoundError,
    PasswordError,
    VogError,
    VogOSError,
)
from ._file import VogRawIO
from ._fs import LocalPath, Password, VogDirEntry, VogFS, VogStat, password_bytes
from ._fs import open_vog as open
from ._salvage import SalvageLoss, SalvageLossKind, salvage

__version__ = "0.1.0"


def optimize(path: LocalPath, password: Password = None) -> int:
    """Rewrites a closed Vog file without its free blocks; returns the bytes reclaimed."""
    return _engine.Vog.optimize(os.fsdecode(path), password_bytes(password))


def verify(path: LocalPath, password: Password = None, max_lines: int | None = None) -> list[str]:
    """The problems found in a Vog file, one line each; empty when it is sound.

    At most ``max_lines`` lines (None: the engine's limit of 10,000), the last
    one then counting the problems left out.
    """
    with open(path, "r", password=password) as fs:
        return fs.verify(max_lines)


__all__ = [
    "CopyError",
    "ErrorKind",
    "ExistsError",
    "InvalidPathError",
    "IsADirectoryVogError",
    "LockedError",
    "NotADirectoryVogError",
    "NotEmptyError",
    "NotFoundError",
    "PasswordError",
    "SalvageLoss",
    "SalvageLossKind",
    "VogDirEntry",
    "VogError",
    "VogFS",
    "VogOSError",
    "VogRawIO",
    "VogStat",
    "open",
    "optimize",
    "salvage",
    "verify",
]
