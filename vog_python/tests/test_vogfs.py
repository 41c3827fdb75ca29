"""VogFS: opening modes, the tree helpers, copies in and out, and the error mapping."""
import errno
import os
import pickle
import subprocess
import sys
import textwrap
import time
from pathlib import PurePosixPath

import pytest

import libvog
import vog
from vog import ErrorKind


def test_file_modes_open_create_and_replace(tmp_path):
    path = tmp_path / "m.vog"
    with pytest.raises(FileNotFoundError):
        vog.open(path)
    with vog.open(path, "a", block_size_shift=9, compressed_block_size_shift=12) as fs:  # created
        assert (fs.mode, fs.path, fs.geometry, fs.is_encrypted) == ("a", str(path), (9, 12), False)
        fs.write_bytes("keep", b"1")
        assert repr(fs) == f"<vog.VogFS path={str(path)!r} mode='a'>"
    with vog.open(os.fsencode(path), "a") as fs:  # reopened, not replaced
        assert fs.listdir() == ["keep"]
        second_writer = textwrap.dedent(f"""
            import time, vog
            started = time.monotonic()
            try:
                vog.open({str(path)!r}, "a", timeout=0.2)
            except BlockingIOError as locked:
                print(locked.kind.name, time.monotonic() - started >= 0.2)
        """)
        waited = subprocess.run([sys.executable, "-c", second_writer], env=os.environ, capture_output=True,
                                text=True, check=False)
        assert waited.stdout.split() == ["IO_ERROR", "True"], waited.stderr  # it waits, then gives up
        with pytest.raises(BlockingIOError):
            vog.open(path, "w")  # never replaces a file someone holds
    with pytest.raises(FileExistsError):
        vog.open(path, "x")
    with vog.open(path, "w") as fs:
        assert fs.listdir() == []
    with pytest.raises(ValueError):
        vog.open(path, "rw")
    with vog.open(path, "r") as reader, vog.open(path, "r") as other:  # readers share
        with pytest.raises(OSError) as read_only:
            reader.mkdir("d")
        assert read_only.value.kind is ErrorKind.READ_ONLY and other.listdir() == []


@pytest.mark.parametrize("durability", ["process", "full"])
def test_sync_is_what_a_killed_writer_leaves(tmp_path, durability):
    path = tmp_path / "k.vog"
    writer = textwrap.dedent(f"""
        import os, signal, vog
        fs = vog.open({str(path)!r}, "x", durability={durability!r})
        log = fs.open("log", "wb")
        log.write(b"kept")
        fs.sync()  # the file object stays open; its bytes so far are committed
        log.write(b" lost")
        log.flush()
        os.kill(os.getpid(), signal.SIGKILL)
    """)
    killed = subprocess.run([sys.executable, "-c", writer], env=os.environ, check=False)
    assert killed.returncode == -9
    with vog.open(path, "a") as fs:
        assert fs.read_bytes("log") == b"kept" and fs.verify() == []
    with pytest.raises(ValueError):
        vog.open(path, durability="sometimes")


def test_opens_of_one_file_in_a_process_share_one_engine(tmp_path):
    path = tmp_path / "one.vog"
    with vog.open(path, "x", password="pw") as first:
        with vog.open(path, "a", password=b"pw") as second, vog.open(path, "r", password="pw") as reader:
            with second.transaction():
                second.write_bytes("log", b"not committed yet")
                assert first.read_bytes("log") == reader.read_bytes("log") == b"not committed yet"
                first.write_bytes("by first", b"1")
                assert second.listdir() == reader.listdir() == ["by first", "log"]
            changes = [
                lambda: reader.mkdir("d"), lambda: reader.write_bytes("x", b""), lambda: reader.remove("log"),
                lambda: reader.rename("log", "y"), lambda: reader.open("log", "ab"),
                lambda: reader.transaction().__enter__(),
            ]
            for change in changes:  # the engine is writable, the open is not
                with pytest.raises(OSError) as refused:
                    change()
                assert refused.value.kind is ErrorKind.READ_ONLY
            with pytest.raises(PermissionError):
                vog.open(path, "r", password="wrong")
            with pytest.raises(OSError) as missing:
                vog.open(path, "a")
            assert missing.value.kind is ErrorKind.ENCRYPTION_REQUIRED
            held = second.open("held", "wb")
        assert held.closed and first.read_bytes("log") == b"not committed yet"  # each closed its own
        with pytest.raises(libvog.VogError):  # the engine is open while one VogFS is
            libvog.Vog.open(str(path), libvog.OpenMode.WRITE, b"pw")
    libvog.Vog.open(str(path), libvog.OpenMode.WRITE, b"pw").close()  # closed with the last

    with vog.open(path, "r", password="pw") as early:
        with vog.open(path, "a", password="pw") as writer:  # beside the read-only engine, not on it
            writer.write_bytes("new", b"committed")
            assert early.read_bytes("new") == b"committed"  # as a reader of another open would
            with writer.transaction():
                writer.write_bytes("pending", b"p")
                assert not early.exists("pending")
                with vog.open(path, "r", password="pw") as late:  # shares the writer's engine now
                    assert late.read_bytes("pending") == b"p"
            child = os.fork()
            if child == 0:  # the parent's engines are not the child's
                try:
                    with vog.open(path, "r", password="pw") as mine:
                        os._exit(0 if mine.read_bytes("pending") == b"p" else 1)
                finally:
                    os._exit(2)
            assert os.waitpid(child, 0)[1] == 0


