import os
import pathlib
import string
import struct

import pytest

import libvog
from vog import open as open_vog  # the fixture below is named vog


@pytest.fixture
def path(tmp_path):
    """Path of a Vog file that does not exist yet."""
    return os.fspath(tmp_path / "test.vog")


@pytest.fixture
def vog(path):
    """A fresh writable Vog file, closed after the test."""
    handle = libvog.Vog.create(path)
    yield handle
    handle.close()


# ---- hostile files: the bytes of a valid file, edited as an attacker would


def _name_hash(stored):
    """FNV-1a of a stored name, as directory streams index it."""
    value = 0x811C9DC5
    for byte in stored:
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    return value


def _directory_stream(entries, length=None):
    """A directory stream of (stored name, stream id) entries, in that order; padded
    before its footer to ``length`` (a reader ignores what its table does not fill)."""
    region, slots = b"", []
    for stored, stream_id in entries:
        slots.append((_name_hash(stored), len(region)))
        region += struct.pack("<IH", stream_id, len(stored)) + stored
    table = b"".join(struct.pack("<II", *slot) for slot in sorted(slots, key=lambda slot: slot[0]))
    padding = b"" if length is None else bytes(length - len(region) - len(table) - 4)
    return region + table + padding + struct.pack("<I", len(region))


def edit_directory(vog_path, directory="", names=None, ids=None):
    """Rewrites the stream of ``directory`` in a closed, unencrypted Vog file in place:
    ``names`` maps stored names (a directory's with its "/") to new bytes, as long or
    up to 7 bytes shorter in all; ``ids`` maps stored names to the stream IDs
    their entries then point at (an ancestor's: a cycle)."""
    names, ids = names or {}, ids or {}
    with open_vog(vog_path) as fs:
        entries = [
            (entry.name.encode() + (b"/" if entry.is_dir() else b""), fs.stat(entry.path).st_ino)
            for entry in fs.scandir(directory)
        ]
    data = bytearray(pathlib.Path(vog_path).read_bytes())
    # The entry region keeps the order of creation: the order of the entries in the file.
    entries.sort(key=lambda entry: data.index(struct.pack("<IH", entry[1], len(entry[0])) + entry[0]))
    old = _directory_stream(entries)
    assert data.count(old) == 1, "the directory stream is not in one piece in the file"
    edited = [(names.get(stored, stored), ids.get(stored, stream_id)) for stored, stream_id in entries]
    new = _directory_stream(edited, len(old))
    assert len(new) == len(old)
    at = data.index(old)
    data[at:at + len(old)] = new
    pathlib.Path(vog_path).write_bytes(bytes(data))


@pytest.fixture
def hostile_vog(tmp_path):
    """make(entries) -> the path of a Vog file holding ``entries``, each (parent, name,
    bytes), or (parent, name, None) for a directory; parents are named as given.
    A name no path may hold ("", ".", "..", with "/" or NUL, or not UTF-8: written
    with surrogateescape) is created under a stand-in of its length, then edited
    into the file's bytes."""

    def make(entries, path=None):
        path = pathlib.Path(path or tmp_path / "hostile.vog")
        real = {"": ""}  # each directory as the entries name it: its path in the file before the edits
        edits = {}  # directory in the file: {stored stand-in: stored name}
        with open_vog(path, "x") as fs:
            for index, (parent, name, content) in enumerate(entries):
                where, raw = real[parent], name.encode("utf-8", "surrogateescape")  # bytes as given
                mark = b"/" if content is None else b""
                stand_in = name
                if raw in (b"", b".", b"..") or b"/" in raw or b"\0" in raw or raw != name.encode("utf-8", "replace"):
                    stand_in = string.ascii_letters[index % 52] * max(len(raw), 1)
                    edits.setdefault(where, {})[stand_in.encode() + mark] = raw + mark
                inside = f"{where}/{stand_in}" if where else stand_in
                if content is None:
                    fs.mkdir(inside)
                    real[f"{parent}/{name}" if parent else name] = inside
                else:
                    fs.write_bytes(inside, content)
        for directory in sorted(edits, key=lambda where: -where.count("/") - bool(where)):
            edit_directory(path, directory, names=edits[directory])  # the deepest first: paths still hold
        return path

    return make


@pytest.fixture
def cyclic_vog(tmp_path):
    """A Vog file whose directory a/b/c is the directory a again, and whose a/b/up is
    the root: beside them the streams top.txt, a/in_a.txt, a/b/in_b.txt."""
    path = tmp_path / "cyclic.vog"
    with open_vog(path, "x") as fs:
        fs.makedirs("a/b/c")
        fs.makedirs("a/b/up")
        fs.write_bytes("top.txt", b"top")
        fs.write_bytes("a/in_a.txt", b"in a")
        fs.write_bytes("a/b/in_b.txt", b"in b")
        a, root = fs.stat("a").st_ino, fs.stat("").st_ino
    edit_directory(path, "a/b", ids={b"c/": a, b"up/": root})
    return path
