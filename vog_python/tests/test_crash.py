"""A writer killed with SIGKILL at random moments never damages the file.

A child process runs a mixed workload on one Vog file at the default
durability level and logs each operation's begin ("B") and end ("E"), and
each commit point before ("I" and its effects) and after ("D") the call; a
transaction of several changes is one commit point, and one rolled back
(now and then) is none: nothing of it may survive. Beside
it three threads keep writing and resizing streams of their own through the
package's engine, whose contents are never checked: commits on the main thread
must not cut through those changes. Now and then the child forks, and the
fork's copy of the open file must stay inert. A reader process keeps opening
and verifying the file all along. After every kill the parent opens the file, which rolls
back what the journal holds, and checks that verify is empty and that the tree
is the one the log says was committed (or, for a call cut short, the one it
would have committed). VOG_CRASH_KILLS sets the number of kills (default 30);
scripts/crash_kills.sh runs 1,000 and prints the counts.
"""
import hashlib
import os
import random
import signal
import subprocess
import sys
import time

from libvog import EntryType, OpenMode, Vog

SCRATCH = ("scratch0", "scratch1", "scratch2")

CHILD = "SCRATCH = %r\n" % (SCRATCH,) + r"""
import hashlib, os, random, sys, threading, time
import vog as package
from vog._engine import EntryType, OpenMode, Vog

path, log_path, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(seed)
vog = Vog.open(path, OpenMode.WRITE)
log = open(log_path, "a", buffering=1)  # one write per line: a kill never splits one

def scribble(name, rng):
    h = vog.open_stream(name, OpenMode.WRITE)
    while True:
        try:
            if rng.random() < 0.5:
                vog.resize(h, rng.randrange(300000))
            else:
                vog.write_at(h, rng.randrange(300000), rng.randbytes(rng.randrange(1, 70000)))
        except package.NotFoundError:  # a rollback closed the handle
            h = vog.open_stream(name, OpenMode.WRITE)
for name in SCRATCH:
    threading.Thread(target=scribble, args=(name, random.Random(name + str(seed))), daemon=True).start()

dirs, streams = [""], {}
def walk(d):
    for e in vog.list(d):
        p = d + "/" + e.name if d else e.name
        if p in SCRATCH:
            continue
        if e.entry_type == EntryType.DIRECTORY:
            dirs.append(p)
            walk(p)
        else:
            h = vog.open_stream(p, OpenMode.READ)
            streams[p] = vog.read(h, vog.stream_length(h))
            vog.close_stream(h)
walk("")

def commit(effect, call):
    log.write("I " + effect + "\n")
    result = call()
    log.write("D\n")
    return result

def data():
    size = rng.choice([0, 10, 300, 5000, 70000, 400000])
    return bytes([rng.randrange(4) + 97]) * size + rng.randbytes(rng.randrange(50))

def child_of(d):
    name = "n%d_%d" % (seed, rng.randrange(10**9))
    return d + "/" + name if d else name

def digest(b):
    return "%s %d" % (hashlib.sha256(b).hexdigest(), len(b))

while True:
    time.sleep(rng.random() / 200)  # the scribblers' changes wait for a commit meanwhile
    log.write("B\n")  # an operation begins; "E" when it is over
    op = rng.randrange(11)
    if len(streams) + len(dirs) > 40:
        op = 6
    if op == 0:
        p = child_of(rng.choice(dirs))
        commit("mkdir " + p, lambda: vog.mkdir(p))
        dirs.append(p)
    elif op in (1, 2):
        p, content = child_of(rng.choice(dirs)), data()
        h = commit("create " + p, lambda: vog.create_stream(p, compressed=rng.random() < 0.5))
        streams[p] = b""
        vog.write(h, content)
        commit("set " + p + " " + digest(content), lambda: vog.close_stream(h))
        streams[p] = content
    elif op in (3, 4) and streams:
        p = rng.choice(sorted(streams))
        old = streams[p]
        h = vog.open_stream(p, OpenMode.WRITE)
        if op == 3:
            at, piece = rng.randrange(len(old) + 1), data()
            vog.seek(h, at)
            vog.write(h, piece)
            new = old[:at] + piece + old[at + len(piece):]
        else:
            new = old[:rng.randrange(len(old) + 1)]
            vog.truncate(h, len(new))
        commit("set " + p + " " + digest(new), lambda: vog.close_stream(h))
        streams[p] = new
    elif op == 5 and streams:
        a = rng.choice(sorted(streams))
        b = child_of(rng.choice(dirs))
        commit("mv " + a + " " + b, lambda: vog.rename_stream(a, b))
        streams[b] = streams.pop(a)
    elif op == 6 and streams:
        p = rng.choice(sorted(streams))
        commit("del " + p, lambda: vog.delete_stream(p))
        del streams[p]
    elif op == 7 and len(dirs) > 1:
        a = rng.choice(dirs[1:])
        b = child_of(rng.choice([d for d in dirs if d != a and not d.startswith(a + "/")]))
        commit("mvdir " + a + " " + b, lambda: vog.rename_dir(a, b))
        moved = lambda p: b + p[len(a):] if p == a or p.startswith(a + "/") else p
        dirs[:] = [moved(d) for d in dirs]
        streams = {moved(p): v for p, v in streams.items()}
    elif op == 8:
        empty = [d for d in dirs[1:] if not any(x.startswith(d + "/") for x in dirs + list(streams))]
        if empty:
            p = rng.choice(empty)
            commit("rmdir " + p, lambda: vog.rmdir(p))
            dirs.remove(p)
    elif op == 10:
        effects, staged_dirs, staged = [], list(dirs), dict(streams)
        vog.begin_transaction()
        for _ in range(rng.randrange(2, 6)):
            kind = rng.randrange(3)
            if kind == 0:
                p = child_of(rng.choice(staged_dirs))
                vog.mkdir(p)
                staged_dirs.append(p)
                effects.append("mkdir " + p)
            elif kind == 1 or not staged:
                p, content = child_of(rng.choice(staged_dirs)), data()
                h = vog.create_stream(p, compressed=rng.random() < 0.5)
                vog.write(h, content)
                vog.close_stream(h)
                staged[p] = content
                effects += ["create " + p, "set " + p + " " + digest(content)]
            else:
                p = rng.choice(sorted(staged))
                vog.delete_stream(p)
                del staged[p]
                effects.append("del " + p)
        if rng.random() < 0.2:
            vog.end_transaction(False)
        else:
            commit(";".join(effects), lambda: vog.end_transaction(True))
            dirs[:], streams = staged_dirs, staged
    elif op == 9 and rng.random() < 0.2:
        child = os.fork()
        if child == 0:
            # The inherited copy refuses changes and closes without touching
            # the file; exiting runs the finalizers as any program would.
            try:
                vog.mkdir("forked")
                os._exit(3)
            except package.VogError as error:
                if "forked child" not in str(error):
                    os._exit(4)
            vog.close()
            sys.exit(0)
        _, status = os.waitpid(child, 0)
        if status != 0:
            log.write("F %d\n" % status)
    log.write("E\n")
"""


