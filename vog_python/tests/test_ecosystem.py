"""Vog files through fsspec: its filesystem API, pandas, and dask workers in other processes."""
import errno
import pickle

import fsspec
import pytest

import vog
from vog.filesystem import VogFileSystem


def test_fsspec_filesystem_round_trip(tmp_path):
    path = str(tmp_path / "fs.vog")
    assert fsspec.get_filesystem_class("vog") is VogFileSystem  # found through its entry point
    fs = fsspec.filesystem("vog", fo=path)
    fs.pipe("logs/a.txt", b"alpha")  # creates the file and the parent directory
    fs.pipe({"logs/deep/b.bin": b"\0" * 5000, "top.txt": b"t"})
    with fs.open("logs/c.txt", "w", compressed=True) as text:
        text.write("line\n" * 3)
    assert fs.cat("logs/a.txt") == b"alpha" and fs.cat_file("logs/a.txt", 1, -1) == b"lph"
    assert fs.ls("logs", detail=False) == ["logs/a.txt", "logs/c.txt", "logs/deep"]
    assert fs.info("logs/c.txt")["compressed"] and fs.info("/logs/deep")["type"] == "directory"
    assert fs.find("") == ["logs/a.txt", "logs/c.txt", "logs/deep/b.bin", "top.txt"]
    assert fs.glob("logs/*.txt") == ["logs/a.txt", "logs/c.txt"]
    assert fs.du("logs") == 5 + 15 + 5000 and fs.exists("logs/deep") and not fs.exists("nope")

    fs.get("logs", str(tmp_path / "out"), recursive=True)
    assert (tmp_path / "out" / "deep" / "b.bin").read_bytes() == b"\0" * 5000
    fs.put(str(tmp_path / "out"), "copy", recursive=True)
    fs.mv("copy", "moved")  # a rename, directories included
    fs.cp_file("top.txt", "moved/top.txt")
    assert fs.find("moved") == ["moved/a.txt", "moved/c.txt", "moved/deep/b.bin", "moved/top.txt"]
    fs.rm("moved", recursive=True)
    fs.mkdir("empty")
    fs.rmdir("empty")
    assert fs.ls("", detail=False) == ["logs", "top.txt"]

    # A transaction is one commit, or none: a discarded one leaves nothing behind.
    everything = {name: fs.cat(name) for name in fs.find("")}
    with pytest.raises(KeyError):
        with fs.transaction:
            fs.pipe("tx/a", b"a")
            fs.open("tx/deferred", "wb").write(b"d")  # left open: fsspec discards it
            fs.rm("top.txt")
            raise KeyError("discard")
    assert {name: fs.cat(name) for name in fs.find("")} == everything
    with fs.transaction:
        fs.pipe("tx/a", b"a")
        fs.open("tx/deferred", "wb").write(b"d")  # fsspec commits it
    fs.start_transaction()
    fs.pipe("tx/discarded", b"x")
    fs.end_transaction(commit=False)
    assert fs.cat("tx/a") == b"a" and fs.cat("tx/deferred") == b"d" and not fs.exists("tx/discarded")
    fs.rm("tx", recursive=True)

    clone = pickle.loads(pickle.dumps(fs))  # as its arguments: it opens the file itself
    fs.close()
    assert clone.cat("logs/c.txt") == b"line\n" * 3
    clone.close()
    with fsspec.open(f"vog://logs/c.txt::file://{path}", "rt") as chained:
        assert chained.readlines() == ["line\n"] * 3

    reader = fsspec.filesystem("vog", fo=path, mode="r")
    with pytest.raises(OSError) as refused:
        reader.pipe("x", b"")
    assert refused.value.kind is vog.ErrorKind.READ_ONLY
    with pytest.raises(FileNotFoundError):
        reader.cat("logs/missing")


def test_pandas_writes_and_reads_csv_inside_a_vog_file(tmp_path):
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"day": [1, 2, 3], "note": ["a", "b,c", "é"]})
    options = {"fo": str(tmp_path / "p.vog")}
    frame.to_csv("vog://tables/days.csv", storage_options=options, index=False)
    back = pandas.read_csv("vog://tables/days.csv", storage_options=options)
    pandas.testing.assert_frame_equal(back, frame)
    # Beside an instance that holds the file open for writing, in this process.
    alive = VogFileSystem(fo=options["fo"], mode="a")
    alive.pipe("note.txt", b"alive")
    frame.to_csv("vog://tables/days.csv", storage_options=options, index=False, mode="a", header=False)
    assert len(pandas.read_csv("vog://tables/days.csv", storage_options=options)) == 6
    frame.to_csv("vog://z.csv", storage_options=options, index=False)
    with alive.open("z.csv") as written:  # what the other instance wrote
        pandas.testing.assert_frame_equal(pandas.read_csv(written), frame)
    alive.close()


def test_zarr_array_written_beside_a_read_only_one(tmp_path):
    zarr = pytest.importorskip("zarr")
    numpy = pytest.importorskip("numpy")
    options = {"fo": str(tmp_path / "z.vog")}
    made = zarr.open_array(zarr.storage.FSStore("vog://a", **options), mode="w", shape=(40, 40), chunks=(10, 10),
                           dtype="i4")
    made[:] = 1
    reading = zarr.open_array(zarr.storage.FSStore("vog://a", mode="r", **options), mode="r")
    writing = zarr.open_array(zarr.storage.FSStore("vog://a", **options), mode="r+")
    assert reading[:].sum() == 1600
    writing[:20] = 2
    assert reading[:].sum() == 2400 and writing[:].sum() == 2400
    numpy.testing.assert_array_equal(reading[19:21, 0], [2, 1])


