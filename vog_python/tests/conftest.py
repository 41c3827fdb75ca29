import os

import pytest

import libvog


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