# Beside the writer a reader keeps opening the file and verifying it whole:
# whatever the writer is doing, or however it died, a reader sees one commit.
READER = r"""
import os, sys
from libvog import OpenMode, Vog

path, stop_path = sys.argv[1], sys.argv[2]
checks = 0
while not os.path.exists(stop_path):
    vog = Vog.open(path, OpenMode.READ)
    lines = vog.verify()
    if lines:
        sys.exit("a reader found: " + lines[0])
    vog.list("")
    vog.close()
    checks += 1
print(checks)
"""


def apply(model, effects):
    """The tree after one logged commit point, its effects joined by ";";
    `model` maps paths to None (a directory) or the stream's "sha256 length"."""
    for effect in effects.split(";"):
        model = apply_one(model, effect)
    return model


def apply_one(model, effect):
    model = dict(model)
    kind, *args = effect.split(" ")
    moved = lambda a, b, p: b + p[len(a):] if p == a or p.startswith(a + "/") else p
    if kind == "mkdir":
        model[args[0]] = None
    elif kind == "create":
        model[args[0]] = hashlib.sha256(b"").hexdigest() + " 0"
    elif kind == "set":
        model[args[0]] = args[1] + " " + args[2]
    elif kind in ("del", "rmdir"):
        del model[args[0]]
    elif kind in ("mv", "mvdir"):
        model = {moved(args[0], args[1], p): v for p, v in model.items()}
    return model


