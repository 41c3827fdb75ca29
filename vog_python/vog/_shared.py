"""One engine per Vog file in a process: every open of a file shares it.

Two engines on one file in one process would exclude each other as two
processes do (a second writer waits for the first to close), and a reader
would not see the writer's changes before their commit. So opens of one file
(by its device and inode) share the live engine, counted by the VogFS objects
open on it, and the last to close closes it. A writable engine serves every
open; a read-only one serves readers only: an open for writing beside it
opens a writable engine, which serves the opens from then on, while the
read-only one goes on for the VogFS objects that have it (reading the new
engine's commits as any reader of another open does). A reader may ask for a
read-only engine (the fsspec filesystem's reads do, so that they never keep a
writer's engine, and its lock, open).

The registry holds its engines weakly: a VogFS dropped without close() lets
its engine go as before. A forked child never gets its parent's engines (they
are inert copies there): entries remember the process that opened them.
"""

from __future__ import annotations

import hashlib
import hmac
import os
import threading
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager

from . import _engine
from ._errors import ErrorKind, make_error

# Keys the digest of the password an engine was opened with, which later
# opens are compared with: the password itself is not kept.
_SALT = os.urandom(16)


def _digest(secret: bytes | None) -> bytes | None:
    return None if secret is None else hashlib.blake2b(secret, key=_SALT).digest()


class SharedEngine:
    """An engine and the VogFS objects open on it."""

    def __init__(self, engine: _engine.Vog, key: tuple[int, int], writable: bool, secret: bytes | None) -> None:
        self.engine = engine
        self.key = key
        self.writable = writable
        self.users = 0  # VogFS objects open on it; guarded by _lock
        self.pid = os.getpid()
        self._digest = _digest(secret)

    def check_password(self, path: str, secret: bytes | None, timeout: float) -> None:
        """Raises what opening the file with ``secret`` would, unless it is the
        password this engine was opened with."""
        digest = _digest(secret)
        if digest is None or self._digest is None:
            if digest is self._digest:
                return
        elif hmac.compare_digest(digest, self._digest):
            return
        # The engine's own error (a wrong password, none for an encrypted file, one
        # for a plain file): from an open of its own, which only reads.
        _engine.Vog.open(path, _engine.OpenMode.READ, secret, timeout=timeout).close()
        raise make_error(ErrorKind.WRONG_PASSWORD, "wrong password: not the one the file is open with here")


_lock = threading.Lock()  # guards _engines, _gates and every SharedEngine.users
# The engines of each file, by whether they are writable.
_engines: dict[tuple[int, int], dict[bool, weakref.ref[SharedEngine]]] = {}
# Opens of one path wait for each other, so that a second one finds the first's engine.
_gates: dict[str, tuple[threading.Lock, int]] = {}


@contextmanager
def _gate(path: str) -> Iterator[None]:
    where = os.path.realpath(path)
    with _lock:
        gate, waiting = _gates.get(where, (threading.Lock(), 0))
        _gates[where] = (gate, waiting + 1)
    try:
        with gate:
            yield
    finally:
        with _lock:
            gate, waiting = _gates[where]
            if waiting == 1:
                del _gates[where]
            else:
                _gates[where] = (gate, waiting - 1)


def _key(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return None
    return info.st_dev, info.st_ino


def _take(key: tuple[int, int] | None, kinds: tuple[bool, ...]) -> SharedEngine | None:
    """The live engine of this process for ``key``, writable or not as ``kinds``
    lists them in order of preference, counted as used."""
    if key is None:
        return None
    with _lock:
        slots = _engines.get(key, {})
        for writable in kinds:
            ref = slots.get(writable)
            shared = ref() if ref is not None else None
            if shared is not None and shared.pid == os.getpid():
                shared.users += 1
                return shared
        return None


def _keep(path: str, engine: _engine.Vog, writable: bool, secret: bytes | None) -> SharedEngine:
    """Registers an engine just opened, in place of any older one of its file."""
    key = _key(path)
    if key is None:  # gone meanwhile: shared with nobody
        key = (-1, id(engine))
    shared = SharedEngine(engine, key, writable, secret)
    with _lock:
        shared.users = 1
        _engines.setdefault(key, {})[writable] = weakref.ref(shared)
    return shared


def share(
    path: str,
    writable: bool,
    secret: bytes | None,
    timeout: float,
    open_engine: Callable[[], _engine.Vog],
    read_only_engine: bool = False,
) -> SharedEngine:
    """The engine of ``path`` in this process, or a new one from ``open_engine``:
    writable for ``writable``, else any (read-only with ``read_only_engine``)."""
    kinds = (True,) if writable else (False,) if read_only_engine else (True, False)
    with _gate(path):
        found = _take(_key(path), kinds)
        if found is not None:
            try:
                found.check_password(path, secret, timeout)
            except BaseException:
                release(found)
                raise
            return found
        return _keep(path, open_engine(), writable, secret)


def adopt(path: str, create: Callable[[], _engine.Vog], secret: bytes | None) -> SharedEngine:
    """The writable engine of a new file at ``path``, from ``create``."""
    with _gate(path):
        return _keep(path, create(), True, secret)


def release(shared: SharedEngine) -> bool:
    """One VogFS object less; True when it was the last, and the engine is to close."""
    with _lock:
        shared.users -= 1
        if shared.users > 0:
            return False
        slots = _engines.get(shared.key, {})
        ref = slots.get(shared.writable)
        if ref is not None and ref() is shared:
            del slots[shared.writable]
            if not slots:
                del _engines[shared.key]
        return True
