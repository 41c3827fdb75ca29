"""The vog command end to end, in a subprocess as a user runs it."""
import json
import os
import subprocess
import sys

import pytest

import vog


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


@pytest.mark.parametrize("attack", ["absolute name", "names . and ..", "directory link", "file link"])
def test_get_of_a_hostile_file_writes_nothing_outside_dest(hostile_vog, tmp_path, attack):
    outside, dest = tmp_path / "outside", tmp_path / "dest"
    outside.mkdir()
    dest.mkdir()
    absolute = str(outside / "abs")
    entries = [("", "kept", b"kept"), ("", "sub", None), ("sub", "deep", b"deep")] + {
        "absolute name": [("", absolute, b"by an absolute name")],
        "names . and ..": [("", "..", b"dots"), ("", ".", None), ("", "..", None), ("..", "evil", b"evil"),
                           ("sub", "../../evil", b"evil")],
        "directory link": [("", "linked", None), ("linked", "f", b"through a link")],
        "file link": [("", "file_link", b"through a link")],
    }[attack]
    data = hostile_vog(entries)
    with vog.open(data, "a") as fs:  # what an absolute name reaches, through os.path.join
        fs.makedirs(absolute.lstrip("/").rsplit("/", 1)[0])
        fs.write_bytes(absolute.lstrip("/"), b"by the real path")
    (dest / "linked").symlink_to(outside, target_is_directory=True)  # planted under DEST
    (dest / "file_link").symlink_to(outside / "planted")

    done = run("get", "-r", str(data), "/", str(dest))
    assert list(outside.iterdir()) == [] and not (tmp_path / "evil").exists()
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert (dest / "kept").read_bytes() == b"kept" and (dest / "sub" / "deep").read_bytes() == b"deep"
    assert (dest / absolute.lstrip("/")).read_bytes() == b"by the real path"
    assert sorted(done.stderr.splitlines()) == sorted({
        "absolute name": [f"vog: get: name $'{absolute.replace('/', chr(92) + '057')}' in / holds /: skipped"],
        "names . and ..": [
            "vog: get: name $'..' in / cannot be a path component: skipped",
            "vog: get: name $'.' in / cannot be a path component: skipped",
            "vog: get: name $'..' in / cannot be a path component: skipped",
            "vog: get: name $'..\\057..\\057evil' in sub holds /: skipped",
        ],
        "directory link": [f"vog: get: {dest / 'linked'}: a symbolic link is in the way (not followed)"],
        "file link": [f"vog: get: {dest / 'file_link'}: a symbolic link is in the way (not followed)"],
    }[attack])


@pytest.mark.parametrize(
    "args, output",
    [
        (["ls", "-R"], ["/:", "a/", "top.txt", "", "a:", "b/", "in_a.txt", "", "a/b:", "c/", "in_b.txt", "up/"]),
        (["tree"], ["/", "├── a/", "│   ├── b/", "│   │   ├── c/", "│   │   ├── in_b.txt",
                    "│   │   └── up/", "│   └── in_a.txt", "└── top.txt"]),
        (["info"], None),
        (["get", "-r"], None),
    ],
)
def test_a_directory_cycle_ends_every_walk_with_an_error(cyclic_vog, tmp_path, args, output):
    extra = ["/", str(tmp_path)] if args[0] == "get" else []
    done = run(*args, str(cyclic_vog), *extra)  # a timeout, or a RecursionError, before
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.splitlines() == [
        f"vog: {args[0]}: directory cycle: a/b/c is a, not gone into again",
        f"vog: {args[0]}: directory cycle: a/b/up is /, not gone into again",
    ]
    if output is not None:
        assert done.stdout.splitlines() == output
    if args[0] == "info":
        assert "directories:       4 (besides the root)" in done.stdout
    if args[0] == "get":
        assert (tmp_path / "a" / "b" / "in_b.txt").read_bytes() == b"in b"


ODD = "new\nline \x1b[31mred\x7f é"


@pytest.mark.parametrize(
    "name, shown",
    [
        ("plain-name_1.txt", "plain-name_1.txt"),
        ("é ü", "'é ü'"),
        ("it's", '"it\'s"'),
        ("it's $HOME", "$'it\\'s $HOME'"),
        ("a\nb", "$'a\\nb'"),
        ("\x1b]0;title\x07", "$'\\033]0;title\\a'"),
        ("bad\udcffbyte", "$'bad\\377byte'"),  # a byte that is not UTF-8, as the binding hands it over
        ("\u202eevil", "$'\\342\\200\\256evil'"),  # a format character: shown as its bytes
        ("a/b", "$'a\\057b'"),
        ("..", "$'..'"),
        ("", "''"),
        ("nul\0", "$'nul\\000'"),
    ],
)
def test_names_are_quoted_as_gnu_ls_quotes_them(name, shown):
    from vog._names import quote

    assert quote(name) == shown
    if "\0" not in name and "\udcff" not in name:  # what a shell reads back
        assert subprocess.run(["bash", "-c", f"printf %s {shown}"], capture_output=True).stdout == name.encode()