def test_transactions_commit_everything_inside_or_nothing(tmp_path):
    path = tmp_path / "tx.vog"
    with vog.open(path, "x") as fs:
        fs.write_bytes("kept", b"kept")
        fs.write_bytes("other", b"other")
        before = fs.open("other", "rb")  # opened before: a rollback closes its handle
        outside = libvog.Vog.open(str(path), libvog.OpenMode.READ)  # an open of its own
        with fs.transaction() as same:
            assert same is fs
            fs.makedirs("d/e")
            fs.write_bytes("d/new", b"new")
            fs.rename("kept", "d/kept")
            left_open = fs.open("d/open", "w")
            left_open.write("buffered")  # written when closed, before the commit
            with fs.transaction():  # joins the outer one
                fs.remove("d/new")
            assert [entry.name for entry in outside.list()] == ["kept", "other"]
        assert left_open.closed and fs.read_text("d/open") == "buffered"
        assert [entry.name for entry in outside.list("d")] == ["e", "kept", "open"]

        with pytest.raises(KeyError):
            with fs.transaction():
                fs.rmtree("d")
                fs.write_bytes("x", b"x")
                inside = fs.open("y", "wb")
                inside.write(b"y")
                raise KeyError("undo")
        assert inside.closed and fs.listdir() == ["d", "other"] and fs.listdir("d") == ["e", "kept", "open"]
        assert fs.read_bytes("d/kept") == b"kept" and outside.verify() == []
        with pytest.raises(FileNotFoundError):
            before.read()
        before.close()  # quietly: the rollback closed its handle
        outside.close()
        with pytest.raises(ValueError):  # closed inside: rolled back, nothing to commit
            with fs.transaction():
                fs.write_bytes("z", b"z")
                fs.close()
    with vog.open(path, "a", durability="off") as fs:
        assert fs.listdir() == ["d", "other"]
        with pytest.raises(OSError) as refused:
            with fs.transaction():
                pass
        assert "journal" in str(refused.value)


def test_passwords_and_module_functions(tmp_path):
    path = tmp_path / "e.vog"
    with vog.open(path, "x", password="s3cret") as fs:
        fs.write_text("diary", "private", encoding="utf-8")
        fs.write_bytes("junk", bytes(100_000))
        fs.remove("junk")
        assert fs.is_encrypted
    with pytest.raises(PermissionError) as refused:
        vog.open(path, password=b"wrong")
    assert refused.value.kind is ErrorKind.WRONG_PASSWORD and isinstance(refused.value, vog.VogError)
    with pytest.raises(OSError) as refused:
        vog.open(path)
    assert refused.value.kind is ErrorKind.ENCRYPTION_REQUIRED
    assert vog.verify(path, password=b"s3cret") == []
    assert vog.optimize(path, password="s3cret") > 0
    with vog.open(path, password=b"s3cret") as fs:
        assert fs.read_text("diary", encoding="utf-8") == "private"


