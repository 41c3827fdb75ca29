"""The vog command: ls, tree, cat, put, get, rm, mkdir, mv, info, verify, optimize,
salvage.

The Vog file is the first argument after the command (``vog ls data.vog logs``).
A password comes from --password-file, VOG_PASSWORD or a prompt, never from the
command line itself; VOG_PASSWORD is used only for a file that is encrypted (or
that the command creates). Failures print one line each on stderr and exit
with status 1.

Names are printed as GNU ls prints them on a terminal (shell-escape quoting:
$'a\\nb' for a name holding a newline), one line per entry; --json prints
them exactly, as JSON strings (a byte that is not UTF-8 as a lone surrogate
U+DC80 to U+DCFF, as Python's surrogateescape reads it).
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import json
import os
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar

from . import _engine, _fs
from ._errors import CopyError, ErrorKind, VogError, describe
from ._fs import VogDirEntry, VogFS
from ._names import escape_line, join, quote, vog_unusable
from ._salvage import SalvageLoss, SalvageLossKind
from ._salvage import salvage as _salvage_file
from ._tree import copy as copy_stream
from ._tree import loop_error, walk_entries

EXIT_FAILURE = 1
T = TypeVar("T")
_READING = ("ls", "tree", "cat", "get", "info", "verify")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vog", description="Work with the tree inside a Vog file.")
    parser.add_argument(
        "--password-file",
        metavar="FILE",
        help="read the password from the first line of FILE (else $VOG_PASSWORD, else a prompt)",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("vog_file", metavar="FILE", help="the Vog file")
        return sub

    def json_option(sub: argparse.ArgumentParser, what: str) -> None:
        sub.add_argument("--json", action="store_true", help=f"{what}, names exactly")

    ls = command("ls", "list a directory")
    ls.add_argument("-l", dest="long", action="store_true", help="sizes and types")
    ls.add_argument("-R", dest="recursive", action="store_true", help="list subdirectories too")
    json_option(ls, "one JSON object a line (dir, name, type; with -l size, compressed)")
    ls.add_argument("path", nargs="?", default="")
    tree = command("tree", "show the tree below a directory")
    json_option(tree, "the tree as one JSON object")
    tree.add_argument("path", nargs="?", default="")
    command("cat", "write streams to stdout").add_argument("paths", nargs="+", metavar="PATH")
    put = command("put", "copy local files in (creating the Vog file if needed)")
    put.add_argument("-r", dest="recursive", action="store_true", help="copy directories")
    put.add_argument("--compress", action="store_true", help="store new streams compressed")
    put.add_argument("sources", nargs="+", metavar="LOCAL")
    put.add_argument("dest", metavar="DEST")
    get = command("get", "copy streams out into a local directory")
    get.add_argument("-r", dest="recursive", action="store_true", help="copy directories")
    get.add_argument("paths", nargs="+", metavar="PATH")
    get.add_argument("local_dir", metavar="LOCALDIR")
    rm = command("rm", "remove streams")
    rm.add_argument("-r", dest="recursive", action="store_true", help="remove directories too")
    rm.add_argument("paths", nargs="+", metavar="PATH")
    mkdir = command("mkdir", "make directories")
    mkdir.add_argument("-p", dest="parents", action="store_true", help="make parents, accept existing")
    mkdir.add_argument("paths", nargs="+", metavar="PATH")
    mv = command("mv", "rename a stream or a directory")
    mv.add_argument("source")
    mv.add_argument("dest")
    json_option(command("info", "geometry, encryption and contents"), "as one JSON object")
    verify = command("verify", "check the file; findings on stdout, exit status 1 when there are any")
    verify.add_argument("--max-lines", type=_line_count, metavar="N", help="list at most N findings")
    json_option(verify, "each finding as a JSON string, one a line")
    command("optimize", "rewrite the file without its free blocks")
    salvage = command(
        "salvage",
        "copy what can still be read of a damaged file into a new one; "
        "losses on stdout, exit status 1 when there are any",
    )
    salvage.add_argument("dest", metavar="DEST", help="the new Vog file (must not exist)")
    json_option(salvage, "one JSON object a line (path, kind, saved_bytes, reason)")
    return parser


def _line_count(text: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise argparse.ArgumentTypeError(f"must be a whole number, 0 or more, not {text!r}")
    return int(text)


# ---- passwords


def _password_file(args: argparse.Namespace) -> bytes | None:
    if not args.password_file:
        return None
    with open(args.password_file, "rb") as file:
        return file.readline().rstrip(b"\r\n")


def _prompt(path: str) -> bytes:
    if not sys.stdin.isatty():
        raise PermissionError(
            f"{path} is encrypted: give its password with --password-file or VOG_PASSWORD"
        )
    return getpass.getpass(f"Password for {path}: ").encode()


def _with_password(args: argparse.Namespace, call: Callable[[bytes | None], T], create: bool = False) -> T:
    """Runs ``call`` with the password the file needs, asking for one only when it turns out to need it.

    A password file is used as given (for a file that is not encrypted it is a
    mistake the engine reports); VOG_PASSWORD only for an encrypted file, or for
    one that ``call`` creates."""
    exists = os.path.exists(args.vog_file)
    if not create and not exists:
        raise FileNotFoundError(f"no such Vog file: {args.vog_file}")
    given = _password_file(args)
    if given is not None:
        return call(given)
    ambient = os.environ.get("VOG_PASSWORD")
    if ambient is not None and not exists:
        return call(ambient.encode())
    try:
        return call(None)
    except VogError as error:
        if error.kind is not ErrorKind.ENCRYPTION_REQUIRED:
            raise
    return call(ambient.encode() if ambient is not None else _prompt(args.vog_file))


def _open(args: argparse.Namespace, mode: str, create: bool = False) -> VogFS:
    return _with_password(args, lambda password: _fs.open_vog(args.vog_file, mode, password=password), create)


# ---- progress


class _Progress:
    """A byte counter shown by tqdm while stderr is a terminal, and nothing otherwise."""

    def __init__(self, description: str, total: int | None) -> None:
        self._bar: Any = None
        if sys.stderr.isatty():
            from tqdm import tqdm  # type: ignore[import]  # no types

            self._bar = tqdm(total=total, desc=description, unit="B", unit_scale=True, leave=False)

    def __call__(self, count: int) -> None:
        if self._bar is not None:
            self._bar.update(count)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


@contextlib.contextmanager
def _progress(description: str, total: int | None = None) -> Iterator[_Progress]:
    bar = _Progress(description, total)
    try:
        yield bar
    finally:
        bar.close()


@contextlib.contextmanager
def _busy(description: str) -> Iterator[None]:
    """Elapsed time for a long call that reports no progress of its own."""
    with _progress(description) as bar:
        if bar._bar is None:
            yield
            return
        done = threading.Event()

        def tick() -> None:
            while not done.wait(0.25):
                bar._bar.refresh()

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            yield
        finally:
            done.set()
            ticker.join()


def _local_size(paths: Sequence[str]) -> int:
    """About the bytes a put copies, for its progress bar: what cannot be seen counts 0."""
    total = 0
    for path in paths:
        with contextlib.suppress(OSError):
            if not os.path.isdir(path):
                total += os.path.getsize(path)
                continue
            for top, _, files in os.walk(path):
                for name in files:
                    with contextlib.suppress(OSError):
                        total += os.path.getsize(os.path.join(top, name))
    return total


def _vog_size(fs: VogFS, paths: Sequence[str]) -> int:
    """About the bytes a get copies, for its progress bar: what cannot be seen counts 0."""
    total = 0
    for path in paths:
        with contextlib.suppress(OSError, ValueError):
            if not fs.isdir(path):
                total += fs.stat(path).st_size
                continue
            for top, _, files in fs.walk(path, onerror=lambda error: None):
                for name in files:
                    with contextlib.suppress(OSError, ValueError):
                        total += fs.stat(join(top, name)).st_size
    return total


# ---- output


class _Status:
    """Problems met on the way: each printed on stderr at once, exit status 1 at the end."""

    def __init__(self, command: str) -> None:
        self.command = command
        self.code = 0

    def report(self, line: str) -> None:
        sys.stdout.flush()
        print(f"vog: {self.command}: {line}", file=sys.stderr)
        self.code = EXIT_FAILURE

    def error(self, error: BaseException) -> None:
        self.report(_message(error))

    def copy_failures(self, error: CopyError) -> None:
        for source, _, why in error.errors:
            if isinstance(why, VogError) and isinstance(why, OSError) and why.filename is not None:
                self.report(_message(why))  # names its own path: a name or a cycle of the file
            elif isinstance(why, VogError) or not isinstance(why, OSError) or not why.strerror:
                self.report(f"{quote(source, False)}: {_message(why)}")
            else:  # the local side: the local path that failed
                where = os.fsdecode(why.filename) if why.filename is not None else source
                self.report(f"{quote(where, False)}: {escape_line(why.strerror)}")


def _json_line(value: object) -> None:
    print(json.dumps(value))  # ASCII: every name is exact, and nothing reaches the terminal raw


def _shown(entry: VogDirEntry) -> str:
    return quote(entry.name) + ("/" if entry.is_dir() else "")


# ---- commands


def _ls(fs: VogFS, args: argparse.Namespace) -> int:
    status = _Status("ls")
    path = _fs.normpath(args.path)

    def row(where: str, name: str, is_dir: bool, shown: str) -> None:
        info = None
        if args.long and not is_dir:
            why = vog_unusable(name)
            if why is None:
                info = fs.stat(join(where, name))
            else:  # no path reaches it: no size to show
                status.report(f"{quote(name)} in {quote(where or '/', False)}: {why}, size unknown")
        if args.json:
            item: dict[str, object] = {"dir": where, "name": name, "type": "directory" if is_dir else "stream"}
            if args.long:
                known = info is not None or is_dir
                item.update(size=info.st_size if info else 0 if known else None,
                            compressed=bool(info and info.compressed))
            _json_line(item)
        elif args.long:
            flags = "d" if is_dir else ("c" if info and info.compressed else "-")
            size = str(info.st_size) if info else "0" if is_dir else "?"
            print(f"{flags} {size:>12} {shown}")
        else:
            print(shown)

    if fs.isfile(path):  # as ls: a stream lists as itself
        parent, _, leaf = path.rpartition("/")
        row(parent, leaf, False, quote(args.path, False))
        return 0
    listings: Iterator[tuple[str, list[VogDirEntry], list[VogDirEntry]]]
    if not args.recursive:
        listings = iter([(path, list(fs.scandir(path)), [])])
    else:
        listings = walk_entries(fs, path, True, _raise_listing, lambda where, error: status.error(error))
    for index, (where, entries, _) in enumerate(listings):
        if args.recursive and not args.json:
            print(f"{'' if index == 0 else chr(10)}{quote(where or '/', False)}:")
        for entry in entries:
            why = vog_unusable(entry.name)
            if entry.is_dir() and args.recursive and why is not None:
                status.report(f"{quote(entry.name)} in {quote(where or '/', False)}: {why}, not listed")
            row(where, entry.name, entry.is_dir(), _shown(entry))
    return status.code


def _raise_listing(path: str, error: OSError) -> None:
    raise error  # a directory that cannot be listed: not found, or a damaged directory stream


def _tree(fs: VogFS, args: argparse.Namespace) -> int:
    status = _Status("tree")
    top = _fs.normpath(args.path)
    root: dict[str, Any] = {"name": top, "type": "directory", "contents": []}
    seen = {fs.stat(top).st_ino: top}
    # Each directory on the current path: its entries, how many are shown, the
    # indent of their lines and the JSON list they go into. No recursion.
    stack: list[tuple[list[VogDirEntry], list[int], str, list[Any]]] = [
        (list(fs.scandir(top)), [0], "", root["contents"])
    ]
    if not args.json:
        print(quote(top or "/", False))
    while stack:
        entries, done, indent, contents = stack[-1]
        if done[0] == len(entries):
            stack.pop()
            continue
        entry = entries[done[0]]
        done[0] += 1
        last = done[0] == len(entries)
        node: dict[str, Any] = {"name": entry.name, "type": "directory" if entry.is_dir() else "stream"}
        contents.append(node)
        if not args.json:
            print(f"{indent}{'└── ' if last else '├── '}{_shown(entry)}")
        if not entry.is_dir():
            continue
        inside = _tree_inside(fs, entry, seen)
        if isinstance(inside, str):
            node["error"] = inside
            status.report(inside)
            continue
        node["contents"] = []
        stack.append((inside, [0], indent + ("    " if last else "│   "), node["contents"]))
    if args.json:
        _json_line(root)
    return status.code


def _tree_inside(fs: VogFS, entry: VogDirEntry, seen: dict[int, str]) -> str | list[VogDirEntry]:
    """The entries of a directory ``tree`` goes into, or why it does not (a name no
    path reaches, a directory met before)."""
    why = vog_unusable(entry.name)
    if why is not None:
        return f"{quote(entry.name)} in {quote(entry._parent or '/', False)}: {why}, not listed"
    identity = fs.stat(entry.path).st_ino
    first = seen.setdefault(identity, entry.path)
    if first != entry.path:
        return loop_error(entry.path, first).message
    return list(fs.scandir(entry.path))


def _cat(fs: VogFS, args: argparse.Namespace) -> int:
    out = sys.stdout.buffer
    for path in args.paths:
        with fs.open(path, "rb", buffering=0) as stream:
            copy_stream(stream, out, None)
    out.flush()
    return 0


def _put(fs: VogFS, args: argparse.Namespace) -> int:
    status = _Status("put")
    if len(args.sources) > 1 and not fs.isdir(args.dest):
        fs.makedirs(args.dest, exist_ok=True)
    with _progress("put", _local_size(args.sources)) as bar:
        for source in args.sources:
            _copy_reporting(status, lambda: fs.put(source, args.dest, args.recursive, args.compress, bar))
    return status.code


def _get(fs: VogFS, args: argparse.Namespace) -> int:
    status = _Status("get")
    if not os.path.isdir(args.local_dir):
        raise NotADirectoryError(f"not a local directory: {args.local_dir}")
    with _progress("get", _vog_size(fs, args.paths)) as bar:
        for path in args.paths:
            _copy_reporting(status, lambda: fs.get(path, args.local_dir, recursive=args.recursive, progress=bar))
    return status.code


def _copy_reporting(status: _Status, copy: Callable[[], None]) -> None:
    """Runs one copy of put or get; what failed is reported, and the command goes on."""
    try:
        copy()
    except CopyError as error:
        status.copy_failures(error)
    except (OSError, ValueError) as error:
        status.error(error)


def _rm(fs: VogFS, args: argparse.Namespace) -> int:
    for path in args.paths:
        if args.recursive and fs.isdir(path):
            fs.rmtree(path)
        else:
            fs.remove(path)
    return 0


def _mkdir(fs: VogFS, args: argparse.Namespace) -> int:
    for path in args.paths:
        fs.mkdir(path, parents=args.parents, exist_ok=args.parents)
    return 0


def _mv(fs: VogFS, args: argparse.Namespace) -> int:
    dest = args.dest
    if fs.isdir(dest):  # as mv: into an existing directory
        dest = join(_fs.normpath(dest), _fs.normpath(args.source).rsplit("/", 1)[-1])
    fs.rename(args.source, dest)
    return 0


def _info(fs: VogFS, args: argparse.Namespace) -> int:
    status = _Status("info")
    block_shift, compressed_shift = fs.geometry
    streams = directories = stored = reserved = compressed = 0
    for top, dirs, files in fs.walk(onerror=status.error):  # a damaged file: counts what it can
        directories += len(dirs)
        for name in files:
            info = fs.stat(join(top, name))
            streams += 1
            stored += info.st_size
            reserved += info.reserved
            compressed += info.compressed
    size = os.path.getsize(fs.path)
    facts = {
        "file": fs.path,
        "file_size": size,
        "block_size_shift": block_shift,
        "compressed_block_size_shift": compressed_shift,
        "encrypted": fs.is_encrypted,
        "directories": directories,
        "streams": streams,
        "compressed_streams": compressed,
        "bytes_stored": stored,
        "bytes_reserved": reserved,
        "blocks_in_file": size >> block_shift,
    }
    if args.json:
        _json_line(facts)
        return status.code
    print(f"file:              {quote(fs.path, False)}")
    print(f"file size:         {size} bytes")
    print(f"block size:        {1 << block_shift} bytes (shift {block_shift})")
    print(f"compressed blocks: {1 << compressed_shift} bytes (shift {compressed_shift})")
    print(f"encrypted:         {'yes' if fs.is_encrypted else 'no'}")
    print(f"directories:       {directories} (besides the root)")
    print(f"streams:           {streams} ({compressed} compressed)")
    print(f"bytes stored:      {stored}")
    print(f"bytes reserved:    {reserved}")
    print(f"blocks in file:    {size >> block_shift}")
    return status.code


def _verify(fs: VogFS, args: argparse.Namespace) -> int:
    with _busy("verify"):
        findings = fs.verify(args.max_lines)
    for line in findings:  # a finding may quote a stored name: one line each, escaped
        if args.json:
            _json_line(line)
        else:
            print(escape_line(line))
    return EXIT_FAILURE if findings else 0


def _optimize(args: argparse.Namespace) -> int:
    def optimize(password: bytes | None) -> int:
        with _busy("optimize"):
            return _engine.Vog.optimize(os.fsdecode(args.vog_file), password)

    print(f"reclaimed {_with_password(args, optimize)} bytes")
    return 0


def _salvage(args: argparse.Namespace) -> int:
    def salvage(password: bytes | None) -> list[SalvageLoss]:
        with _busy("salvage"):
            return _salvage_file(args.vog_file, args.dest, password)

    losses = _with_password(args, salvage)
    for loss in losses:
        if args.json:
            kind = loss.kind.name.lower()
            _json_line({"path": loss.path, "kind": kind, "saved_bytes": loss.saved_bytes, "reason": loss.reason})
            continue
        what = f"{loss.kind.name.lower()} {quote(loss.path or '/', False)}"
        if loss.kind is SalvageLossKind.TRUNCATED:
            what += f" (saved {loss.saved_bytes} bytes)"
        print(f"{what}: {escape_line(loss.reason)}")
    return EXIT_FAILURE if losses else 0


_COMMANDS: dict[str, Callable[[VogFS, argparse.Namespace], int]] = {
    "ls": _ls,
    "tree": _tree,
    "cat": _cat,
    "put": _put,
    "get": _get,
    "rm": _rm,
    "mkdir": _mkdir,
    "mv": _mv,
    "info": _info,
    "verify": _verify,
}


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "optimize":
            return _optimize(args)
        if args.command == "salvage":
            return _salvage(args)
        mode = "r" if args.command in _READING else "a"
        with _open(args, mode, create=args.command == "put") as fs:
            return _COMMANDS[args.command](fs, args)
    except KeyboardInterrupt:
        print("vog: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        sys.stderr.close()  # the reader went away: nothing left to report
        return EXIT_FAILURE
    except (OSError, ValueError) as error:
        print(f"vog: {args.command}: {_message(error)}", file=sys.stderr)
        return EXIT_FAILURE


def _message(error: BaseException) -> str:
    """An error as one printable line; names it quotes itself stay as quoted."""
    return escape_line(describe(error), backslashes=False)
