"""Text bound for a terminal: control and format characters shown as escapes.

A name or reason can hold an escape sequence (a title change, a cleared
screen) or a bidirectional override that reorders what follows it on the
line. A terminal would obey them, so whatever the command shows there has
them spelt out instead, as `ls` does with odd file names.
"""

from __future__ import annotations

import unicodedata

from rotavel_app.unsafe import escaped


def escape_controls(text: str, keep_line_feeds: bool = False) -> str:
    r"""`text` with every control and format character written as its
    escape (ESC as \x1b, U+202E as \u202e), as `unsafe` defines them for
    pages too. With `keep_line_feeds`, line feeds stay as they are, for a
    text of several lines."""
    return escaped(text, keep_line_feeds)


# Drawn on the character before them, as terminals do (wcwidth): nonspacing and
# enclosing marks, and the format characters left unescaped (the joiners).
_NO_COLUMN = frozenset({"Mn", "Me", "Cf"})


def width(text: str) -> int:
    """Columns `text` takes in a terminal: wide East Asian characters take
    two, marks drawn on the character before them (the vowel signs and
    viramas of Indic scripts, combining accents) and the joiners none."""
    if text.isascii():
        return len(text)
    return sum(
        0
        if unicodedata.category(char) in _NO_COLUMN
        else 2
        if unicodedata.east_asian_width(char) in ("W", "F")
        else 1
        for char in text
    )


def pad(text: str, columns: int, right: bool = False) -> str:
    fill = " " * (columns - width(text))
    return fill + text if right else text + fill