def test_salvage_saves_what_the_damage_did_not_touch(tmp_path):
    damaged, saved = tmp_path / "d.vog", tmp_path / "s.vog"
    kept = {"keep/a.bin": bytes(range(256)) * 50, "small": b"hello"}
    with vog.open(damaged, "x", password="pw") as fs:
        fs.makedirs("keep")
        for name, data in kept.items():
            fs.write_bytes(name, data)
        fs.write_bytes("big.bin", os.urandom(300_000))  # written last: at the end of the file
    with open(damaged, "r+b") as file:  # a copy cut short, through big.bin's blocks
        file.truncate(os.path.getsize(damaged) - 150_000)
    lines = vog.verify(damaged, password="pw", max_lines=2)
    assert len(lines) == 3 and lines[-1].startswith("verify: ")
    [loss] = vog.salvage(damaged, saved, password=b"pw")
    assert (loss.path, loss.kind, loss.saved_bytes) == ("big.bin", vog.SalvageLossKind.TRUNCATED, 0)
    assert "the file holds" in loss.reason
    with vog.open(saved, password="pw") as fs:
        assert {name: fs.read_bytes(name) for name in kept} == kept
        assert fs.read_bytes("big.bin") == b"" and fs.verify() == []
    with pytest.raises(FileExistsError):
        vog.salvage(damaged, saved, password="pw")
    with pytest.raises(PermissionError):
        vog.salvage(damaged, tmp_path / "other.vog", password="wrong")
    assert not os.path.exists(tmp_path / "other.vog")


def test_tree_helpers(tmp_path):
    with vog.open(tmp_path / "t.vog", "w") as fs:
        fs.makedirs("a/b/c")
        fs.makedirs("/a/b", exist_ok=True)
        fs.mkdir(PurePosixPath("a/d"))
        fs.mkdir("", exist_ok=True)
        fs.write_bytes("a/b/s", b"xyz", compressed=True)
        fs.write_text("a/t.txt", "hello\n")
        assert fs.listdir("/a") == ["b", "d", "t.txt"]
        assert [(e.name, e.path, e.is_dir(), e.is_file()) for e in fs.scandir("a/b")] == [
            ("c", "a/b/c", True, False),
            ("s", "a/b/s", False, True),
        ]
        assert list(fs.walk()) == [
            ("", ["a"], []),
            ("a", ["b", "d"], ["t.txt"]),
            ("a/b", ["c"], ["s"]),
            ("a/b/c", [], []),
            ("a/d", [], []),
        ]
        assert [top for top, _, _ in fs.walk("a", topdown=False)] == ["a/b/c", "a/b", "a/d", "a"]
        skipped = []
        assert list(fs.walk("missing", onerror=skipped.append)) == [] and len(skipped) == 1
        pruned = []
        for top, dirs, _ in fs.walk():
            pruned.append(top)
            dirs[:] = [d for d in dirs if d != "b"]
        assert pruned == ["", "a", "a/d"]

        info = fs.stat("a/b/s")
        assert (info.st_size, info.compressed, info.reserved > 0) == (3, True, True)
        assert os.path.stat.S_ISREG(info.st_mode) and os.path.stat.S_ISDIR(fs.stat("a").st_mode)
        with fs.open("a/b/s", "ab") as growing:  # a writer's stream is described as it is now
            growing.write(b"more")
            growing.flush()
            assert fs.stat("a/b/s").st_size == 7 and fs.scandir("a/b").__next__().stat().st_mode
        assert (fs.exists("a"), fs.isdir("a"), fs.isfile("a"), fs.isfile("a/t.txt")) == (True, True, False, True)
        assert not fs.exists("a/missing") and not fs.exists("nope/x") and not fs.exists("a//b")

        fs.rename("a/t.txt", "a/d/u.txt")
        fs.write_bytes("a/d/v", b"old")
        fs.rename("a/d/u.txt", "a/d/v")  # replaces a stream, as os.rename does
        fs.rename("a/d", "e")
        assert fs.listdir("e") == ["v"] and fs.read_text("e/v") == "hello\n"
        fs.rmtree("a")
        fs.remove("e/v")
        fs.rmdir("e")
        assert fs.listdir() == [] and fs.verify() == []


def test_put_and_get_copy_trees_as_cp_does(tmp_path):
    source = tmp_path / "src"
    (source / "sub" / "deeper").mkdir(parents=True)
    (source / "a.txt").write_bytes(b"alpha")
    (source / "sub" / "big.bin").write_bytes(os.urandom(3 << 20))
    (source / "sub" / "deeper" / "empty").write_bytes(b"")
    copied = []
    with vog.open(tmp_path / "c.vog", "w") as fs:
        fs.put(source, "in", recursive=True, compressed=True, progress=copied.append)
        fs.mkdir("twice")
        fs.put(source, "twice", recursive=True)  # an existing directory receives a copy inside
        fs.put(source / "a.txt", "twice")
        assert sorted(fs.listdir("twice")) == ["a.txt", "src"]
        assert sum(copied) == 5 + (3 << 20)
        assert fs.stat("in/sub/big.bin").compressed
        with pytest.raises(IsADirectoryError):
            fs.put(source, "x")
        fs.get("in", tmp_path / "out", recursive=True)
        fs.get("in/a.txt", tmp_path / "out")
        with pytest.raises(IsADirectoryError):
            fs.get("in", tmp_path / "nope")
    for relative in ("a.txt", "sub/big.bin", "sub/deeper/empty"):
        assert (tmp_path / "out" / relative).read_bytes() == (source / relative).read_bytes()


