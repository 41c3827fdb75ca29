"""The raw module libvog: one Vog file through integer stream handles.

Most programs want the vog package (examples/quickstart.py); libvog is the
fixed, minimal surface underneath. Run with PYTHONPATH=build/vog_python.
"""

import os
import sys
import tempfile

from libvog import EntryType, OpenMode, Vog, VogError


def main(workdir: str) -> None:
    path = os.path.join(workdir, "raw.vog")
    vog = Vog.create(path)
    vog.mkdir("docs")
    handle = vog.create_stream("docs/notes.txt", compressed=True)  # open for writing
    vog.write(handle, b"handles carry a position, like file descriptors\n")
    vog.seek(handle, 8)
    print(vog.read(handle, 100), vog.tell(handle), vog.stream_length(handle))
    vog.close_stream(handle)
    print([(e.name, e.entry_type == EntryType.DIRECTORY) for e in vog.list()])
    vog.close()

    vog = Vog.open(path, OpenMode.READ)
    try:
        vog.open_stream("docs/missing", OpenMode.READ)
    except VogError as error:
        print("one exception class, the kind in the message:", error)
    print("verify:", vog.verify() or "no problems")
    vog.close()
    print("optimize reclaimed", Vog.optimize(path), "bytes")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(tmp)
