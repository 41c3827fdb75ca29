"""The vog package against raw libvog, zipfile and plain files. Prints ratios; asserts nothing.

    PYTHONPATH=build/vog_python python3 bench/python_bench.py [--mib 512] [--files 10000]

1. Reading one big stream: VogFS.open(..., "rb").readinto in 1 MiB calls, against
   libvog's read(handle, 1 MiB) (goal: at least 0.9x its speed).
2. put -r of a directory of small files, against zipfile writing them ZIP_STORED
   (goal: no slower).
3. shutil.copyfileobj into and out of a stream, against the same between plain
   files (goal: at least 0.8x).
Each case runs a few times; the best time counts. The page cache is warm for both sides.
"""

import argparse
import os
import shutil
import tempfile
import time
import zipfile
from collections.abc import Callable

import libvog
import vog

MIB = 1 << 20


def compare(runs: int, ours: Callable[[], object], theirs: Callable[[], object]) -> tuple[float, float]:
    """The best times of both sides, run alternately so that a busy machine slows both alike."""
    best = [float("inf"), float("inf")]
    for _ in range(runs):
        for side, work in enumerate((ours, theirs)):
            start = time.perf_counter()
            work()
            best[side] = min(best[side], time.perf_counter() - start)
    return best[0], best[1]


def report(name: str, times: tuple[float, float], goal: float, unit: str) -> None:
    ours, theirs = times
    ratio = theirs / ours  # > 1: vog is faster
    verdict = "meets" if ratio >= goal else "MISSES"
    print(f"{name}: vog {ours:.3f} s, {unit} {theirs:.3f} s, speed ratio {ratio:.2f}x ({verdict} goal {goal}x)")


def bench_read(tmp: str, mib: int, runs: int) -> None:
    path = os.path.join(tmp, "read.vog")
    chunk = os.urandom(MIB)
    with vog.open(path, "x") as fs, fs.open("big", "wb", buffering=0) as stream:
        for _ in range(mib):
            stream.write(chunk)

    def with_package() -> None:
        buffer = bytearray(MIB)
        with vog.open(path) as fs, fs.open("big", "rb") as stream:
            while stream.readinto(buffer):  # type: ignore[attr-defined]
                pass

    def with_raw_module() -> None:
        raw = libvog.Vog.open(path, libvog.OpenMode.READ)
        handle = raw.open_stream("big", libvog.OpenMode.READ)
        while raw.read(handle, MIB):
            pass
        raw.close()

    times = compare(runs, with_package, with_raw_module)
    report(f"read {mib} MiB in 1 MiB calls", times, 0.9, "libvog read")
    print(f"  {mib / times[0]:.0f} MiB/s through VogFS.open(...).readinto")


def bench_put(tmp: str, count: int, runs: int) -> None:
    source = os.path.join(tmp, "small")
    for index in range(count):
        folder = os.path.join(source, f"d{index // 500:02}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"f{index:05}.txt"), "wb") as file:
            file.write(os.urandom(100 + index % 3000))

    def with_vog() -> None:
        with vog.open(os.path.join(tmp, "put.vog"), "w") as fs:
            fs.put(source, "small", recursive=True)

    def with_zip() -> None:
        with zipfile.ZipFile(os.path.join(tmp, "put.zip"), "w", zipfile.ZIP_STORED) as archive:
            for top, _, files in os.walk(source):
                for name in files:
                    local = os.path.join(top, name)
                    archive.write(local, os.path.relpath(local, tmp))

    report(f"put -r of {count} small files", compare(runs, with_vog, with_zip), 1.0, "zipfile ZIP_STORED")


def bench_copy(tmp: str, mib: int, runs: int) -> None:
    local = os.path.join(tmp, "copy.bin")
    with open(local, "wb") as file:
        for _ in range(mib):
            file.write(os.urandom(MIB))
    path = os.path.join(tmp, "copy.vog")

    def into_vog() -> None:
        with vog.open(path, "w") as fs, open(local, "rb") as source, fs.open("c", "wb") as dest:
            shutil.copyfileobj(source, dest)

    def out_of_vog() -> None:
        with vog.open(path) as fs, fs.open("c", "rb") as source, open(local + ".out", "wb") as dest:
            shutil.copyfileobj(source, dest)

    def plain_in() -> None:
        with open(local, "rb") as source, open(local + ".plain", "wb") as dest:
            shutil.copyfileobj(source, dest)

    def plain_out() -> None:
        with open(local + ".plain", "rb") as source, open(local + ".out", "wb") as dest:
            shutil.copyfileobj(source, dest)

    report(f"copyfileobj of {mib} MiB in", compare(runs, into_vog, plain_in), 0.8, "plain files")
    report(f"copyfileobj of {mib} MiB out", compare(runs, out_of_vog, plain_out), 0.8, "plain files")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mib", type=int, default=512, help="size of the big stream")
    parser.add_argument("--copy-mib", type=int, default=256, help="size of the copied file")
    parser.add_argument("--files", type=int, default=10_000, help="small files for put -r")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=None, help="where to work (default: a temporary directory)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        bench_read(tmp, args.mib, args.runs)
        bench_put(tmp, args.files, args.runs)
        bench_copy(tmp, args.copy_mib, args.runs)


if __name__ == "__main__":
    main()