@pytest.mark.parametrize(
    "call, builtin, kind",
    [
        (lambda fs: fs.open("missing"), FileNotFoundError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.open("no/such/dir"), FileNotFoundError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.open("d"), IsADirectoryError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.open("d", "w"), IsADirectoryError, ErrorKind.ALREADY_EXISTS),
        (lambda fs: fs.open("/", "a"), IsADirectoryError, ErrorKind.INVALID_PATH),
        (lambda fs: fs.open("s", "x"), FileExistsError, ErrorKind.ALREADY_EXISTS),
        (lambda fs: fs.open("s/x"), NotADirectoryError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.listdir("s"), NotADirectoryError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.listdir("nope"), FileNotFoundError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.stat("nope"), FileNotFoundError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.remove("d"), IsADirectoryError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.rmtree("nope"), FileNotFoundError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.rmdir("s"), NotADirectoryError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.rmdir("d"), OSError, ErrorKind.NOT_EMPTY),
        (lambda fs: fs.mkdir("s"), FileExistsError, ErrorKind.ALREADY_EXISTS),
        (lambda fs: fs.mkdir("d", exist_ok=True) or fs.mkdir("s", exist_ok=True), FileExistsError, ErrorKind.ALREADY_EXISTS),
        (lambda fs: fs.mkdir("a/b"), FileNotFoundError, ErrorKind.NOT_FOUND),
        (lambda fs: fs.open("a/../s"), ValueError, ErrorKind.INVALID_PATH),
        (lambda fs: fs.rename("d", "s"), FileExistsError, ErrorKind.ALREADY_EXISTS),
        (lambda fs: (fs.open("s", "r+b"), fs.open("s")), BlockingIOError, ErrorKind.LOCK_CONFLICT),
        (lambda fs: (fs.open("s"), fs.remove("s")), BlockingIOError, ErrorKind.LOCK_CONFLICT),
    ],
)
def test_errors_are_the_builtin_exceptions(tmp_path, call, builtin, kind):
    with vog.open(tmp_path / "err.vog", "w") as fs:
        fs.makedirs("d/inner")
        fs.write_bytes("s", b"data")
        with pytest.raises(builtin) as raised:
            call(fs)
        assert isinstance(raised.value, vog.VogError) and raised.value.kind is kind
        assert str(raised.value) == raised.value.message and raised.value.message
        if builtin is OSError:
            assert raised.value.errno == errno.ENOTEMPTY


def test_open_files_are_no_integers_and_do_not_pickle(tmp_path):
    with vog.open(tmp_path / "p.vog", "w") as fs:
        with pytest.raises(TypeError, match="cannot pickle an open Vog file"):
            pickle.dumps(fs)
        with fs.open("s", "wb") as file, pytest.raises(TypeError):
            pickle.dumps(file)
        with pytest.raises(ValueError):
            fs.open("s", "r+b").fileno()


def test_stat_st_ino_is_the_stream_and_tells_directories_apart(tmp_path):
    with vog.open(tmp_path / "i.vog", "w") as fs:
        fs.makedirs("a/b")
        fs.write_bytes("a/s", b"x")
        numbers = {path: fs.stat(path).st_ino for path in ("", "a", "a/b", "a/s")}
        assert len(set(numbers.values())) == 4
        fs.rename("a/b", "c")
        assert fs.stat("c").st_ino == numbers["a/b"] and fs.stat("/").st_ino == numbers[""]
        assert fs.scandir("a").__next__().stat().st_ino == numbers["a/s"]


