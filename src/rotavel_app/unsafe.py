"""Text that must not reach a terminal or a page as it is: one definition
for both.

A name or reason can hold what a terminal or a browser would obey instead of
showing: a control (C0, C1 or DEL: an escape sequence retitles or clears a
terminal, a bell rings), a lone surrogate (from bytes that were not UTF-8,
which cannot be written at all), or a format character: bidirectional marks,
embeddings, overrides and isolates reorder what follows them on the line,
and zero-width, tag and other invisible characters hide a difference between
two names. Such a character is shown as its escape, as `ls` does with odd
file names. Two format characters stay as they are: the zero-width joiner
and non-joiner are part of how names are spelt in Indic scripts and in
Persian, and move or hide nothing.
"""

from __future__ import annotations

import re
import unicodedata

_UNSAFE_CATEGORIES = frozenset({"Cc", "Cf", "Cs"})
_SPELLING = frozenset({"\u200c", "\u200d"})  # zero-width non-joiner and joiner

# Printable ASCII is never unsafe, and ASCII text needs no look-up at all.
_NOT_PRINTABLE_ASCII = re.compile(r"[^ -~]")
_NOT_PRINTABLE_ASCII_OR_LINE_FEED = re.compile(r"[^ -~\n]")


def unsafe(char: str) -> bool:
    """Whether one character must be shown as its escape."""
    return unicodedata.category(char) in _UNSAFE_CATEGORIES and char not in _SPELLING


def escaped(text: str, keep_line_feeds: bool = False) -> str:
    r"""`text` with every unsafe character written as its escape (ESC as
    \x1b, U+202E as \u202e). With `keep_line_feeds`, line feeds stay, for a
    text of several lines."""
    pattern = _NOT_PRINTABLE_ASCII_OR_LINE_FEED if keep_line_feeds else _NOT_PRINTABLE_ASCII
    return pattern.sub(_escape, text)


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    return ascii(char)[1:-1] if unsafe(char) else char
