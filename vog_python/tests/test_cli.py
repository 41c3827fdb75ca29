"""The vog command end to end, in a subprocess as a user runs it."""
import os
import subprocess
import sys


def run(*args, password=None, cwd=None):
    env = dict(os.environ)
    env.pop("VOG_PASSWORD", None)
    if password is not None:
        env["VOG_PASSWORD"] = password
    return subprocess.run(
        [sys.executable, "-m", "vog", *args],
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        timeout=120,
    )


def ok(*args, **kwargs):
    done = run(*args, **kwargs)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return done.stdout


def fails(*args, **kwargs):
    done = run(*args, **kwargs)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("vog: ")
    return done.stderr


def test_cli_round_trip_on_an_encrypted_file(tmp_path):
    (tmp_path / "src" / "sub").mkdir(parents=True)
    (tmp_path / "src" / "a.txt").write_text("alpha\n")
    (tmp_path / "src" / "sub" / "b.bin").write_bytes(bytes(range(256)) * 40)
    (tmp_path / "pw").write_text("secret\n")
    data = str(tmp_path / "data.vog")

    ok("put", "-r", "--compress", data, str(tmp_path / "src"), "in", password="secret", cwd=tmp_path)
    assert ok("ls", data, password="secret") == "in/\n"
    listing = ok("--password-file", str(tmp_path / "pw"), "ls", "-l", "-R", data)
    assert "c        10240 b.bin" in listing and "in/sub:" in listing
    assert ok("cat", data, "in/a.txt", "in/a.txt", password="secret") == "alpha\nalpha\n"
    ok("mkdir", "-p", data, "x/y", password="secret")
    ok("mv", data, "in/a.txt", "x", password="secret")
    assert ok("tree", data, "x", password="secret").splitlines() == ["x", "├── a.txt", "└── y/"]
    (tmp_path / "out").mkdir()
    ok("get", "-r", data, "in", "x/a.txt", str(tmp_path / "out"), password="secret")
    assert (tmp_path / "out" / "in" / "sub" / "b.bin").read_bytes() == bytes(range(256)) * 40
    assert (tmp_path / "out" / "a.txt").read_text() == "alpha\n"
    info = ok("info", data, password="secret")
    assert "encrypted:         yes" in info and "streams:           2 (2 compressed)" in info
    ok("rm", "-r", data, "in", password="secret")
    ok("rm", data, "x/a.txt", password="secret")
    assert ok("verify", data, password="secret") == ""
    assert ok("salvage", data, str(tmp_path / "copy.vog"), password="secret") == ""
    assert ok("optimize", data, password="secret").startswith("reclaimed ")
    assert ok("ls", "-R", data, password="secret").split() == ["/:", "x/", "x:", "y/", "x/y:"]

    assert "encrypted" in fails("ls", data)  # no password and no terminal to ask on
    assert "wrong password" in fails("ls", data, password="nope")
    assert "not found: x/missing" in fails("cat", data, "x/missing", password="secret")
    assert "no such Vog file" in fails("ls", str(tmp_path / "absent.vog"))


def test_verify_reports_findings_with_exit_status_1(tmp_path):
    data = tmp_path / "broken.vog"
    ok("put", str(data), __file__, "t.py")
    size = data.stat().st_size
    with open(data, "r+b") as file:  # cut into the last stream's blocks
        file.truncate(size - 4096)
    done = run("verify", str(data))
    assert done.returncode == 1 and done.stdout.startswith("L") and done.stderr == ""
    counted = run("verify", "--max-lines", "0", str(data))
    assert counted.returncode == 1 and counted.stdout.startswith("verify: 1 more problems not listed")
    assert "--max-lines: must be a whole number" in run("verify", "--max-lines", "-1", str(data)).stderr
    done = run("salvage", str(data), str(tmp_path / "saved.vog"))
    assert done.returncode == 1 and done.stdout.startswith("truncated t.py (saved ") and done.stderr == ""
    assert ok("ls", str(tmp_path / "saved.vog")) == "t.py\n"
    assert "already exists" in fails("salvage", str(data), str(tmp_path / "saved.vog"))
