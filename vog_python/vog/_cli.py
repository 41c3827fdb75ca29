"""The vog command: ls, tree, cat, put, get, rm, mkdir, mv, info, verify, optimize,
salvage.

The Vog file is the first argument after the command (``vog ls data.vog logs``).
A password comes from --password-file, VOG_PASSWORD or a prompt, never from the
command line itself. Failures print one line on stderr and exit with status 1.
"""

from __future__ import annotations

import argparse
import contextlib
import getpass
import os
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar

from . import _engine, _fs
from ._errors import ErrorKind, VogError
from ._fs import VogFS
from ._salvage import SalvageLoss, SalvageLossKind
from ._salvage import salvage as _salvage_file

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

    ls = command("ls", "list a directory")
    ls.add_argument("-l", dest="long", action="store_true", help="sizes and types")
    ls.add_argument("-R", dest="recursive", action="store_true", help="list subdirectories too")
    ls.add_argument("path", nargs="?", default="")
    command("tree", "show the tree below a directory").add_argument("path", nargs="?", default="")
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
    command("info", "geometry, encryption and contents")
    verify = command("verify", "check the file; findings on stdout, exit status 1 when there are any")
    verify.add_argument("--max-lines", type=_line_count, metavar="N", help="list at most N findings")
    command("optimize", "rewrite the file without its free blocks")
    salvage = command(
        "salvage",
        "copy what can still be read of a damaged file into a new one; "
        "losses on stdout, exit status 1 when there are any",
    )
    salvage.add_argument("dest", metavar="DEST", help="the new Vog file (must not exist)")
    return parser


def _line_count(text: str) -> int:
    if not (text.isascii() and text.isdigit()):
        raise argparse.ArgumentTypeError(f"must be a whole number, 0 or more, not {text!r}")
    return int(text)


# ---- passwords


def _password_from(args: argparse.Namespace) -> bytes | None:
    """The password the user supplied without a prompt, if any."""
    if args.password_file:
        with open(args.password_file, "rb") as file:
            return file.readline().rstrip(b"\r\n")
    if "VOG_PASSWORD" in os.environ:
        return os.environ["VOG_PASSWORD"].encode()
    return None


def _prompt(path: str) -> bytes:
    if not sys.stdin.isatty():
        raise PermissionError(
            f"{path} is encrypted: give its password with --password-file or VOG_PASSWORD"
        )
    return getpass.getpass(f"Password for {path}: ").encode()


def _with_password(args: argparse.Namespace, call: Callable[[bytes | None], T], create: bool = False) -> T:
    """Runs ``call`` with the password given, asking for one only when the file turns out to need it."""
    if not create and not os.path.exists(args.vog_file):
        raise FileNotFoundError(f"no such Vog file: {args.vog_file}")
    password = _password_from(args)
    try:
        return call(password)
    except VogError as error:
        if error.kind is not ErrorKind.ENCRYPTION_REQUIRED or password is not None:
            raise
    return call(_prompt(args.vog_file))


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
    total = 0
    for path in paths:
        if os.path.isdir(path):
            for top, _, files in os.walk(path):
                total += sum(os.path.getsize(os.path.join(top, name)) for name in files)
        else:
            total += os.path.getsize(path)
    return total


def _vog_size(fs: VogFS, paths: Sequence[str]) -> int:
    total = 0
    for path in paths:
        if fs.isdir(path):
            total += sum(fs.stat(_fs.join(top, name)).st_size for top, _, files in fs.walk(path, onerror=_fs._raise) for name in files)
        else:
            total += fs.stat(path).st_size
    return total


# ---- commands