def test_every_walk_refuses_a_cycle(cyclic_vog, tmp_path):
    with vog.open(cyclic_vog) as fs:
        with pytest.raises(OSError) as cycle:
            list(fs.walk())
        assert cycle.value.errno == errno.ELOOP and cycle.value.filename == "a/b/c"
        assert "a/b/c" in str(cycle.value) and isinstance(cycle.value, vog.VogError)
        seen = []
        assert [top for top, _, _ in fs.walk(onerror=seen.append)] == ["", "a", "a/b"]
        assert [error.filename for error in seen] == ["a/b/c", "a/b/up"]
        # From a, the root is new once (as a/b/up), and its a is a again.
        assert [top for top, _, _ in fs.walk("a", topdown=False, onerror=lambda error: None)] == [
            "a/b/up", "a/b", "a"
        ]
        with pytest.raises(vog.CopyError) as partial:
            fs.get("", tmp_path / "out", recursive=True)
        assert sorted(str(path.relative_to(tmp_path / "out")) for path in (tmp_path / "out").rglob("*")) == [
            "a", "a/b", "a/b/in_b.txt", "a/in_a.txt", "top.txt"
        ]
        assert [(source, error.errno) for source, _, error in partial.value.errors] == [
            ("a/b/c", errno.ELOOP), ("a/b/up", errno.ELOOP)
        ]
    with vog.open(cyclic_vog, "a") as fs:
        with pytest.raises(OSError) as cycle:
            fs.rmtree("a")
        assert cycle.value.errno == errno.ELOOP


def test_get_makes_and_writes_nothing_outside_its_destination(hostile_vog, tmp_path):
    outside, dest = tmp_path / "outside", tmp_path / "dest"
    outside.mkdir()
    dest.mkdir()
    absolute = str(outside / "abs")
    path = hostile_vog([
        ("", "kept", b"kept"),
        ("", absolute, b"by an absolute name"),
        ("", "../up", b"up"),
        ("", "..", None),
        ("..", "evil", b"evil"),
        ("", "nul\0name", b"nul"),
        ("", "x" * 300, b"too long"),
        ("", "linked", None),
        ("linked", "f", b"through a link"),
        ("", "file_link", b"through a link"),
        ("", "hard", b"new"),
        ("", "sub", None),
        ("sub", "deep", b"deep"),
    ])
    with vog.open(path, "a") as fs:  # what the absolute name would have reached
        fs.makedirs(absolute.lstrip("/").rsplit("/", 1)[0])
        fs.write_bytes(absolute.lstrip("/"), b"by the real path")
    (dest / "linked").symlink_to(outside, target_is_directory=True)  # planted under the destination
    (dest / "file_link").symlink_to(outside / "planted")
    (outside / "hard").write_bytes(b"old")
    os.link(outside / "hard", dest / "hard")
    with vog.open(path) as fs, pytest.raises(vog.CopyError) as partial:
        fs.get("", dest, recursive=True)
    assert sorted(p.name for p in outside.iterdir()) == ["hard"] and (outside / "hard").read_bytes() == b"old"
    assert (dest / "kept").read_bytes() == b"kept" and (dest / "hard").read_bytes() == b"new"
    assert (dest / "sub" / "deep").read_bytes() == b"deep"
    assert (dest / absolute.lstrip("/")).read_bytes() == b"by the real path"
    assert not (tmp_path / "evil").exists() and not (tmp_path / "up").exists()
    failed = {source: error.errno for source, _, error in partial.value.errors}
    assert failed == {
        absolute: errno.EINVAL, "../up": errno.EINVAL, "..": errno.EINVAL, "nul\0name": errno.EINVAL,
        "x" * 300: errno.ENAMETOOLONG, "linked": errno.ELOOP, "file_link": errno.ELOOP,
    }
    assert isinstance(partial.value, OSError) and "7 not copied" in str(partial.value)


def test_put_reads_each_local_directory_once_and_goes_on(tmp_path):
    source = tmp_path / "src"
    (source / "sub").mkdir(parents=True)
    (source / "a.txt").write_bytes(b"a")
    (source / "sub" / "b.txt").write_bytes(b"b")
    (source / "sub" / "loop").symlink_to(source, target_is_directory=True)  # a loop of links
    (source / "linked").symlink_to(source / "sub", target_is_directory=True)  # followed, once
    (source / "broken").symlink_to(tmp_path / "missing")
    os.mkfifo(source / "fifo")  # never waited on
    with vog.open(tmp_path / "p.vog", "w") as fs:
        with pytest.raises(vog.CopyError) as partial:
            fs.put(source, "in", recursive=True)
        assert sorted(f"{top}/{name}" for top, _, files in fs.walk("in") for name in files) == [
            "in/a.txt", "in/linked/b.txt"
        ]
        failed = {os.path.relpath(local, source): error.errno for local, _, error in partial.value.errors}
        assert failed == {
            "broken": errno.ENOENT, "fifo": errno.EINVAL, "linked/loop": errno.ELOOP, "sub": errno.ELOOP
        }