def tree_of(vog, d="", out=None):
    out = {} if out is None else out
    for e in vog.list(d):
        p = d + "/" + e.name if d else e.name
        if e.entry_type == EntryType.DIRECTORY:
            out[p] = None
            tree_of(vog, p, out)
        elif p not in SCRATCH:
            h = vog.open_stream(p, OpenMode.READ)
            data = vog.read(h, vog.stream_length(h))
            vog.close_stream(h)
            out[p] = "%s %d" % (hashlib.sha256(data).hexdigest(), len(data))
    return out


def run_kills(directory, kills, seed=1):
    """Kills the writer `kills` times; returns the counts of what was found."""
    rng = random.Random(seed)
    path = os.path.join(directory, "crash.vog")
    log_path = os.path.join(directory, "ops.log")
    vog = Vog.create(path, block_size_shift=9, compressed_block_size_shift=12)
    for name in SCRATCH:
        vog.close_stream(vog.create_stream(name))
    vog.close()
    model = {}
    counts = dict(kills=0, mid_operation=0, mid_call=0, damaged=0, lost_or_changed=0,
                  verify_lines=0)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    stop_path = os.path.join(directory, "stop")
    reader = subprocess.Popen([sys.executable, "-c", READER, path, stop_path], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    for run in range(kills):
        open(log_path, "w").close()
        child = subprocess.Popen([sys.executable, "-c", CHILD, path, log_path, str(run + seed * 1000)],
                                 env=env, stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0.05, 0.6))
        child.send_signal(signal.SIGKILL)
        _, err = child.communicate()
        assert child.returncode == -signal.SIGKILL, err.decode(errors="replace")
        counts["kills"] += 1

        pending, in_operation = None, False
        with open(log_path) as log:
            for line in log.read().splitlines():
                if line in ("B", "E"):
                    in_operation = line == "B"
                elif line.startswith("I "):
                    pending = line[2:]
                elif line == "D":
                    model, pending = apply(model, pending), None
                else:
                    assert not line.startswith("F "), "a forked child failed: " + line
        counts["mid_operation"] += in_operation
        counts["mid_call"] += pending is not None
        try:
            vog = Vog.open(path, OpenMode.WRITE)
        except Exception:
            counts["damaged"] += 1
            raise
        try:
            lines = vog.verify()
            counts["verify_lines"] += len(lines)
            found = tree_of(vog)
        finally:
            vog.close()
        if found != model:
            if pending is not None and found == apply(model, pending):
                model = found
            else:
                counts["lost_or_changed"] += sum(
                    1 for p in set(model) | set(found) if model.get(p, 0) != found.get(p, 0))
    open(stop_path, "w").close()
    out, err = reader.communicate(timeout=60)
    assert reader.returncode == 0, err.decode(errors="replace")
    counts["reader_checks"] = int(out)
    return counts


def test_killed_writer_leaves_the_last_commit(tmp_path):
    kills = int(os.environ.get("VOG_CRASH_KILLS", "30"))
    counts = run_kills(str(tmp_path), kills)
    print(counts)
    assert counts["reader_checks"] > 0
    assert counts == dict(kills=kills, mid_operation=counts["mid_operation"],
                          mid_call=counts["mid_call"], damaged=0, lost_or_changed=0, verify_lines=0,
                          reader_checks=counts["reader_checks"])
