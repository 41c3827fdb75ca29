"""The module's objects: names, types, enumerations, signatures, exported symbols."""
import os
import shutil
import subprocess

import pytest

import libvog
from libvog import DirEntry, EntryType, OpenMode, Vog, VogError


def test_attributes_in_registration_order():
    public = [name for name in vars(libvog) if not name.startswith("__")]
    assert public == ["Vog", "OpenMode", "EntryType", "DirEntry", "VogError"]


@pytest.mark.parametrize("cls", [Vog, OpenMode, EntryType, DirEntry])
def test_classes_have_no_module_docstring_constructor_or_new_attributes(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.extra = 1


def test_vog_error_is_a_plain_exception():
    assert VogError.__module__ == "libvog"
    assert VogError.__name__ == "VogError"
    assert VogError.__bases__ == (Exception,)
    assert VogError.__doc__ is None


def test_enum_values_and_representations():
    assert int(OpenMode.READ) == 0 and int(OpenMode.WRITE) == 1
    assert int(EntryType.STREAM) == 0 and int(EntryType.DIRECTORY) == 1
    assert repr(OpenMode.READ) == "OpenMode.READ"
    assert repr(OpenMode.WRITE) == "OpenMode.WRITE"
    assert repr(EntryType.STREAM) == "EntryType.STREAM"
    assert repr(EntryType.DIRECTORY) == "EntryType.DIRECTORY"


def test_enum_equality_with_members_and_integers():
    assert OpenMode.WRITE == 1 and 1 == OpenMode.WRITE
    assert OpenMode.READ != OpenMode.WRITE
    assert OpenMode.READ == OpenMode.READ
    assert OpenMode.READ != 1
    assert not (EntryType.DIRECTORY != 1)
    assert OpenMode.READ != "READ"
    assert OpenMode.READ != None  # noqa: E711 (comparison is the point)


def test_enum_ordering_and_hash_are_refused():
    with pytest.raises(TypeError):
        OpenMode.READ < OpenMode.WRITE
    with pytest.raises(TypeError):
        OpenMode.READ >= 0
    with pytest.raises(TypeError):
        {OpenMode.READ: 1}
    with pytest.raises(TypeError):
        hash(EntryType.STREAM)


TEXT_SIGNATURES = {
    "create": "(path, block_size_shift=12, compressed_block_size_shift=None, password=None)",
    "open": "(path, mode, password=None)",
    "close": "($self)",
    "mkdir": "($self, path)",
    "rmdir": "($self, path)",
    "list": '($self, path="")',
    "rename_dir": "($self, old_path, new_path)",
    "create_stream": "($self, path, compressed=False)",
    "open_stream": "($self, path, mode)",
    "close_stream": "($self, handle)",
    "delete_stream": "($self, path)",
    "rename_stream": "($self, old_path, new_path)",
    "read": "($self, handle, length)",
    "write": "($self, handle, data)",
    "seek": "($self, handle, pos)",
    "tell": "($self, handle)",
    "stream_length": "($self, handle)",
    "truncate": "($self, handle, new_len)",
    "reserve": "($self, handle, n_bytes)",
    "stream_reserved": "($self, handle)",
    "is_stream_compressed": "($self, handle)",
    "is_encrypted": "($self)",
    "verify": "($self)",
    "optimize": "(path, password=None)",
}


def test_methods_in_registration_order_with_text_signatures():
    methods = [name for name in vars(Vog) if not name.startswith("__")]
    assert methods == list(TEXT_SIGNATURES)
    for name, signature in TEXT_SIGNATURES.items():
        assert getattr(Vog, name).__text_signature__ == signature, name


def test_docstrings():
    assert Vog.create.__doc__ == (
        "Create a new Vog file. Compression support is always enabled.\n"
        "If `compressed_block_size_shift` is None, uses the default (15 = 32 KB).\n"
        "If `password` is provided, the file is encrypted with AES-XTS."
    )
    assert Vog.open.__doc__ == (
        "Open an existing Vog file.\nIf the file is encrypted, `password` must be provided."
    )
    assert Vog.optimize.__doc__ == (
        "Optimize a Vog file by rewriting it without free blocks.\n"
        "Removes free blocks and rewrites streams contiguously for maximum locality.\n"
        "Returns the number of bytes reclaimed.\n"
        "For encrypted files, the password must be provided."
    )
    for name in TEXT_SIGNATURES:
        if name not in ("create", "open", "optimize"):
            assert getattr(Vog, name).__doc__ is None, name


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_initialiser_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", libvog.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [line.split()[-1] for line in out.splitlines() if line.split()[1] in "TDBRVWiu"]
    assert exported == ["PyInit_libvog"]