@pytest.mark.parametrize(
    "args, lines",
    [
        (["ls"], ["$'new\\nline \\033[31mred\\177 é'", "plain/", "'with space'"]),
        (["ls", "-l"], ["-            3 $'new\\nline \\033[31mred\\177 é'", "d            0 plain/",
                        "-            1 'with space'"]),
        (["ls", "-R"], ["/:", "$'new\\nline \\033[31mred\\177 é'", "plain/", "'with space'", "",
                        "plain:", "$'tab\\there'/", "", "$'plain/tab\\there':", "\"it's\""]),
        (["tree"], ["/", "├── $'new\\nline \\033[31mred\\177 é'", "├── plain/",
                    "│   └── $'tab\\there'/", "│       └── \"it's\"", "└── 'with space'"]),
    ],
)
def test_names_print_escaped_one_line_each(tmp_path, args, lines):
    data = tmp_path / "names.vog"
    with vog.open(data, "x") as fs:
        fs.write_bytes(ODD, b"odd")
        fs.write_bytes("with space", b"s")
        fs.makedirs("plain/tab\there")
        fs.write_bytes("plain/tab\there/it's", b"")
    assert ok(*args, str(data)).splitlines() == lines


def test_json_listings_give_names_exactly(hostile_vog, tmp_path):
    data = hostile_vog([("", ODD, b"odd"), ("", "..", b"x"), ("", "d", None), ("d", "a/b", b"yz")])
    assert [json.loads(line) for line in ok("ls", "--json", str(data)).splitlines()] == [
        {"dir": "", "name": "..", "type": "stream"},
        {"dir": "", "name": "d", "type": "directory"},
        {"dir": "", "name": ODD, "type": "stream"},
    ]
    done = run("ls", "-R", "-l", "--json", str(data))
    assert done.returncode == 1 and done.stderr.splitlines() == [
        "vog: ls: $'..' in /: cannot be a path component, size unknown",
        "vog: ls: $'a\\057b' in d: holds /, size unknown",
    ]
    assert [json.loads(line) for line in done.stdout.splitlines()][2:] == [
        {"dir": "", "name": ODD, "type": "stream", "size": 3, "compressed": False},
        {"dir": "d", "name": "a/b", "type": "stream", "size": None, "compressed": False},
    ]
    tree = json.loads(ok("tree", "--json", str(data), "d"))
    assert tree == {"name": "d", "type": "directory", "contents": [{"name": "a/b", "type": "stream"}]}
    done = run("info", "--json", str(data))  # counts what a path reaches, and says what it left out
    assert done.returncode == 1 and len(done.stderr.splitlines()) == 2
    assert json.loads(done.stdout)["streams"] == 1


def test_extraction_goes_on_past_names_the_disk_cannot_hold(hostile_vog, tmp_path):
    streams = [("", f"s{index:02}", bytes([index])) for index in range(12)]
    data = hostile_vog(streams + [("", "n" * 300, b"too long"), ("", "nul\0byte", b"nul")])
    (tmp_path / "out").mkdir()
    done = run("get", "-r", str(data), "/", str(tmp_path / "out"))  # stopped at the first before
    assert done.returncode == 1 and done.stdout == ""
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == [name for _, name, _ in streams]
    assert done.stderr.splitlines() == [
        f"vog: get: {tmp_path / 'out' / ('n' * 300)}: File name too long",
        "vog: get: name $'nul\\000byte' in / holds NUL: skipped",
    ]


def test_salvage_and_verify_lines_escape_names(tmp_path):
    data = tmp_path / "broken.vog"
    with vog.open(data, "x") as fs:
        fs.write_bytes("a\nb", os.urandom(20_000))
    with open(data, "r+b") as file:  # cut into the stream's blocks
        file.truncate(os.path.getsize(data) - 4096)
    done = run("salvage", str(data), str(tmp_path / "saved.vog"))
    assert done.returncode == 1 and done.stdout.startswith("truncated $'a\\nb' (saved ")
    assert done.stdout.count("\n") == 1
    done = run("salvage", "--json", str(data), str(tmp_path / "again.vog"))
    [loss] = [json.loads(line) for line in done.stdout.splitlines()]
    assert (loss["path"], loss["kind"]) == ("a\nb", "truncated")
    done = run("verify", "--json", str(data))
    assert done.returncode == 1 and all(isinstance(json.loads(line), str) for line in done.stdout.splitlines())


def test_vog_password_is_for_encrypted_files_only(tmp_path):
    plain, secret = tmp_path / "plain.vog", tmp_path / "secret.vog"
    ok("put", str(plain), __file__, "t.py")
    assert ok("ls", str(plain), password="set for other files") == "t.py\n"  # refused before
    ok("put", str(secret), __file__, "t.py", password="pw")  # a new file: encrypted with it
    assert ok("ls", str(secret), password="pw") == "t.py\n"
    assert "encrypted:         yes" in ok("info", str(secret), password="pw")
    assert "wrong password" in fails("ls", str(secret), password="nope")
    (tmp_path / "pw").write_text("pw\n")
    assert "not encrypted" in fails("--password-file", str(tmp_path / "pw"), "ls", str(plain))
