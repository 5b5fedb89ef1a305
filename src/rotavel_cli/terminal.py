"""Text bound for a terminal: control and format characters shown as escapes.

A name or reason can hold an escape sequence (a title change, a cleared
screen) or a bidirectional override that reorders what follows it on the
line. A terminal would obey them, so whatever the command shows there has
them spelt out instead, as `ls` does with odd file names.
"""

from __future__ import annotations

import re
import unicodedata

# Cc: C0 and C1 controls (ESC, CSI, BEL, ...); Cf: format characters
# (bidirectional overrides and isolates, zero-width characters); Cs: lone
# surrogates, which come from undecodable bytes and cannot be written at all.
_HIDDEN = frozenset({"Cc", "Cf", "Cs"})

# Printable ASCII never needs a look-up; only the rest is checked one by one.
_CANDIDATES = re.compile(r"[^ -~]")
_CANDIDATES_BUT_LINE_FEED = re.compile(r"[^ -~\n]")


def escape_controls(text: str, keep_line_feeds: bool = False) -> str:
    r"""`text` with every control and format character written as its
    escape (ESC as \x1b, U+202E as \u202e). With `keep_line_feeds`, line
    feeds stay as they are, for a text of several lines."""
    pattern = _CANDIDATES_BUT_LINE_FEED if keep_line_feeds else _CANDIDATES
    return pattern.sub(_escaped, text)


def _escaped(match: re.Match[str]) -> str:
    char = match.group()
    return ascii(char)[1:-1] if unicodedata.category(char) in _HIDDEN else char


def width(text: str) -> int:
    """Columns `text` takes in a terminal: wide East Asian characters take
    two, combining marks none."""
    return sum(
        0
        if unicodedata.combining(char)
        else 2
        if unicodedata.east_asian_width(char) in ("W", "F")
        else 1
        for char in text
    )


def pad(text: str, columns: int, right: bool = False) -> str:
    fill = " " * (columns - width(text))
    return fill + text if right else text + fill
