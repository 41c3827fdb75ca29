"""Vog methods through the module: results, conversions and error mapping."""
import os

import pytest

from libvog import DirEntry, EntryType, OpenMode, Vog, VogError

CLOSED = "Vog file has been closed"


def names(entries):
    return [(entry.name, entry.entry_type) for entry in entries]


class TestLifecycle:
    def test_closing_twice_is_harmless_and_other_methods_raise_closed(self, path):
        vog = Vog.create(path)
        assert vog.close() is None
        assert vog.close() is None
        calls = [
            lambda: vog.mkdir("a"),
            lambda: vog.list(),
            lambda: vog.create_stream("s"),
            lambda: vog.read(0, 1),
            lambda: vog.write(0, b"x"),
            lambda: vog.tell(0),
            lambda: vog.is_encrypted(),
        ]
        for call in calls:
            with pytest.raises(VogError) as info:
                call()
            assert str(info.value) == CLOSED
            assert info.value.args == (CLOSED,)
        # Arguments are converted before the closed check.
        with pytest.raises(TypeError):
            vog.mkdir(1)
        with pytest.raises(OverflowError):
            vog.seek(0, -1)

    def test_reopen_read_only_and_writable(self, path):
        Vog.create(path).close()
        reader = Vog.open(path, OpenMode.READ)
        with pytest.raises(VogError, match=r"^read-only: Vog file is opened for reading$"):
            reader.mkdir("a")
        writer = Vog.open(path, mode=OpenMode.WRITE)  # beside the reader, apart from writers
        with pytest.raises(VogError, match=r"^I/O error: Vog file is locked by another process: "):
            Vog.open(path, OpenMode.WRITE)
        writer.mkdir("a")
        assert [e.name for e in reader.list()] == ["a"]  # the commit is seen
        h = writer.create_stream("s")
        writer.write(h, b"old")
        writer.close_stream(h)
        kept, held = reader.open_stream("s", OpenMode.READ), reader.open_stream("s", OpenMode.READ)
        assert reader.read(kept, 10) == b"old"
        writer.delete_stream("s")
        h = writer.create_stream("t")  # takes the deleted stream's number
        writer.write(h, b"new")
        writer.close_stream(h)
        with pytest.raises(VogError, match=r"^not found: s: deleted or replaced by another process$"):
            reader.read(held, 10)  # never the bytes of "t"
        reader.close_stream(kept)
        reader.close_stream(held)
        writer.close()
        reader.close()

    def test_mode_must_be_an_open_mode_member(self, path):
        Vog.create(path).close()
        with pytest.raises(TypeError):
            Vog.open(path, 1)
        vog = Vog.open(path, OpenMode.WRITE)
        vog.create_stream("s")
        with pytest.raises(TypeError):
            vog.open_stream("s", 1)
        vog.close()

    def test_dropping_the_object_closes_the_file(self, path):
        vog = Vog.create(path)
        handle = vog.create_stream("s")
        vog.write(handle, b"kept")
        del vog  # tears the engine down: the open stream is flushed, the lock released
        vog = Vog.open(path, OpenMode.READ)
        handle = vog.open_stream("s", OpenMode.READ)
        assert vog.read(handle, 10) == b"kept"
        vog.close()


class TestEncryption:
    # Empty bytes are a password too, not the absence of one.
    @pytest.mark.parametrize("password", [b"secret", b""])
    def test_password_round_trip(self, path, password):
        vog = Vog.create(path, password=password)
        assert vog.is_encrypted() is True
        handle = vog.create_stream("s")
        vog.write(handle, b"hidden text" * 100)
        vog.close()
        with open(path, "rb") as f:
            assert b"hidden text" not in f.read()
        with pytest.raises(VogError, match=r"^encryption required: "):
            Vog.open(path, OpenMode.READ)
        with pytest.raises(VogError, match=r"^wrong password: "):
            Vog.open(path, OpenMode.READ, b"other")
        vog = Vog.open(path, OpenMode.READ, password=password)
        assert vog.is_encrypted() is True
        assert vog.read(vog.open_stream("s", OpenMode.READ), 11) == b"hidden text"
        vog.close()

    @pytest.mark.parametrize("password", [bytearray(b"pw"), "pw", 1])
    def test_password_must_be_bytes(self, path, password):
        with pytest.raises(TypeError):
            Vog.create(path, password=password)
        assert not os.path.exists(path)
        Vog.create(path, password=b"pw").close()
        for call in (lambda: Vog.open(path, OpenMode.READ, password), lambda: Vog.optimize(path, password)):
            with pytest.raises(TypeError):
                call()


