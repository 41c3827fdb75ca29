"""verify() and Vog.optimize() through the module."""
import os

import pytest

from libvog import OpenMode, Vog


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
def test_optimize_returns_the_bytes_it_reclaimed(path, password):
    vog = Vog.create(path, password=password)
    for name, size in (("kept", 5000), ("junk", 300000)):
        handle = vog.create_stream(name)
        vog.write(handle, name.encode() * size)
        vog.close_stream(handle)
    vog.delete_stream("junk")
    vog.close()
    before = os.path.getsize(path)

    assert Vog.optimize(path, password) == before - os.path.getsize(path) > 0
    assert Vog.optimize(path=path, password=password) == 0  # already compact
    vog = Vog.open(path, OpenMode.READ, password)
    assert vog.read(vog.open_stream("kept", OpenMode.READ), 20001) == b"kept" * 5000
    assert vog.is_encrypted() is (password is not None)
    vog.close()