def _ls(fs: VogFS, args: argparse.Namespace) -> int:
    if fs.isfile(args.path):  # as ls: a stream lists as itself
        info = fs.stat(args.path)
        print(f"{'c' if info.compressed else '-'} {info.st_size:>12} {args.path}" if args.long else args.path)
        return 0
    tops = [top for top, _, _ in fs.walk(args.path, onerror=_fs._raise)] if args.recursive else [_fs.normpath(args.path)]
    for index, where in enumerate(tops):
        if args.recursive:
            print(f"{'' if index == 0 else chr(10)}{where or '/'}:")
        for entry in fs.scandir(where):
            if args.long:
                info = entry.stat()
                flags = "d" if entry.is_dir() else ("c" if info.compressed else "-")
                print(f"{flags} {info.st_size:>12} {entry.name}{'/' if entry.is_dir() else ''}")
            else:
                print(entry.name + ("/" if entry.is_dir() else ""))
    return 0


def _tree(fs: VogFS, args: argparse.Namespace) -> int:
    top = _fs.normpath(args.path)
    print(top or "/")

    def show(path: str, indent: str) -> None:
        entries = list(fs.scandir(path))
        for index, entry in enumerate(entries):
            last = index == len(entries) - 1
            print(f"{indent}{'└── ' if last else '├── '}{entry.name}{'/' if entry.is_dir() else ''}")
            if entry.is_dir():
                show(entry.path, indent + ("    " if last else "│   "))

    show(top, "")
    return 0


def _cat(fs: VogFS, args: argparse.Namespace) -> int:
    out = sys.stdout.buffer
    for path in args.paths:
        with fs.open(path, "rb", buffering=0) as stream:
            _fs._copy(stream, out, None)
    out.flush()
    return 0


def _put(fs: VogFS, args: argparse.Namespace) -> int:
    if len(args.sources) > 1 and not fs.isdir(args.dest):
        fs.makedirs(args.dest, exist_ok=True)
    with _progress("put", _local_size(args.sources)) as bar:
        for source in args.sources:
            fs.put(source, args.dest, recursive=args.recursive, compressed=args.compress, progress=bar)
    return 0


def _get(fs: VogFS, args: argparse.Namespace) -> int:
    if not os.path.isdir(args.local_dir):
        raise NotADirectoryError(f"not a local directory: {args.local_dir}")
    with _progress("get", _vog_size(fs, args.paths)) as bar:
        for path in args.paths:
            fs.get(path, args.local_dir, recursive=args.recursive, progress=bar)
    return 0


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
        dest = _fs.join(_fs.normpath(dest), _fs.normpath(args.source).rsplit("/", 1)[-1])
    fs.rename(args.source, dest)
    return 0


def _info(fs: VogFS, args: argparse.Namespace) -> int:
    block_shift, compressed_shift = fs.geometry
    streams = directories = stored = reserved = compressed = 0
    for top, dirs, files in fs.walk():
        directories += len(dirs)
        for name in files:
            info = fs.stat(_fs.join(top, name))
            streams += 1
            stored += info.st_size
            reserved += info.reserved
            compressed += info.compressed
    size = os.path.getsize(fs.path)
    print(f"file:              {fs.path}")
    print(f"file size:         {size} bytes")
    print(f"block size:        {1 << block_shift} bytes (shift {block_shift})")
    print(f"compressed blocks: {1 << compressed_shift} bytes (shift {compressed_shift})")
    print(f"encrypted:         {'yes' if fs.is_encrypted else 'no'}")
    print(f"directories:       {directories} (besides the root)")
    print(f"streams:           {streams} ({compressed} compressed)")
    print(f"bytes stored:      {stored}")
    print(f"bytes reserved:    {reserved}")
    print(f"blocks in file:    {size >> block_shift}")
    return 0


def _verify(fs: VogFS, args: argparse.Namespace) -> int:
    with _busy("verify"):
        findings = fs.verify(args.max_lines)
    for line in findings:
        print(line)
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
        what = f"{loss.kind.name.lower()} {loss.path or '/'}"
        if loss.kind is SalvageLossKind.TRUNCATED:
            what += f" (saved {loss.saved_bytes} bytes)"
        print(f"{what}: {loss.reason}")
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
        message = error.message if isinstance(error, VogError) else _describe(error)
        print(f"vog: {args.command}: {message}", file=sys.stderr)
        return EXIT_FAILURE


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror and error.filename:
        return f"{error.filename}: {error.strerror}"
    return str(error) or type(error).__name__
