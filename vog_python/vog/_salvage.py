"""salvage(): what can still be read of a damaged Vog file, copied into a new one."""

from __future__ import annotations

import enum
import os
from typing import NamedTuple

from . import _engine
from ._fs import LocalPath, Password, password_bytes


class SalvageLossKind(enum.Enum):
    DIRECTORY = 0  # unreadable: it and everything below it are missing
    STREAM = 1  # unreadable: missing from the new file
    TRUNCATED = 2  # only its first saved_bytes bytes were saved


class SalvageLoss(NamedTuple):
    """A path of a damaged file that salvage could not copy whole."""

    path: str  # as named in the damaged file; "" is the root directory
    kind: SalvageLossKind
    saved_bytes: int  # TRUNCATED only
    reason: str


def salvage(path: LocalPath, new_path: LocalPath, password: Password = None) -> list[SalvageLoss]:
    """Copies what can still be read of a damaged Vog file into a new one.

    ``new_path`` must not exist; it gets the same geometry and password. The
    damaged file is only read. Returns each path not copied whole, in the
    order the walk met them; empty when everything was saved.
    """
    losses = _engine.salvage(os.fsdecode(path), os.fsdecode(new_path), password_bytes(password))
    return [SalvageLoss(name, SalvageLossKind(kind), saved, reason) for name, kind, saved, reason in losses]
