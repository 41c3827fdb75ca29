"""Vog quick start: a tree of directories and streams inside one file.

Run with the package installed (pip install .) or from a build:
PYTHONPATH=build/vog_python python3 examples/quickstart.py
"""

import csv
import os
import shutil
import sys
import tempfile

import vog


def main(workdir: str) -> None:
    path = os.path.join(workdir, "quickstart.vog")

    # "x" creates a new file ("w" replaces one, "a" opens or creates, "r" reads).
    with vog.open(path, "x") as fs:
        fs.makedirs("docs/drafts")
        with fs.open("docs/notes.txt", "w", encoding="utf-8") as notes:  # a text file object
            notes.write("Vog keeps a whole tree inside one file.\n")
        with fs.open("docs/drafts/log.txt", "w", compressed=True) as log:
            for day in range(1, 2001):
                print(f"day {day}: all well", file=log)
        fs.mkdir("tables")
        with fs.open("tables/sizes.csv", "w", newline="") as table:  # csv works on it as on a file
            writer = csv.writer(table)
            writer.writerow(["name", "bytes"])
            for top, _, files in fs.walk():
                for name in files:
                    stream = f"{top}/{name}" if top else name
                    writer.writerow([stream, fs.stat(stream).st_size])
        fs.write_bytes("scratch.bin", bytes(200_000))
        fs.remove("scratch.bin")  # leaves free blocks behind for optimize
        print(f"created {path}:")
        for top, dirs, files in fs.walk():
            depth = top.count("/") + 1 if top else 0
            print("  " * depth + (top.rsplit("/", 1)[-1] + "/" if top else "/"))
            for name in files:
                info = fs.stat(f"{top}/{name}" if top else name)
                packed = ", compressed" if info.compressed else ""
                print("  " * (depth + 1) + f"{name}  ({info.st_size} bytes{packed})")

    # Reopen for reading: binary file objects seek as files do.
    with vog.open(path) as fs:
        with fs.open("docs/drafts/log.txt", "rb") as log:
            log.seek(-40, os.SEEK_END)
            print("last line of the log:", log.read().decode().splitlines()[-1])
        with fs.open("tables/sizes.csv", "r", newline="") as table:
            print("table:", [row for row in csv.reader(table)][1:])
        with fs.open("docs/notes.txt", "rb") as source, open(os.path.join(workdir, "notes.txt"), "wb") as copy:
            shutil.copyfileobj(source, copy)
        print("verify:", fs.verify() or "no problems")

    before = os.path.getsize(path)
    reclaimed = vog.optimize(path)
    print(f"optimize reclaimed {reclaimed} bytes ({before} -> {os.path.getsize(path)})")

    # A second, encrypted file. Failures are built-in exceptions, and vog.VogError.
    secret_path = os.path.join(workdir, "secret.vog")
    with vog.open(secret_path, "x", password="correct horse") as fs:
        fs.write_text("diary", "nobody reads this without the password", encoding="utf-8")
    try:
        vog.open(secret_path, password="wrong")
    except PermissionError as error:
        print("with a wrong password:", error)
    with vog.open(secret_path, password="correct horse") as fs:
        print("encrypted:", fs.is_encrypted, "-", fs.read_text("diary", encoding="utf-8"))
        try:
            fs.open("missing.txt")
        except FileNotFoundError as error:
            print("a missing stream:", error)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(tmp)
