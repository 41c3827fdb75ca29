"""Names read from a Vog file: which can be a path component, how to join one to
its directory's path, and how to show any of them.

A directory of a damaged or hand-edited file can hold names that no path can
reach ("", ".", "..", names with "/" or NUL), which no local file system can
hold either. Names come from the engine decoded as UTF-8 with surrogateescape,
so a byte that is not UTF-8 arrives as a lone surrogate U+DC80 to U+DCFF.
"""

from __future__ import annotations


def join(parent: str, name: str) -> str:
    """The path of ``name`` in the directory at ``parent`` ("" the root)."""
    return f"{parent}/{name}" if parent else name


def vog_unusable(name: str) -> str | None:
    """Why no Vog path can name ``name`` (as a component), or None when one can."""
    if name in ("", ".", ".."):
        return "cannot be a path component"
    if "/" in name:
        return "holds /"
    if "\0" in name:
        return "holds NUL"
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "is not UTF-8"
    return None


# ---- showing names: GNU ls's shell-escape quoting


# Characters a shell treats specially anywhere in a word; a name holding one is quoted.
_SHELL_SPECIAL = frozenset(" !\"#$&'()*;<>?[\\]^`{|}~")
_C_ESCAPES = {"\a": "\\a", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\v": "\\v", "\f": "\\f", "\r": "\\r"}


def _is_shown_as_is(char: str) -> bool:
    """A character that prints as itself: not a control, format, separator or
    unassigned character, and no byte that was not UTF-8."""
    return char == " " or char.isprintable()


def _char_bytes(char: str) -> bytes:
    try:
        return char.encode("utf-8", "surrogateescape")  # a byte that was not UTF-8: that byte
    except UnicodeEncodeError:
        return char.encode("utf-8", "surrogatepass")  # any other lone surrogate


def _escaped(char: str, quoted: bool = True, slash: bool = False) -> str:
    """``char`` inside $'...' (``quoted``) or an escaped line: C escapes, else octal bytes."""
    if char in _C_ESCAPES:
        return _C_ESCAPES[char]
    if char == "\\" or (quoted and char == "'"):
        return "\\" + char
    if slash and char == "/":
        return "\\057"
    if _is_shown_as_is(char):
        return char
    return "".join(f"\\{byte:03o}" for byte in _char_bytes(char))


def quote(text: str, component: bool = True) -> str:
    """``text`` as GNU ls shows a name on a terminal (shell-escape quoting): as it is
    when nothing in it is special, in '...' when a shell would split or expand it,
    in $'...' when it holds a control character or a byte that is not UTF-8.
    The result is one line of printable text, and a shell reads it back as ``text``.

    With ``component``, ``text`` is one name: one that cannot be a path component
    ("", ".", "..", or holding "/" or NUL) always shows in $'...', its "/" as \\057.
    """
    bad_component = component and vog_unusable(text) is not None
    if bad_component and text == "":
        return "''"
    if bad_component or not all(_is_shown_as_is(char) for char in text):
        return "$'" + "".join(_escaped(char, slash=component) for char in text) + "'"
    if not text or any(char in _SHELL_SPECIAL for char in text):
        if "'" not in text:
            return f"'{text}'"
        if not any(char in '"$`\\!' for char in text):
            return f'"{text}"'
        return "$'" + "".join(_escaped(char) for char in text) + "'"
    return text


def escape_line(text: str, backslashes: bool = True) -> str:
    """Free text that may hold stored names as one printable line: control
    characters and bytes that are not UTF-8 as C escapes or octal bytes, and
    (with ``backslashes``, for text that quotes nothing itself) backslashes
    doubled, so that the line reads back as the text."""
    return "".join(
        "\\" if char == "\\" and not backslashes else _escaped(char, quoted=False) for char in text
    )
