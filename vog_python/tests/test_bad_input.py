"""Bad input raises exceptions; it never crashes the interpreter."""
import errno

import pytest

import vog as vog_package
from libvog import OpenMode, Vog, VogError

BAD_VALUES = [None, 1.5, -1, 2**64, 2**200, "x", b"x", bytearray(b"x"), object(), [1], OpenMode.READ]


@pytest.mark.parametrize("value", BAD_VALUES)
def test_bad_handles_counts_and_flags(vog, value):
    handle = vog.create_stream("s")
    # An int outside 0 to 2**64 - 1 overflows; any other type is refused.
    error = OverflowError if type(value) is int else TypeError
    for call in (
        lambda: vog.read(value, 1),
        lambda: vog.read(handle, value),
        lambda: vog.write(value, b"x"),
        lambda: vog.seek(handle, value),
        lambda: vog.truncate(handle, value),
        lambda: vog.reserve(handle, value),
        lambda: vog.tell(value),
        lambda: vog.stream_length(value),
        lambda: vog.close_stream(value),
    ):
        with pytest.raises(error):
            call()
    with pytest.raises(TypeError):
        vog.create_stream("t", compressed=value)


def test_nul_in_file_path_is_a_value_error_and_touches_nothing(tmp_path):
    bad = str(tmp_path / "a") + "\x00b"
    for call in (
        lambda: Vog.create(bad),
        lambda: Vog.open(bad, OpenMode.WRITE),
        lambda: Vog.optimize(bad),
    ):
        with pytest.raises(ValueError):
            call()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("value", [None, 1, b"a", bytearray(b"a"), OpenMode.WRITE])
def test_bad_path_types(vog, value):
    for call in (
        lambda: vog.mkdir(value),
        lambda: vog.list(value),
        lambda: vog.create_stream(value),
        lambda: vog.rename_dir(value, "b"),
        lambda: vog.rename_stream("a", value),
        lambda: Vog.create(value),
        lambda: Vog.open(value, OpenMode.READ),
    ):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("text", ["a\x00b", "\x00", "bad\udcffname", "\ud800", "é/ü", "a" * 70000])
def test_odd_paths_are_errors_or_work(vog, text):
    try:
        vog.mkdir(text)
    except (VogError, UnicodeEncodeError):
        return
    assert text.rsplit("/", 1)[-1] in [entry.name for entry in vog.list(text.rsplit("/", 1)[0] if "/" in text else "")]


def test_huge_read_length_is_a_memory_error(vog):
    handle = vog.create_stream("s")
    with pytest.raises(MemoryError):
        vog.read(handle, 2**64 - 1)
    with pytest.raises(MemoryError):
        vog.read(handle, 2**63)


def test_not_a_vog_file(tmp_path):
    path = tmp_path / "plain.txt"
    path.write_bytes(b"hello world, not a vog file")
    with pytest.raises(VogError, match=r"^I/O error: not a Vog file \(bad magic\)$"):
        Vog.open(str(path), OpenMode.READ)
    with pytest.raises(VogError, match=r"^I/O error: failed to open Vog file: "):
        Vog.open(str(tmp_path / "missing"), OpenMode.READ)


def test_wrong_argument_counts(vog):
    with pytest.raises(TypeError):
        vog.read(0)
    with pytest.raises(TypeError):
        vog.read(0, 1, 2)
    with pytest.raises(TypeError):
        Vog.open("x")
    with pytest.raises(TypeError):
        vog.close(1)


# ---- hostile files: names a hand-edited file can hold, and that no path can reach

UNREACHABLE_NAMES = ["", ".", "..", "a/b", "/abs/path", "../up"]


@pytest.mark.parametrize("name", UNREACHABLE_NAMES)
def test_names_no_path_reaches_are_listed_but_never_walked(hostile_vog, name):
    path = hostile_vog([("", name, b"hostile"), ("", "d", None), ("d", name, None), ("d", "kept", b"kept")])
    with vog_package.open(path) as fs:
        assert sorted(fs.listdir()) == sorted([name, "d"])  # a listing shows the names as stored
        assert sorted(fs.listdir("d")) == sorted([name, "kept"])
        with pytest.raises(OSError) as refused:  # without onerror: raised
            list(fs.walk())
        assert refused.value.errno == errno.EINVAL and isinstance(refused.value, vog_package.VogError)
        seen = []
        assert list(fs.walk(onerror=seen.append)) == [("", ["d"], []), ("d", [], ["kept"])]
        assert [error.errno for error in seen] == [errno.EINVAL, errno.EINVAL]


def test_a_name_that_is_not_utf8_fails_its_listing_in_one_line(hostile_vog, tmp_path):
    path = hostile_vog([("", "ok", b"ok"), ("", "d", None), ("d", "bad\udcff", b"x")])
    with vog_package.open(path) as fs:
        assert fs.listdir() == ["d", "ok"]
        with pytest.raises(OSError, match="invalid UTF-8 in entry name"):
            fs.listdir("d")
        with pytest.raises(vog_package.CopyError) as partial:
            fs.get("", tmp_path / "out", recursive=True)
    assert (tmp_path / "out" / "ok").read_bytes() == b"ok"
    [(source, _, error)] = partial.value.errors
    assert source == "d" and "invalid UTF-8" in str(error)
