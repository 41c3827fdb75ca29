#!/usr/bin/python3
"""Vog against its peers, on the same bytes and in one run.

    PYTHONPATH=build/vog_python /usr/bin/python3 bench/peers/run.py [--quick]

Prints one table of medians with, per row, the ratio to the row's baseline
measured in the same rounds (the median over rounds of the baseline's time
over the system's; the machine may be shared, so only ratios hold),
and writes every sample to a JSON file. Rounds alternate the systems; reads
follow the write of the same bytes, so the page cache is warm; nothing is
synced while the clock runs (dirty pages are flushed, untimed, before each
write and each run of creates, so no system pays for another's). Each big
write follows an untimed plain write of as many bytes, dropped at once (see
settle_page_cache). Containers
are created or opened before the clock starts (for an encrypted Vog that is
the password's key derivation); everything after it, closing included, is
timed.
"""

import argparse
import datetime
import importlib.machinery
import itertools
import json
import os
import platform
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
try:
    import libvog
except ImportError:
    sys.path.insert(0, str(REPO / "build" / "vog_python"))
    import libvog
import h5py
import lz4.block
import numpy as np
from vog import _engine as vog_engine  # the package's engine: it takes a durability level

MiB = 1 << 20
CALL = MiB                  # bytes per write or read call on big streams
SMALL = 4096                # bytes per small stream and per random read
H5_CHUNK = 64 * 1024        # h5py chunk: near Vog's 32 KiB compressed blocks
PASSWORD = b"peer benchmark"
COMPRESSED_SHIFT = 15       # Vog's default compressed block size, 32 KiB
POOL = 8 * MiB              # distinct bytes, repeated to the sizes asked for
SHIFT_READS = 20000         # random reads per compressed-block shift
VOG_BIG = ["vog", "vog-lz4", "vog-aes"]  # with --baseline each also runs as "<name>-base"
LEVELS = {"off": 0, "process": 1, "full": 2}  # durability, as the package names it


# ---- data

