"""Readers beside a writer, and many small writes in one transaction. Prints figures; asserts nothing.

    PYTHONPATH=build/vog_python python3 bench/sharing_bench.py [--seconds 3] [--streams 10000]

1. Four reader processes read random 64 KiB streams while one writer process
   commits small changes in a loop: the readers' throughput against the
   readers alone, the writer's commits per second against the writer alone
   (goals: at least 0.5x each), and the time from a commit returning to a
   reader seeing it (median and 99th percentile).
2. 10,000 streams of 1 KiB through VogFS.write_bytes inside one transaction,
   against SQLite inserting the same blobs in one transaction (rollback
   journal): at durability "process" against synchronous NORMAL, at "full"
   against synchronous FULL (goal: no slower).
The file system is the one holding the temporary directory (printed).
"""

import argparse
import multiprocessing
import os
import random
import sqlite3
import statistics
import subprocess
import tempfile
import time

import vog

READERS = 4
STREAMS = 100
STREAM_BYTES = 64 << 10


def make_file(path: str) -> None:
    with vog.open(path, "x") as fs:
        with fs.transaction():
            for i in range(STREAMS):
                fs.write_bytes(f"s{i}", os.urandom(STREAM_BYTES))
            fs.write_bytes("generation", b"0")


def reader(path: str, stop_at: float, out) -> None:
    """Reads random streams until `stop_at`; reports bytes read and when it first saw each commit."""
    rng = random.Random(os.getpid())
    read = 0
    seen, sightings = 0, []
    with vog.open(path, "r") as fs:
        while time.monotonic() < stop_at:
            read += len(fs.read_bytes(f"s{rng.randrange(STREAMS)}"))
            generation = int(fs.read_bytes("generation"))
            if generation > seen:
                sightings.append((generation, time.monotonic()))
                seen = generation
    out.put((read, sightings))


def writer(path: str, stop_at: float, commit_times, out) -> None:
    """Commits small changes until `stop_at`; reports how many."""
    rng = random.Random(1)
    commits = 0
    with vog.open(path, "a") as fs:
        while time.monotonic() < stop_at and commits + 1 < len(commit_times):
            with fs.transaction():
                fs.write_bytes(f"s{rng.randrange(STREAMS)}", os.urandom(STREAM_BYTES // 16))
                fs.write_bytes("generation", str(commits + 1).encode())
            commits += 1
            commit_times[commits] = time.monotonic()
    out.put(commits)


def run(path: str, seconds: float, readers: int, writing: bool) -> tuple[float, float, list[float]]:
    """Reader MB/s (all readers), writer commits/s, commit-to-reader lags in seconds."""
    context = multiprocessing.get_context("spawn")
    commit_times = context.Array("d", 1_000_000, lock=False)
    read_out, write_out = context.Queue(), context.Queue()
    stop_at = time.monotonic() + 1.0 + seconds  # a second to start the processes
    procs = [context.Process(target=reader, args=(path, stop_at, read_out)) for _ in range(readers)]
    if writing:
        procs.append(context.Process(target=writer, args=(path, stop_at, commit_times, write_out)))
    start = time.monotonic()
    for proc in procs:
        proc.start()
    results = [read_out.get() for _ in range(readers)]
    commits = write_out.get() if writing else 0
    for proc in procs:
        proc.join()
    elapsed = time.monotonic() - start - 1.0
    total_read = sum(r for r, _ in results)
    # A reader may see a commit before the writer notes that it returned: no lag.
    lags = [max(0.0, seen - commit_times[generation])
            for _, sightings in results for generation, seen in sightings if commit_times[generation]]
    return total_read / elapsed / 1e6, commits / elapsed, lags


def small_writes(directory: str, count: int, durability: str) -> tuple[float, float]:
    """Seconds for `count` 1 KiB streams in one transaction: Vog, then SQLite."""
    blobs = [os.urandom(1024) for _ in range(count)]
    path = os.path.join(directory, f"small-{durability}.vog")
    start = time.perf_counter()
    with vog.open(path, "x", durability=durability) as fs:
        with fs.transaction():
            for i, blob in enumerate(blobs):
                fs.write_bytes(f"f{i}", blob)
    ours = time.perf_counter() - start

    db_path = os.path.join(directory, f"small-{durability}.db")
    start = time.perf_counter()
    db = sqlite3.connect(db_path, isolation_level=None)
    db.execute("PRAGMA journal_mode=DELETE")
    db.execute(f"PRAGMA synchronous={'FULL' if durability == 'full' else 'NORMAL'}")
    db.execute("CREATE TABLE blobs (name TEXT PRIMARY KEY, data BLOB)")
    db.execute("BEGIN")
    db.executemany("INSERT INTO blobs VALUES (?, ?)", ((f"f{i}", b) for i, b in enumerate(blobs)))
    db.execute("COMMIT")
    db.close()
    theirs = time.perf_counter() - start
    return ours, theirs


def file_system_of(directory: str) -> str:
    done = subprocess.run(["df", "--output=fstype", directory], capture_output=True, text=True)
    return done.stdout.split()[-1] if done.returncode == 0 else "unknown"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--streams", type=int, default=10_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        print(f"file system: {file_system_of(directory)} ({directory})")
        path = os.path.join(directory, "shared.vog")
        make_file(path)
        alone_mb, _, _ = run(path, args.seconds, READERS, writing=False)
        _, alone_commits, _ = run(path, args.seconds, 0, writing=True)
        both_mb, both_commits, lags = run(path, args.seconds, READERS, writing=True)
        print(f"{READERS} readers alone: {alone_mb:8.1f} MB/s; beside the writer: {both_mb:8.1f} MB/s"
              f"  ({both_mb / alone_mb:.2f}x, goal 0.5x)")
        print(f"writer alone: {alone_commits:8.1f} commits/s; beside the readers: {both_commits:8.1f}"
              f"  ({both_commits / alone_commits:.2f}x, goal 0.5x)")
        if lags:
            lags.sort()
            p99 = lags[min(len(lags) - 1, int(0.99 * len(lags)))]
            print(f"commit returned to reader saw it: median {statistics.median(lags) * 1e3:.2f} ms,"
                  f" p99 {p99 * 1e3:.2f} ms ({len(lags)} commits seen)")
        for durability in ("process", "full"):
            ours, theirs = small_writes(directory, args.streams, durability)
            print(f"{args.streams} x 1 KiB in one transaction at {durability}: vog {ours:.3f} s, "
                  f"SQLite {theirs:.3f} s ({theirs / ours:.2f}x SQLite's speed, goal 1.0x)")


if __name__ == "__main__":
    main()
