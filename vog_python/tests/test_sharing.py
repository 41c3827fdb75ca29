"""A writer and readers in other processes: readers see whole commits, and one commit throughout a snapshot.

The writer commits transactions, each of which sets every stream of a set to
the same generation number (in streams of different lengths, so that a commit
changes many blocks). Each reader checks, inside snapshots, that every stream
holds the same generation and that generations never go back.
"""
import os
import subprocess
import sys
import time

import vog

STREAMS = [f"g/s{index}" for index in range(5)]

WRITER = r"""
import sys, time, vog
path, streams, seconds = sys.argv[1], sys.argv[2].split(","), float(sys.argv[3])
with vog.open(path, "a") as fs:
    generation, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        generation += 1
        with fs.transaction():
            for index, name in enumerate(streams):
                fs.write_text(name, ("%d\n" % generation) * (500 + 700 * index + generation % 300))
print(generation)
"""

READER = r"""
import sys, time, vog
path, streams, seconds = sys.argv[1], sys.argv[2].split(","), float(sys.argv[3])
seen, last, snapshots = set(), 0, 0
with vog.open(path, "r") as fs:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with fs.snapshot():
            texts = [fs.read_text(name) for name in streams]
        lines = [set(text.splitlines()) for text in texts]
        assert all(len(found) == 1 for found in lines), [sorted(found)[:3] for found in lines]
        generations = {int(next(iter(found))) for found in lines}
        assert len(generations) == 1, "streams of different commits in one snapshot: %s" % generations
        generation = generations.pop()
        assert generation >= last, "went back from %d to %d" % (last, generation)
        last = generation
        seen.add(generation)
        snapshots += 1
print(snapshots, len(seen))
"""


def test_readers_in_snapshots_see_one_whole_commit_at_a_time(tmp_path):
    path = str(tmp_path / "shared.vog")
    with vog.open(path, "x") as fs:
        fs.mkdir("g")
        for name in STREAMS:
            fs.write_text(name, "0\n")
    arguments = [path, ",".join(STREAMS)]
    started = time.monotonic()
    readers = [
        subprocess.Popen([sys.executable, "-c", READER, *arguments, "2.5"], env=os.environ,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for _ in range(2)
    ]
    writer = subprocess.run([sys.executable, "-c", WRITER, *arguments, "2.0"], env=os.environ,
                            capture_output=True, text=True, timeout=60, check=False)
    outcomes = [reader.communicate(timeout=60) for reader in readers]
    assert writer.returncode == 0, writer.stderr
    for reader, (out, err) in zip(readers, outcomes):
        assert reader.returncode == 0, err
        snapshots, generations = map(int, out.split())
        assert generations > 5 and snapshots >= generations  # they read while the writer went on
    assert time.monotonic() - started < 30
    last = int(writer.stdout)
    with vog.open(path) as fs:
        assert {fs.read_text(name).split("\n", 1)[0] for name in STREAMS} == {str(last)}
        assert fs.verify() == []
