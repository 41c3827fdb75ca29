"""Vog quick start: a tree of directories and streams inside one file.

Run with the built module on the path, e.g. PYTHONPATH=build/vog_python.
"""
import os
import sys
import tempfile

from libvog import EntryType, OpenMode, Vog, VogError


def show_tree(vog, path="", indent="  "):
    for entry in vog.list(path):
        child = f"{path}/{entry.name}" if path else entry.name
        if entry.entry_type is EntryType.DIRECTORY:
            print(f"{indent}{entry.name}/")
            show_tree(vog, child, indent + "  ")
        else:
            handle = vog.open_stream(child, OpenMode.READ)
            size, packed = vog.stream_length(handle), vog.is_stream_compressed(handle)
            vog.close_stream(handle)
            print(f"{indent}{entry.name}  ({size} bytes{', compressed' if packed else ''})")


def main(workdir):
    path = os.path.join(workdir, "quickstart.vog")

    # Create a file with directories, a plain and a compressed stream.
    vog = Vog.create(path)
    vog.mkdir("docs")
    vog.mkdir("docs/drafts")
    notes = vog.create_stream("docs/notes.txt")
    vog.write(notes, b"Vog keeps a whole tree inside one file.\n")
    vog.close_stream(notes)
    log = vog.create_stream("docs/drafts/log.txt", compressed=True)
    for day in range(1, 2001):
        vog.write(log, f"day {day}: all well\n".encode())
    vog.close_stream(log)
    scratch = vog.create_stream("scratch.bin")
    vog.write(scratch, bytes(200_000))
    vog.close_stream(scratch)
    vog.delete_stream("scratch.bin")  # leaves free blocks behind for optimize
    print(f"created {path}:")
    show_tree(vog)
    vog.close()

    # Reopen read-only, read back, and check the file.
    vog = Vog.open(path, OpenMode.READ)
    log = vog.open_stream("docs/drafts/log.txt", OpenMode.READ)
    vog.seek(log, vog.stream_length(log) - 40)
    print("last line of the log:", vog.read(log, 40).decode().splitlines()[-1])
    vog.close_stream(log)
    print("verify:", vog.verify() or "no problems")
    vog.close()

    before = os.path.getsize(path)
    reclaimed = Vog.optimize(path)
    print(f"optimize reclaimed {reclaimed} bytes ({before} -> {os.path.getsize(path)})")

    # A second, encrypted file.
    secret_path = os.path.join(workdir, "secret.vog")
    vog = Vog.create(secret_path, password=b"correct horse")
    handle = vog.create_stream("diary")
    vog.write(handle, b"nobody reads this without the password")
    vog.close_stream(handle)
    vog.close()
    try:
        Vog.open(secret_path, OpenMode.READ, password=b"wrong")
    except VogError as error:
        print("with a wrong password:", error)
    vog = Vog.open(secret_path, OpenMode.READ, password=b"correct horse")
    handle = vog.open_stream("diary", OpenMode.READ)
    print("encrypted:", vog.is_encrypted(), "-", vog.read(handle, 100).decode())
    vog.close_stream(handle)
    print("verify:", vog.verify() or "no problems")
    vog.close()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(tmp)
