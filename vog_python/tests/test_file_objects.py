"""vog file objects against the built-in open() on a real file: every mode, binary and text."""
import builtins
import io
import os
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vog

SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])

BINARY_MODES = ["rb", "r+b", "wb", "w+b", "ab", "a+b", "xb", "x+b"]
TEXT_MODES = ["r", "r+", "w", "w+", "a", "a+", "x", "x+"]

binary_ops = st.lists(
    st.one_of(
        st.tuples(st.just("write"), st.binary(max_size=40)),
        st.tuples(st.just("read"), st.integers(-1, 60)),
        st.tuples(st.just("readline")),
        st.tuples(st.just("seek"), st.integers(-8, 80), st.sampled_from([0, 1, 2])),
        st.tuples(st.just("tell")),
        st.tuples(st.just("truncate"), st.one_of(st.none(), st.integers(-1, 80))),
        st.tuples(st.just("flush")),
    ),
    max_size=20,
)

text_ops = st.lists(
    st.one_of(
        st.tuples(st.just("write"), st.text(alphabet="ab\n\r\u00e9\u20ac", max_size=40)),
        st.tuples(st.just("read"), st.integers(-1, 40)),
        st.tuples(st.just("readline")),
        st.tuples(st.just("seek_start")),
        st.tuples(st.just("seek_end")),
        st.tuples(st.just("seek_told")),  # back to a position tell() gave
        st.tuples(st.just("tell")),
        st.tuples(st.just("truncate"), st.none()),
        st.tuples(st.just("flush")),
    ),
    max_size=20,
)


def builtin_class(error):
    """The built-in exception class an error presents itself as."""
    return next(cls for cls in type(error).__mro__ if cls.__module__ in ("builtins", "io"))


def apply(file, op, told):
    kind = op[0]
    if kind == "write":
        return file.write(op[1])
    if kind == "read":
        return file.read(op[1])
    if kind == "readline":
        return file.readline()
    if kind == "seek":
        return file.seek(op[1], op[2])
    if kind == "seek_start":
        return file.seek(0)
    if kind == "seek_end":
        return file.seek(0, 2)
    if kind == "seek_told":
        return file.seek(told[-1]) if told else None
    if kind == "tell":
        told.append(file.tell())
        return told[-1]
    if kind == "truncate":
        return file.truncate(*op[1:]) if op[1] is not None else file.truncate()
    return file.flush()


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # the kind of failure must match, not its text
        return ("raised", builtin_class(error))


def run_against_builtin(mode, initial, exists, ops, open_kwargs):
    with tempfile.TemporaryDirectory() as tmp:
        local = os.path.join(tmp, "f")
        with vog.open(os.path.join(tmp, "t.vog"), "w") as fs:
            if exists:
                with builtins.open(local, "wb") as f:
                    f.write(initial)
                fs.write_bytes("f", initial)
            expected = outcome(lambda: builtins.open(local, mode, **open_kwargs))
            actual = outcome(lambda: fs.open("f", mode, **open_kwargs))
            assert actual[0] == expected[0] and (actual[0] == "ok" or actual == expected)
            if expected[0] == "raised":
                return
            theirs, ours = expected[1], actual[1]
            told_theirs, told_ours = [], []
            with theirs, ours:
                assert ours.mode == theirs.mode
                for op in ops:
                    want = outcome(lambda: apply(theirs, op, told_theirs))
                    got = outcome(lambda: apply(ours, op, told_ours))
                    assert got == want, op
            assert fs.read_bytes("f") == builtins.open(local, "rb").read()


@SETTINGS
@given(
    mode=st.sampled_from(BINARY_MODES),
    initial=st.binary(max_size=60),
    exists=st.booleans(),
    buffering=st.sampled_from([-1, 0, 7]),
    ops=binary_ops,
)
def test_binary_modes_behave_as_builtin_open(mode, initial, exists, buffering, ops):
    run_against_builtin(mode, initial, exists, ops, {"buffering": buffering})


@SETTINGS
@given(
    mode=st.sampled_from(TEXT_MODES),
    initial=st.text(alphabet="ab\n\r\u00e9", max_size=60).map(str.encode),
    exists=st.booleans(),
    newline=st.sampled_from([None, "", "\n", "\r\n"]),
    ops=text_ops,
)
def test_text_modes_behave_as_builtin_open(mode, initial, exists, newline, ops):
    run_against_builtin(mode, initial, exists, ops, {"encoding": "utf-8", "newline": newline})


def test_raw_stream_reads_into_and_writes_from_any_buffer(tmp_path):
    import array

    with vog.open(tmp_path / "b.vog", "x") as fs:
        with fs.open("s", "wb", buffering=0) as raw:
            assert isinstance(raw, io.RawIOBase)
            assert raw.write(array.array("i", [1, 2])) == 8
            assert raw.write(memoryview(b"xyz")[1:]) == 2
            assert raw.write(bytearray(b"!")) == 1
        with fs.open("s", "rb", buffering=0) as raw:
            target = bytearray(20)
            assert raw.readinto(memoryview(target)[4:]) == 11
            assert bytes(target[4:15]) == array.array("i", [1, 2]).tobytes() + b"yz!"
            assert raw.readinto(bytearray(5)) == 0
        with pytest.raises(ValueError):
            fs.open("s", "rb", encoding="utf-8")
        with pytest.raises(ValueError):
            fs.open("s", "rw")


def test_closing_the_file_flushes_and_closes_its_open_file_objects(tmp_path):
    path = tmp_path / "c.vog"
    fs = vog.open(path, "w")
    text = fs.open("t.txt", "w", encoding="utf-8")
    text.write("buffered, not yet written")
    binary = fs.open("b", "wb")
    binary.write(b"x" * 10)
    fs.close()
    assert fs.closed and text.closed and binary.closed
    for call in (lambda: fs.listdir(), lambda: fs.open("t.txt"), lambda: text.write("more")):
        with pytest.raises(ValueError):
            call()
    with vog.open(path) as fs:
        assert fs.read_text("t.txt", encoding="utf-8") == "buffered, not yet written"
        assert fs.read_bytes("b") == b"x" * 10
