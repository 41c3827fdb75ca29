"""Several Python threads on one Vog object."""
import subprocess
import sys
import threading
import time

import pytest

from libvog import OpenMode, Vog, VogError


def run_all(workers):
    errors = []

    def guard(work):
        try:
            work()
        except BaseException as e:  # noqa: BLE001 (reported below)
            errors.append(e)

    threads = [threading.Thread(target=guard, args=(work,)) for work in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_threads_on_different_streams_and_shared_readers(vog):
    payload = bytes(range(256)) * 64
    handle = vog.create_stream("shared")
    vog.write(handle, payload)
    vog.close_stream(handle)

    def writer(n):
        def work():
            for round_ in range(20):
                h = vog.create_stream(f"w{n}-{round_}", compressed=bool(round_ % 2))
                data = bytes([n, round_]) * 3000
                assert vog.write(h, data) == len(data)
                vog.seek(h, 0)
                assert vog.read(h, len(data)) == data
                vog.close_stream(h)
                vog.delete_stream(f"w{n}-{round_}")
        return work

    def reader():
        for _ in range(40):
            h = vog.open_stream("shared", OpenMode.READ)
            assert vog.read(h, len(payload)) == payload
            vog.close_stream(h)

    run_all([writer(n) for n in range(3)] + [reader for _ in range(3)])
    assert [entry.name for entry in vog.list()] == ["shared"]


FIFO_SCRIPT = """
import os, sys, threading, time
from libvog import OpenMode, Vog, VogError

fifo = sys.argv[1]
os.mkfifo(fifo)

def feeder():
    # Opening a FIFO's write end without blocking succeeds only once a reader waits.
    while True:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            time.sleep(0.001)
    os.write(fd, b"not a vog file at all")
    os.close(fd)

thread = threading.Thread(target=feeder)
thread.start()
try:
    Vog.open(fifo, OpenMode.READ)
except VogError as error:
    print(error)
thread.join()
"""


def test_engine_calls_release_the_interpreter_lock(tmp_path):
    """Vog.open blocks in the engine on a FIFO until another Python thread opens
    its write end: that can only happen while the interpreter lock is free."""
    result = subprocess.run(
        [sys.executable, "-c", FIFO_SCRIPT, str(tmp_path / "fifo")],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("I/O error: "), result.stdout


def test_close_while_other_threads_run(path):
    vog = Vog.create(path)
    handle = vog.create_stream("s")
    vog.write(handle, b"x" * 100000)
    vog.close_stream(handle)
    stop = threading.Event()
    outcomes = []

    def reader():
        while not stop.is_set():
            try:
                h = vog.open_stream("s", OpenMode.READ)
                vog.read(h, 100000)
                vog.close_stream(h)
            except VogError as e:
                outcomes.append(str(e))
                return

    threads = [threading.Thread(target=reader) for _ in range(4)]
    for thread in threads:
        thread.start()
    time.sleep(0.05)
    vog.close()
    stop.set()
    for thread in threads:
        thread.join()
    # Calls that started after close() report it; nothing else goes wrong.
    assert all(text == "Vog file has been closed" or text.startswith("not found: invalid stream handle")
               for text in outcomes), outcomes
    again = Vog.open(path, OpenMode.WRITE)  # the engine was torn down: the lock is free
    again.close()