class TestDirectories:
    def test_list_defaults_to_the_root_and_gives_read_only_entries(self, vog):
        vog.mkdir("d")
        vog.close_stream(vog.create_stream("s"))
        entries = vog.list()
        assert names(entries) == names(vog.list(""))
        assert entries[0].entry_type is EntryType.DIRECTORY
        assert entries[1].entry_type is EntryType.STREAM
        assert repr(entries[0]) == "DirEntry('d', DIRECTORY)"
        assert repr(entries[1]) == "DirEntry('s', STREAM)"
        assert type(entries[0]) is DirEntry
        with pytest.raises(AttributeError):
            entries[0].name = "x"
        with pytest.raises(AttributeError):
            entries[0].entry_type = EntryType.STREAM

@pytest.mark.parametrize("call, message", [
    (lambda vog: vog.rmdir("d"), r"^not empty: d$"),
    (lambda vog: vog.list("nope"), r"^not found: "),
    (lambda vog: vog.read(12345, 1), r"^not found: invalid stream handle$"),
    (lambda vog: vog.close_stream(2**64 - 1), r"^not found: invalid stream handle$"),
])
def test_engine_errors_keep_their_messages(vog, call, message):
    vog.mkdir("d")
    vog.mkdir("d/e")
    with pytest.raises(VogError, match=message):
        call(vog)


class TestStreams:
    def test_write_takes_bytes_only(self, vog):
        handle = vog.create_stream("s")
        for data in (bytearray(b"x"), "x", memoryview(b"x"), None):
            with pytest.raises(TypeError):
                vog.write(handle, data)
        assert vog.stream_length(handle) == 0

    @pytest.mark.parametrize("options, compressed, reserved", [
        ({}, False, 4096),
        ({}, True, 32768),
        ({"block_size_shift": 9, "compressed_block_size_shift": None}, True, 32768),
    ])
    def test_default_shifts(self, path, options, compressed, reserved):
        vog = Vog.create(path, **options)
        handle = vog.create_stream("s", compressed=compressed)
        assert vog.is_stream_compressed(handle) is compressed
        vog.reserve(handle, 1)
        assert vog.stream_reserved(handle) == reserved
        vog.close()

    def test_bad_shift_combination_is_the_engine_error(self, path):
        # Under the default compressed shift the block layer's own message wins.
        for existing in (None, b"keep"):
            if existing is not None:
                with open(path, "wb") as f:
                    f.write(existing)
            with pytest.raises(VogError, match=r"^I/O error: block_size_shift must be >= 9 "
                               r"\(minimum 512 bytes for superblock\)$"):
                Vog.create(path, block_size_shift=8)
            if existing is None:
                assert not os.path.exists(path)
            else:
                with open(path, "rb") as f:
                    assert f.read() == existing
        with pytest.raises(OverflowError):
            Vog.create(path, block_size_shift=256)

    def test_keyword_arguments(self, vog):
        handle = vog.create_stream(path="k", compressed=False)
        vog.write(handle=handle, data=b"123")
        vog.seek(handle=handle, pos=0)
        assert vog.read(handle=handle, length=3) == b"123"
        vog.truncate(handle=handle, new_len=1)
        vog.reserve(handle=handle, n_bytes=10)
        vog.close_stream(handle=handle)
        vog.rename_stream(old_path="k", new_path="j")
        vog.delete_stream(path="j")
        with pytest.raises(TypeError):
            vog.mkdir(path="a", extra=1)
        with pytest.raises(TypeError):
            vog.mkdir()