def text_pool(size, seed):
    """Distinct 1 MiB pieces of word-like text that LZ4 squeezes about twofold."""
    rng = random.Random(seed)
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    words = ["".join(rng.choices(letters, k=rng.randint(2, 9))) for _ in range(1000)]
    zipf = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(words))))
    out = []
    while len(out) < size // CALL:
        picked = rng.choices(words, cum_weights=zipf, k=CALL // 4)
        lines = [" ".join(picked[i:i + 12]) for i in range(0, len(picked), 12)]
        out.append("\n".join(lines).encode()[:CALL])
    return out


def random_pool(size, seed):
    rng = random.Random(seed)
    return [rng.randbytes(CALL) for _ in range(size // CALL)]


def timed_reads(offsets, read_at, budget):
    """Seconds per read over `offsets`, or over as many as fit in `budget` seconds."""
    done = 0
    t = time.perf_counter()
    for done, off in enumerate(offsets, 1):
        read_at(off)
        if done % 256 == 0 and time.perf_counter() - t > budget:
            break
    return (time.perf_counter() - t) / done


def chunks(pool, size):
    for i in range(size // CALL):
        yield pool[i % len(pool)]


# ---- big streams: write in CALL pieces, read back, random SMALL reads

class File:
    name = "file"

    def write(self, path, data, size):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        t = time.perf_counter()
        for c in chunks(data, size):
            os.write(fd, c)
        os.close(fd)
        return time.perf_counter() - t

    def read(self, path, size):
        fd = os.open(path, os.O_RDONLY)
        t = time.perf_counter()
        while os.read(fd, CALL):
            pass
        os.close(fd)
        return time.perf_counter() - t

    def random_reads(self, path, offsets, budget):
        fd = os.open(path, os.O_RDONLY)
        took = timed_reads(offsets, lambda off: os.pread(fd, SMALL, off), budget)
        os.close(fd)
        return took


class FileAt14(File):
    """The plain file with its bytes 14 bytes on, where a Vog file's blocks
    start: what the format's placement alone costs the page cache."""

    name = "file+14"
    random = False
    AT = 14

    def write(self, path, data, size):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        t = time.perf_counter()
        at = self.AT
        for c in chunks(data, size):
            at += os.pwrite(fd, c, at)
        os.close(fd)
        return time.perf_counter() - t

    def read(self, path, size):
        fd = os.open(path, os.O_RDONLY)
        buffer = bytearray(CALL)
        t = time.perf_counter()
        at = self.AT
        while got := os.preadv(fd, [buffer], at):
            at += got
        os.close(fd)
        return time.perf_counter() - t


def sqlite_connect(path):
    con = sqlite3.connect(path, isolation_level=None)
    con.execute("PRAGMA journal_mode=OFF")
    con.execute("PRAGMA synchronous=OFF")
    return con


class Sqlite:
    name = "sqlite"

    def write(self, path, data, size):
        con = sqlite_connect(path)
        con.execute("CREATE TABLE b(data BLOB)")
        t = time.perf_counter()
        con.execute("INSERT INTO b(rowid, data) VALUES (1, zeroblob(?))", (size,))
        with con.blobopen("b", "data", 1) as blob:
            for c in chunks(data, size):
                blob.write(c)
        con.close()
        return time.perf_counter() - t

    def read(self, path, size):
        con = sqlite_connect(path)
        t = time.perf_counter()
        with con.blobopen("b", "data", 1, readonly=True) as blob:
            while blob.read(CALL):
                pass
        took = time.perf_counter() - t
        con.close()
        return took

    def random_reads(self, path, offsets, budget):
        con = sqlite_connect(path)
        with con.blobopen("b", "data", 1, readonly=True) as blob:
            def read_at(off):
                blob.seek(off)
                blob.read(SMALL)
            took = timed_reads(offsets, read_at, budget)
        con.close()
        return took


class H5:
    def __init__(self, compression=None):
        self.compression = compression
        self.name = "h5py-lzf" if compression else "h5py"

    def write(self, path, data, size):
        f = h5py.File(path, "w")
        t = time.perf_counter()
        ds = f.create_dataset("d", shape=(size,), dtype="u1", chunks=(H5_CHUNK,),
                              compression=self.compression)
        for i, c in enumerate(chunks(data, size)):
            ds[i * CALL:(i + 1) * CALL] = np.frombuffer(c, dtype="u1")
        f.close()
        return time.perf_counter() - t

    def read(self, path, size):
        f = h5py.File(path, "r")
        t = time.perf_counter()
        ds = f["d"]
        for at in range(0, size, CALL):
            ds[at:at + CALL]
        f.close()
        return time.perf_counter() - t

    def random_reads(self, path, offsets, budget):
        f = h5py.File(path, "r")
        ds = f["d"]
        took = timed_reads(offsets, lambda off: ds[off:off + SMALL], budget)
        f.close()
        return took


class Zip:
    name = "zipfile"

    def write(self, path, data, size):
        zf = zipfile.ZipFile(path, "w", zipfile.ZIP_STORED)
        t = time.perf_counter()
        with zf.open("d", "w", force_zip64=True) as w:
            for c in chunks(data, size):
                w.write(c)
        zf.close()
        return time.perf_counter() - t

    def read(self, path, size):
        zf = zipfile.ZipFile(path)
        t = time.perf_counter()
        with zf.open("d") as r:
            while r.read(CALL):
                pass
        zf.close()
        return time.perf_counter() - t

    def random_reads(self, path, offsets, budget):
        zf = zipfile.ZipFile(path)
        with zf.open("d") as r:
            def read_at(off):
                r.seek(off)
                r.read(SMALL)
            took = timed_reads(offsets, read_at, budget)
        zf.close()
        return took


class VogStreams:
    def __init__(self, name, compressed=False, password=None, shift=COMPRESSED_SHIFT,
                 module=libvog):
        self.name, self.compressed, self.password, self.shift = name, compressed, password, shift
        self.m = module

    def create(self, path):
        return self.m.Vog.create(str(path), compressed_block_size_shift=self.shift,
                                 password=self.password)

    def open(self, path):
        return self.m.Vog.open(str(path), self.m.OpenMode.READ, password=self.password)

    def write(self, path, data, size):
        v = self.create(path)
        t = time.perf_counter()
        h = v.create_stream("d", compressed=self.compressed)
        for c in chunks(data, size):
            v.write(h, c)
        v.close_stream(h)
        v.close()
        return time.perf_counter() - t

    def read(self, path, size):
        v = self.open(path)
        t = time.perf_counter()
        h = v.open_stream("d", self.m.OpenMode.READ)
        while v.read(h, CALL):
            pass
        v.close_stream(h)
        v.close()
        return time.perf_counter() - t

    def random_reads(self, path, offsets, budget):
        v = self.open(path)
        h = v.open_stream("d", self.m.OpenMode.READ)

        def read_at(off):
            v.seek(h, off)
            v.read(h, SMALL)
        took = timed_reads(offsets, read_at, budget)
        v.close()
        return took


class VogLevel:
    """Plain Vog at one durability level, through the package's engine
    (positioned reads and writes: libvog keeps the default level)."""

    random = False  # reads take the same path at every level

    def __init__(self, level):
        self.name, self.level = f"vog-{level}", LEVELS[level]

    def write(self, path, data, size):
        v = vog_engine.Vog.create(str(path), durability=self.level)
        t = time.perf_counter()
        h = v.create_stream("d")
        at = 0
        for c in chunks(data, size):
            at += v.write_at(h, at, c)
        v.close_stream(h)
        v.close()
        return time.perf_counter() - t

    def read(self, path, size):
        v = vog_engine.Vog.open(str(path), vog_engine.OpenMode.READ, durability=self.level)
        buffer = bytearray(CALL)
        t = time.perf_counter()
        h = v.open_stream("d", vog_engine.OpenMode.READ)
        at = 0
        while got := v.read_at(h, at, buffer):
            at += got
        v.close_stream(h)
        v.close()
        return time.perf_counter() - t


def lz4_pieces(data, block):
    return [lz4.block.compress(c[at:at + block], store_size=False)
            for c in data for at in range(0, CALL, block)]


def lz4_compress(data, size, block):
    t = time.perf_counter()
    for c in chunks(data, size):
        view = memoryview(c)
        for at in range(0, CALL, block):
            lz4.block.compress(view[at:at + block], store_size=False)
    return time.perf_counter() - t


def lz4_decompress(pieces, size, block):
    per_call = CALL // block
    t = time.perf_counter()
    for i in range(size // CALL):
        start = (i % (len(pieces) // per_call)) * per_call
        for p in pieces[start:start + per_call]:
            lz4.block.decompress(p, uncompressed_size=block)
    return time.perf_counter() - t


# A native helper's outputs: (its key, the row's operation, the row's system).
XTS_PASSES = (("encrypt_s", "write", "{}"), ("decrypt_s", "read", "{}"),
              ("read_decrypt_s", "read", "pread+{}"))
LZ4_PASSES = (("compress_s", "write", "{}"), ("compress_store_s", "write", "{}+pwrite"),
              ("decompress_s", "read", "{}"), ("read_decompress_s", "read", "pread+{}"))


def helper_times(helper, path, threads, keys):
    """Seconds of a native helper (xts_speed, lz4_speed) over the file at `path`."""
    out = subprocess.run([str(helper), str(path), str(threads)], check=True,
                         capture_output=True, text=True).stdout
    result = json.loads(out)
    return [result[k] for k in keys]


# ---- many small streams

class SmallFiles:
    name = "files"

    def setup(self, root):
        os.mkdir(root)

    def reopen(self, root):
        pass

    def mkdir(self, root, name):
        os.mkdir(os.path.join(root, name))

    def create(self, root, name, data):
        fd = os.open(os.path.join(root, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        os.write(fd, data)
        os.close(fd)

    def read(self, root, name):
        fd = os.open(os.path.join(root, name), os.O_RDONLY)
        os.read(fd, 2 * SMALL)
        os.close(fd)

    def close(self):
        pass


class SmallSqlite:
    name = "sqlite"

    def setup(self, root):
        self.con = sqlite_connect(root)
        self.con.execute("CREATE TABLE s(name TEXT PRIMARY KEY, data BLOB)")

    def reopen(self, root):
        self.con = sqlite_connect(root)

    def mkdir(self, root, name):
        pass  # names carry their directories

    def create(self, root, name, data):
        self.con.execute("INSERT INTO s VALUES (?, ?)", (name, data))

    def read(self, root, name):
        self.con.execute("SELECT data FROM s WHERE name = ?", (name,)).fetchone()

    def close(self):
        self.con.close()


class SmallH5:
    name = "h5py"

    def setup(self, root):
        self.f = h5py.File(root, "w")

    def reopen(self, root):
        self.f = h5py.File(root, "r")

    def mkdir(self, root, name):
        self.f.create_group(name)

    def create(self, root, name, data):
        self.f.create_dataset(name, data=np.frombuffer(data, dtype="u1"))

    def read(self, root, name):
        self.f[name][()]

    def close(self):
        self.f.close()


class SmallVog:
    def __init__(self, module=libvog, name="vog"):
        self.m, self.name = module, name

    def setup(self, root):
        self.v = self.m.Vog.create(root)

    def reopen(self, root):
        self.v = self.m.Vog.open(root, self.m.OpenMode.READ)

    def mkdir(self, root, name):
        self.v.mkdir(name)

    def create(self, root, name, data):
        h = self.v.create_stream(name)
        self.v.write(h, data)
        self.v.close_stream(h)

    def read(self, root, name):
        h = self.v.open_stream(name, self.m.OpenMode.READ)
        self.v.read(h, 2 * SMALL)
        self.v.close_stream(h)

    def close(self):
        self.v.close()


class SmallVogLevel(SmallVog):
    def __init__(self, level):
        super().__init__(vog_engine, f"vog-{level}")
        self.level = LEVELS[level]

    def setup(self, root):
        self.v = self.m.Vog.create(root, durability=self.level)

    def reopen(self, root):
        self.v = self.m.Vog.open(root, self.m.OpenMode.READ, durability=self.level)

    def create(self, root, name, data):
        h = self.v.create_stream(name)
        self.v.write_at(h, 0, data)
        self.v.close_stream(h)

    def read(self, root, name):
        h = self.v.open_stream(name, self.m.OpenMode.READ)
        self.v.read_at(h, 0, bytearray(2 * SMALL))
        self.v.close_stream(h)


def small_names(count, nested):
    if not nested:
        return [], [f"s{i:06d}" for i in range(count)]
    side = max(1, round(count ** 0.5))
    dirs = [f"d{d:03d}" for d in range(side)]
    return dirs, [f"{dirs[i % side]}/s{i:06d}" for i in range(count)]


def small_streams(system, root, count, nested, data):
    dirs, names = small_names(count, nested)
    system.setup(root)
    t = time.perf_counter()
    for d in dirs:
        system.mkdir(root, d)
    for name in names:
        system.create(root, name, data)
    system.close()
    wrote = time.perf_counter() - t
    system.reopen(root)
    t = time.perf_counter()
    for name in names:
        system.read(root, name)
    read = time.perf_counter() - t
    system.close()
    return wrote / count, read / count


def nth_create(system, root, marks, batch, data):
    """Seconds per create at each mark, from a batch of creates starting there."""
    system.setup(root)
    out, made = {}, 0
    for mark in marks:
        while made < mark:
            system.create(root, f"s{made:07d}", data)
            made += 1
        t = time.perf_counter()
        for _ in range(batch):
            system.create(root, f"s{made:07d}", data)
            made += 1
        out[mark] = (time.perf_counter() - t) / batch
    system.close()
    return out


# ---- running and reporting

def load_libvog(directory):
    """libvog from another build, beside the one imported above."""
    found = next(Path(directory).glob("libvog*.so"))
    loader = importlib.machinery.ExtensionFileLoader("libvog", str(found))
    module = loader.create_module(importlib.machinery.ModuleSpec("libvog", loader, origin=str(found)))
    loader.exec_module(module)  # multi-phase initialisation: the module's exec slot
    return module


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.unlink(path)


def settle_page_cache(path, pool, size):
    """Writes, flushes and deletes a plain file of `size` bytes, untimed.

    On a virtual machine the first large write after a pause can run several
    times slower than the next, whichever system makes it (here 0.5 against
    4.5 GB/s), while the host hands the guest its memory back. After this,
    every timed write finds the page cache as a plain write just left it."""
    File().write(path, pool, size)
    os.sync()
    os.unlink(path)


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, a minute or two")
    ap.add_argument("--size-mib", type=int, help="big stream size (default 512, quick 32)")
    ap.add_argument("--random-reads", type=int, help="default 100000, quick 20000")
    ap.add_argument("--small", type=int, help="small streams (default 10000, quick 2000)")
    ap.add_argument("--marks", help="Nth-create marks (default 1000,10000,50000; quick 1000,5000)")
    ap.add_argument("--shift-mib", type=int, help="text for the shift table (default 64, quick 16)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None, help="scratch directory (default: a temporary one)")
    ap.add_argument("--json", default=str(REPO / "build" / "peers.json"),
                    help="where to write every sample (default build/peers.json)")
    ap.add_argument("--helper", default=str(REPO / "build" / "bench" / "xts_speed"),
                    help="the XTS helper; lz4_speed is looked for beside it")
    ap.add_argument("--parts", default="big,small,nth,shifts",
                    help="which groups of rows to run (default all of big,small,nth,shifts)")
    ap.add_argument("--read-budget", type=float, default=3.0,
                    help="seconds of random reads per system and round at most (slow peers "
                         "then read fewer than --random-reads)")
    ap.add_argument("--no-h5py-small", action="store_true",
                    help="leave h5py out of the small-stream rows (milliseconds per stream)")
    ap.add_argument("--baseline", metavar="DIR",
                    help="a second build's vog_python directory: its libvog runs every Vog row "
                         "again as '<system>-base', for before/after ratios in one run")
    a = ap.parse_args()
    q = a.quick
    size = (a.size_mib or (32 if q else 512)) * MiB
    n_random = a.random_reads or (20000 if q else 100000)
    n_small = a.small or (2000 if q else 10000)
    marks = [int(m) for m in (a.marks or ("1000,5000" if q else "1000,10000,50000")).split(",")]
    shift_size = (a.shift_mib or (16 if q else 64)) * MiB
    batch = 200

    scratch = Path(a.dir or tempfile.mkdtemp(prefix="vog-peers-"))
    scratch.mkdir(parents=True, exist_ok=True)
    try:
        measured = measure(a, scratch, size, n_random, n_small, marks, shift_size, batch)
    finally:
        if not a.dir:
            shutil.rmtree(scratch, ignore_errors=True)
    report(a, size, n_random, n_small, marks, shift_size, batch, *measured)


def measure(a, scratch, size, n_random, n_small, marks, shift_size, batch):
    base = load_libvog(a.baseline) if a.baseline else None
    lz4_helper = Path(a.helper).with_name("lz4_speed")

    def base_vog():
        return [SmallVog(base, "vog-base")] if base else []

    pools = {"text": text_pool(POOL, 1), "random": random_pool(POOL, 2)}
    rng = random.Random(3)
    offsets = [rng.randrange(size // SMALL) * SMALL for _ in range(n_random)]
    small_data = random.Random(4).randbytes(SMALL)
    lz4_ready = {kind: lz4_pieces(pool, 1 << COMPRESSED_SHIFT) for kind, pool in pools.items()}

    big = [File(), FileAt14(), Sqlite(), H5(), H5("lzf"), Zip(), VogStreams("vog"),
           VogStreams("vog-lz4", compressed=True), VogStreams("vog-aes", password=PASSWORD)]
    big += [VogLevel(level) for level in LEVELS]
    if base:
        big += [VogStreams("vog-base", module=base),
                VogStreams("vog-lz4-base", compressed=True, module=base),
                VogStreams("vog-aes-base", password=PASSWORD, module=base)]
    samples = {}

    def add(workload, system, seconds):
        samples.setdefault(workload, {}).setdefault(system, []).append(seconds)

    for r in range(a.rounds):
        print(f"round {r + 1}/{a.rounds}", file=sys.stderr, flush=True)
        order = big if r % 2 == 0 else big[::-1]
        for kind, pool in (pools.items() if "big" in a.parts else ()):
            for s in order:
                path = scratch / f"{s.name}.{kind}"
                # Untimed: no dirty pages of others, memory as a plain write leaves it.
                settle_page_cache(scratch / "settle", pool, size)
                add(f"write {kind}", s.name, s.write(path, pool, size))
                add(f"read {kind}", s.name, s.read(path, size))
                if kind == "text" and getattr(s, "random", True):
                    add("random reads", s.name, s.random_reads(path, offsets, a.read_budget))
                # The cipher and the codec alone on these bytes, on one core and
                # on all; then reading them from a file (pread) into the same
                # pass, and compressing them into a file as Vog lays them out.
                for helper, name, passes in (
                        (Path(a.helper), "xts", XTS_PASSES), (lz4_helper, "lz4", LZ4_PASSES)):
                    if s.name != "file" or not helper.exists():
                        continue
                    for label, threads in ((f"{name}-1", 1), (f"{name}-all", 0)):
                        times = helper_times(helper, path, threads, [k for k, _, _ in passes])
                        for (_, op, system), seconds in zip(passes, times):
                            add(f"{op} {kind}", system.format(label), seconds)
                remove(path)
            add(f"write {kind}", "lz4", lz4_compress(pool, size, 1 << COMPRESSED_SHIFT))
            add(f"read {kind}", "lz4", lz4_decompress(lz4_ready[kind], size, 1 << COMPRESSED_SHIFT))
        smalls = [SmallFiles(), SmallSqlite(), SmallVog()] + base_vog()
        smalls += [SmallVogLevel(level) for level in LEVELS]
        if not a.no_h5py_small:
            smalls.insert(2, SmallH5())
        for nested in ((False, True) if "small" in a.parts else ()):
            layout = "100x100" if nested else "one dir"
            for s in (smalls if r % 2 == 0 else smalls[::-1]):
                root = str(scratch / f"small-{s.name}")
                os.sync()
                # Two synced commits per stream: full makes a tenth of them, at the same cost each.
                count = n_small // 10 if s.name == "vog-full" else n_small
                wrote, read = small_streams(s, root, count, nested, small_data)
                add(f"small create {layout}", s.name, wrote)
                add(f"small open {layout}", s.name, read)
                remove(root)
        # Not at full: two synced commits per create make 50,000 of them take minutes.
        for s in ([SmallFiles(), SmallSqlite(), SmallVog()] + base_vog()
                  + [SmallVogLevel("off"), SmallVogLevel("process")]
                  if "nth" in a.parts else ()):
            root = str(scratch / f"nth-{s.name}")
            os.sync()
            for mark, seconds in nth_create(s, root, marks, batch, small_data).items():
                add(f"nth create {mark}", s.name, seconds)
            remove(root)

    shifts, h5_ratio = [], None
    # What a shift costs in size and in random reads, the reads timed against
    # pread on the same text, alternating with it.
    rng = random.Random(5)
    shift_offsets = [rng.randrange(shift_size // SMALL) * SMALL for _ in range(SHIFT_READS)]
    plain_path = scratch / "shifts.file"
    if "shifts" in a.parts:
        File().write(plain_path, pools["text"], shift_size)
    for shift in (range(12, 21) if "shifts" in a.parts else ()):
        path = scratch / f"shift{shift}.vog"
        vog = VogStreams("vog-lz4", compressed=True, shift=shift)
        vog.write(path, pools["text"], shift_size)
        stored = os.path.getsize(path)
        alone = sum(len(p) for p in lz4_pieces(pools["text"], 1 << shift)) * (shift_size // POOL)
        pread_s, read_s = [], []
        for _ in range(3):
            pread_s.append(File().random_reads(plain_path, shift_offsets, a.read_budget))
            read_s.append(vog.random_reads(path, shift_offsets, a.read_budget))
        shifts.append({"shift": shift, "file_bytes": stored, "ratio": shift_size / stored,
                       "lz4_alone_ratio": shift_size / alone,
                       "read_us": statistics.median(read_s) * 1e6,
                       "read_ratio": statistics.median(p / r for p, r in zip(pread_s, read_s))})
        remove(path)
    remove(plain_path)
    if shifts:
        h5_path = scratch / "lzf.h5"
        H5("lzf").write(h5_path, pools["text"], shift_size)
        h5_ratio = shift_size / os.path.getsize(h5_path)
        remove(h5_path)
    return samples, shifts, h5_ratio


def report(a, size, n_random, n_small, marks, shift_size, batch, samples, shifts, h5_ratio):
    med = {w: {s: statistics.median(v) for s, v in d.items()} for w, d in samples.items()}
    rows = []

    def row(workload, system, baseline, unit):
        if system not in med.get(workload, {}) or baseline not in med[workload]:
            return
        seconds = med[workload][system]
        if unit == "MB/s":
            value = size / 1e6 / seconds
        else:
            value = seconds * 1e6
        # Paired by round: a round's systems run minutes apart, while the host's
        # speed drifts over the whole run, moving the medians of each by itself.
        ratios = [b / s for b, s in zip(samples[workload][baseline], samples[workload][system])]
        rows.append({"workload": workload, "system": system, "value": value, "unit": unit,
                     "ratio": statistics.median(ratios), "baseline": baseline})

    for kind in ("text", "random"):
        for op in ("write", "read"):
            w = f"{op} {kind}"
            for s in ["file", "file+14", "sqlite", "h5py", "h5py-lzf", "zipfile", "vog", "vog-lz4",
                      "vog-aes", "vog-base", "vog-lz4-base", "vog-aes-base"]:
                row(w, s, "file", "MB/s")
            row(w, "vog", "file+14", "MB/s")
            for s in ["lz4-1", "lz4-all", "lz4-1+pwrite", "lz4-all+pwrite", "pread+lz4-1",
                      "pread+lz4-all", "vog-lz4", "vog-lz4-base", "h5py-lzf"]:
                row(w, s, "lz4", "MB/s")
            row(w, "vog-lz4", "pread+lz4-all", "MB/s")
            row(w, "vog-lz4", "lz4-1+pwrite", "MB/s")
            row(w, "vog-lz4", "lz4-all+pwrite", "MB/s")
            row(w, "vog-aes", "vog", "MB/s")
            for s in ["xts-1", "xts-all", "pread+xts-1", "pread+xts-all", "vog-aes",
                      "vog-aes-base"]:
                row(w, s, "xts-all", "MB/s")
            row(w, "vog-aes", "pread+xts-all", "MB/s")
            for s in VOG_BIG:
                row(w, s, s + "-base", "MB/s")
            for level in LEVELS:
                row(w, f"vog-{level}", "file", "MB/s")
                row(w, f"vog-{level}", "vog-off", "MB/s")
    for s in ["file", "sqlite", "h5py", "h5py-lzf", "zipfile", "vog", "vog-lz4", "vog-aes",
              "vog-base", "vog-lz4-base", "vog-aes-base"]:
        row("random reads", s, "file", "us/read")
    for s in VOG_BIG:
        row("random reads", s, s + "-base", "us/read")
    for layout in ("one dir", "100x100"):
        for op in ("create", "open"):
            for s in ["files", "sqlite", "h5py", "vog", "vog-base"]:
                row(f"small {op} {layout}", s, "files", "us/stream")
            row(f"small {op} {layout}", "vog", "vog-base", "us/stream")
            for level in LEVELS:
                row(f"small {op} {layout}", f"vog-{level}", "files", "us/stream")
                row(f"small {op} {layout}", f"vog-{level}", "vog-off", "us/stream")
    for mark in marks:
        for s in ["files", "sqlite", "vog", "vog-base", "vog-off", "vog-process"]:
            row(f"nth create {mark}", s, "files", "us/create")
        row(f"nth create {mark}", "vog", "vog-base", "us/create")
        row(f"nth create {mark}", "vog-process", "vog-off", "us/create")

    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    print(f"{stamp}, {machine()}; median of {a.rounds} rounds; ratio = median over rounds of "
          f"baseline time / system time (higher is faster)")
    print(f"big streams {size // MiB} MiB in {CALL // MiB} MiB calls; {n_random} random "
          f"{SMALL}-byte reads; {n_small} small streams of {SMALL} bytes; "
          f"Nth create over {batch} creates")
    print(f"{'workload':<22} {'system':<14} {'median':>12}  {'ratio':>7}  vs")
    for x in rows:
        print(f"{x['workload']:<22} {x['system']:<14} {x['value']:>8.1f} {x['unit']:<9}"
              f"{x['ratio']:>6.2f}x  {x['baseline']}")
    if shifts:
        print(f"compressed text ({shift_size // MiB} MiB): raw / stored size, and random "
              f"{SMALL}-byte reads against pread")
        for x in shifts:
            print(f"  shift {x['shift']} ({1 << (x['shift'] - 10)} KiB): vog {x['ratio']:.2f}x, "
                  f"lz4 alone {x['lz4_alone_ratio']:.2f}x; read {x['read_us']:.1f} us, "
                  f"{x['read_ratio']:.2f}x of pread")
        print(f"  h5py-lzf ({H5_CHUNK // 1024} KiB chunks): {h5_ratio:.2f}x")

    with open(a.json, "w") as f:
        json.dump({"date": stamp, "machine": machine(), "args": vars(a), "size": size,
                   "samples": samples, "rows": rows, "shifts": shifts,
                   "h5py_lzf_ratio": h5_ratio}, f, indent=1)
    print(f"samples in {a.json}", file=sys.stderr)


if __name__ == "__main__":
    main()
