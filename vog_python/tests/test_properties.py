"""Random operation sequences against simple Python models."""
import os
import tempfile

import pytest

from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from libvog import EntryType, OpenMode, Vog, VogError

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])

stream_ops = st.lists(
    st.one_of(
        st.tuples(st.just("write"), st.integers(0, 70000), st.binary(max_size=9000)),
        st.tuples(st.just("fill"), st.integers(0, 70000), st.integers(1, 40000)),
        st.tuples(st.just("read"), st.integers(0, 80000), st.integers(0, 20000)),
        st.tuples(st.just("truncate"), st.integers(0, 80000)),
        st.tuples(st.just("reserve"), st.integers(0, 120000)),
        st.tuples(st.just("reopen")),
    ),
    max_size=25,
)


@SETTINGS
@given(ops=stream_ops, compressed=st.booleans(), shift=st.sampled_from([9, 12]))
@example(ops=[("fill", 0, 40000), ("truncate", 1000), ("reopen",), ("read", 0, 2000)],
         compressed=True, shift=12)
@example(ops=[("write", 0, b"abcdef"), ("read", 2, 1)], compressed=False, shift=9)
def test_stream_matches_bytearray_model(ops, compressed, shift):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "p.vog")
        vog = Vog.create(path, block_size_shift=shift, compressed_block_size_shift=max(shift, 13))
        model = bytearray()
        handle = vog.create_stream("s", compressed=compressed)
        for op in ops:
            kind = op[0]
            if kind in ("write", "fill"):
                offset = min(op[1], len(model))  # seek only within the stream
                data = op[2] if kind == "write" else bytes([len(model) % 251]) * op[2]
                vog.seek(handle, offset)
                assert vog.write(handle, data) == len(data)
                assert vog.tell(handle) == offset + len(data)
                model[offset : offset + len(data)] = data
            elif kind == "read":
                offset = min(op[1], len(model))
                vog.seek(handle, offset)
                got = vog.read(handle, op[2])
                assert got == bytes(model[offset : offset + op[2]])
                assert vog.tell(handle) == offset + len(got)
            elif kind == "truncate":
                new_len = min(op[1], len(model))
                vog.truncate(handle, new_len)
                del model[new_len:]
            elif kind == "reserve":
                if op[1] < len(model):
                    with pytest.raises(VogError, match=r"^I/O error: cannot reserve "):
                        vog.reserve(handle, op[1])
                else:
                    vog.reserve(handle, op[1])
                assert vog.stream_reserved(handle) >= max(op[1], len(model))
            else:
                vog.close()
                vog = Vog.open(path, OpenMode.WRITE)
                handle = vog.open_stream("s", OpenMode.WRITE)
            assert vog.stream_length(handle) == len(model)
        vog.seek(handle, 0)
        assert vog.read(handle, len(model) + 1) == bytes(model)
        vog.close_stream(handle)
        assert vog.verify() == []
        vog.close()


names = st.sampled_from(["a", "b", "c", "dd", "é"])
tree_ops = st.lists(
    st.tuples(
        st.sampled_from(["mkdir", "rmdir", "rename_dir", "create", "delete", "rename_stream"]),
        st.lists(names, min_size=1, max_size=3),
        st.lists(names, min_size=1, max_size=3),
        st.binary(max_size=300),
    ),
    max_size=40,
)


def parent_of(model, parts):
    node = model
    for part in parts[:-1]:
        node = node.get(part)
        if not isinstance(node, dict):
            return None
    return node


def listing(vog, path, node):
    entries = vog.list(path)
    expected = sorted(node.items(), key=lambda item: item[0].encode())
    assert [e.name for e in entries] == [name for name, _ in expected]
    for entry, (name, child) in zip(entries, expected):
        child_path = f"{path}/{name}" if path else name
        if isinstance(child, dict):
            assert entry.entry_type is EntryType.DIRECTORY
            listing(vog, child_path, child)
        else:
            assert entry.entry_type is EntryType.STREAM
            handle = vog.open_stream(child_path, OpenMode.READ)
            assert vog.read(handle, len(child) + 1) == child
            vog.close_stream(handle)


def is_inside(parts, other):
    return other[: len(parts)] == parts


@SETTINGS
@given(ops=tree_ops)
@example(ops=[("mkdir", ["a"], ["a"], b""), ("rename_dir", ["a"], ["a"], b""),
              ("create", ["s"], ["s"], b"x"), ("rename_stream", ["s"], ["s"], b"")])
@example(ops=[("mkdir", ["a"], ["a"], b""), ("mkdir", ["a", "b"], ["a"], b""),
              ("create", ["a", "b", "c"], ["a"], b"xyz"), ("rename_dir", ["a"], ["dd"], b""),
              ("rmdir", ["dd"], ["dd"], b""), ("rename_stream", ["dd", "b", "c"], ["c"], b""),
              ("delete", ["c"], ["c"], b"")])
def test_tree_matches_dict_model(ops):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "t.vog")
        vog = Vog.create(path)
        model = {}
        for kind, parts, other, data in ops:
            target = "/".join(parts)
            parent = parent_of(model, parts)
            leaf = parts[-1]
            node = parent.get(leaf) if parent is not None else None
            new_parent = parent_of(model, other)
            # A rename onto its own name removes the entry and adds it back.
            free_target = other == parts or (new_parent is not None and other[-1] not in new_parent)
            if kind == "mkdir":
                should_work = parent is not None and leaf not in parent
                call = lambda: vog.mkdir(target)
            elif kind == "rmdir":
                should_work = node == {}
                call = lambda: vog.rmdir(target)
            elif kind == "create":
                should_work = parent is not None and leaf not in parent

                def call():
                    handle = vog.create_stream(target, compressed=len(data) % 2 == 1)
                    vog.write(handle, data)
                    vog.close_stream(handle)
            elif kind == "delete":
                should_work = isinstance(node, bytes)
                call = lambda: vog.delete_stream(target)
            elif kind == "rename_dir":
                should_work = isinstance(node, dict) and free_target and (
                    other == parts or not is_inside(parts, other))
                call = lambda: vog.rename_dir(target, "/".join(other))
            else:
                should_work = isinstance(node, bytes) and free_target
                call = lambda: vog.rename_stream(target, "/".join(other))
            try:
                call()
                worked = True
            except VogError:
                worked = False
            assert worked == should_work, (kind, parts, other)
            if worked:
                if kind == "mkdir":
                    parent[leaf] = {}
                elif kind == "create":
                    parent[leaf] = data
                elif kind in ("rmdir", "delete"):
                    del parent[leaf]
                else:
                    new_parent[other[-1]] = parent.pop(leaf)
            listing(vog, "", model)
        assert vog.verify() == []
        vog.close()
        vog = Vog.open(path, OpenMode.READ)
        listing(vog, "", model)
        assert vog.verify() == []
        vog.close()
