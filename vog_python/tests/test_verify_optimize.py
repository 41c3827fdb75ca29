"""verify() and Vog.optimize() through the module."""
import os

import pytest

from libvog import OpenMode, Vog


def tree_of(vog, path=""):
    result = {}
    for entry in vog.list(path):
        child = f"{path}/{entry.name}" if path else entry.name
        if int(entry.entry_type) == 1:
            result[entry.name] = tree_of(vog, child)
        else:
            handle = vog.open_stream(child, OpenMode.READ)
            data = vog.read(handle, vog.stream_length(handle))
            result[entry.name] = (data, vog.is_stream_compressed(handle))
            vog.close_stream(handle)
    return result


def build(path, password=None):
    vog = Vog.create(path, password=password)
    vog.mkdir("empty")
    vog.mkdir("d")
    for name, compressed in (("d/plain", False), ("d/packed", True), ("nothing", False)):
        handle = vog.create_stream(name, compressed=compressed)
        if name != "nothing":
            vog.write(handle, (name.encode() * 5000)[:30000])
        vog.reserve(handle, 1 << 20)
        vog.close_stream(handle)
    junk = vog.create_stream("junk")
    vog.write(junk, bytes(300000))
    vog.close_stream(junk)
    vog.delete_stream("junk")
    vog.close()


def test_verify_reports_damage_as_lines(path):
    Vog.create(path).close()
    size = os.path.getsize(path)
    with open(path, "ab") as f:
        f.write(b"!")
    vog = Vog.open(path, OpenMode.READ)
    blocks = (size - 14) // 4096
    assert vog.verify() == [
        f"L2: file size ({size + 1}) does not match expected ({size}) for {blocks} blocks"
    ]
    vog.close()


@pytest.mark.parametrize("password", [None, b"pw"])
def test_optimize_keeps_tree_and_bytes(path, password):
    build(path, password)
    before = os.path.getsize(path)
    vog = Vog.open(path, OpenMode.READ, password)
    expected = tree_of(vog)
    vog.close()

    reclaimed = Vog.optimize(path, password)
    assert reclaimed == before - os.path.getsize(path) > 0
    assert not os.path.exists(path + ".optimize.tmp")

    vog = Vog.open(path, OpenMode.READ, password)
    assert tree_of(vog) == expected
    assert vog.is_encrypted() is (password is not None)
    handle = vog.open_stream("d/plain", OpenMode.READ)
    assert vog.stream_reserved(handle) < 1 << 20  # reservations are not carried over
    vog.close_stream(handle)
    assert vog.verify() == []
    vog.close()
    assert Vog.optimize(path=path, password=password) == 0  # already compact