def _sum_of_stream(fs, path):
    with fs.open(path, "rt") as text:
        return sum(int(line) for line in text)


def test_dask_workers_read_many_vog_files(tmp_path):
    distributed = pytest.importorskip("distributed")
    files = []
    for index in range(4):
        path = str(tmp_path / f"part{index}.vog")
        with vog.open(path, "x") as fs:
            fs.makedirs("numbers")
            fs.write_text("numbers/n.txt", "".join(f"{index * 100 + i}\n" for i in range(100)))
        files.append(path)
    expected = [_sum_of_stream(VogFileSystem(fo=path), "numbers/n.txt") for path in files]

    try:
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        )
    except Exception as error:  # a sandbox without process spawning or sockets
        pytest.skip(f"dask.distributed cannot start a local cluster here: {error}")
    with cluster, distributed.Client(cluster) as client:
        # Each task gets a pickled filesystem and opens the Vog file in its worker.
        futures = [client.submit(_sum_of_stream, VogFileSystem(fo=path), "numbers/n.txt") for path in files]
        assert client.gather(futures) == expected


def test_dask_workers_write_csv_parts_into_one_vog_file(tmp_path):
    distributed = pytest.importorskip("distributed")
    dataframe = pytest.importorskip("dask.dataframe")
    pandas = pytest.importorskip("pandas")
    options = {"fo": str(tmp_path / "out.vog")}
    frame = pandas.DataFrame({"n": range(400), "square": [i * i for i in range(400)]})
    try:
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        )
    except Exception as error:  # a sandbox without process spawning or sockets
        pytest.skip(f"dask.distributed cannot start a local cluster here: {error}")
    with cluster, distributed.Client(cluster):
        parts = dataframe.from_pandas(frame, npartitions=8)
        # Each worker opens the file for writing in turn, a part at a time.
        parts.to_csv("vog://out/part-*.csv", storage_options=options, index=False)
        back = dataframe.read_csv("vog://out/part-*.csv", storage_options=options).compute()
    assert len(VogFileSystem(**options).ls("out")) == 8
    pandas.testing.assert_frame_equal(back.sort_values("n").reset_index(drop=True), frame)
    assert vog.verify(options["fo"]) == []


def test_fsspec_walks_refuse_a_directory_cycle(cyclic_vog, tmp_path):
    fs = fsspec.filesystem("vog", fo=str(cyclic_vog), mode="r")
    for walk in (lambda: fs.find(""), lambda: list(fs.walk("")), lambda: fs.du(""), lambda: fs.glob("**")):
        with pytest.raises(OSError) as cycle:  # unbounded before
            walk()
        assert cycle.value.errno == errno.ELOOP and "a/b/c" in str(cycle.value)
    assert fs.find("", maxdepth=2) == ["a/in_a.txt", "top.txt"]  # bounded: never as deep as the cycle
    with pytest.raises(vog.CopyError) as partial:
        fs.get("a", str(tmp_path / "out"), recursive=True)
    assert (tmp_path / "out" / "b" / "in_b.txt").read_bytes() == b"in b"
    assert [error.errno for _, _, error in partial.value.errors] == [errno.ELOOP, errno.ELOOP]
    fs.close()


def test_fsspec_get_writes_nothing_outside_its_destination(hostile_vog, tmp_path):
    outside, dest = tmp_path / "outside", tmp_path / "dest"
    outside.mkdir()
    dest.mkdir()
    path = hostile_vog([
        ("", "d", None),
        ("d", "kept", b"kept"),
        ("d", "..", None),
        ("d/..", "evil", b"evil"),
        ("d", "nul\0name", b"nul"),
        ("d", "linked", None),
        ("d/linked", "f", b"through a link"),
    ])
    fs = fsspec.filesystem("vog", fo=str(path), mode="r")
    assert fs.ls("d", detail=False) == ["d/kept", "d/linked"]  # neither ".." nor a NUL has a path
    (dest / "d").mkdir()
    (dest / "d" / "linked").symlink_to(outside, target_is_directory=True)  # planted
    with pytest.raises(vog.CopyError) as partial:
        fs.get("d", str(dest / "d"), recursive=True)
    assert list(outside.iterdir()) == [] and not (tmp_path / "evil").exists() and not (dest / "evil").exists()
    assert (dest / "d" / "kept").read_bytes() == b"kept"
    assert sorted((source, error.errno) for source, _, error in partial.value.errors) == [
        ("d/..", errno.EINVAL), ("d/linked", errno.ELOOP), ("d/linked/f", errno.ELOOP), ("d/nul\0name", errno.EINVAL)
    ]
    fs.get("d/kept", str(dest / "single"))
    assert (dest / "single").read_bytes() == b"kept"
    with pytest.raises(vog.CopyError):
        fs.get("", str(tmp_path / "whole"), recursive=True)  # the root: into it, not beside it
    assert (tmp_path / "whole" / "d" / "kept").read_bytes() == b"kept"
    fs.close()
