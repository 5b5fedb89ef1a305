"""Reading back the text that `School.generate_substitutions()` returns.

The text is a CSV table, a blank line, one quoted line holding every
"Couldnt find a substitution ..." line, and a quoted timing line. The two
quoted lines use backslash escapes (\\\\ \\" \\n \\r \\t \\0 and \\u{hex}).
"""

from __future__ import annotations

import csv
import io
import re
from dataclasses import dataclass

HEADER = ["Teacher", "Period", "Subject", "Substitution", "Classroom", "Reason"]
TIMING_PREFIX = "Time taken to generate subs: "

_SIMPLE_ESCAPES = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t", "0": "\0"}
_CODE_POINT = re.compile(r"\{([0-9a-fA-F]{1,6})\}")
_UNRESOLVED = re.compile(
    r'Couldnt find a substitution for (?P<teacher>.*?) at (?P<period>-?[0-9]+)-'
    r'(?P<class>"(?:[^"\\]|\\.)*")\n',
    re.DOTALL,
)


class ReportError(Exception):
    """The module's text does not have the expected layout."""


@dataclass(frozen=True)
class Cover:
    teacher: str  # the absent teacher
    period: int
    subject: str  # the absent teacher's subject
    substitute: str
    class_name: str
    reason: str


@dataclass(frozen=True)
class Uncovered:
    teacher: str
    period: int
    class_name: str


@dataclass(frozen=True)
class Report:
    text: str  # as the module returned it
    table: str  # the CSV part: header and rows, each ending in a line feed
    covers: tuple[Cover, ...]
    uncovered: tuple[Uncovered, ...]
    timing: str  # e.g. "Time taken to generate subs: 41.7µs"

    @property
    def duration(self) -> str:
        return self.timing.removeprefix(TIMING_PREFIX)


def unquote(quoted: str) -> str:
    """The text inside a double-quoted, backslash-escaped string."""
    if len(quoted) < 2 or quoted[0] != '"' or quoted[-1] != '"':
        raise ReportError(f"expected a quoted line, got {quoted!r}")
    out = []
    i, end = 1, len(quoted) - 1
    while i < end:
        char = quoted[i]
        if char == '"':
            raise ReportError(f"unescaped double quote in {quoted!r}")
        if char != "\\":
            out.append(char)
            i += 1
            continue
        code = quoted[i + 1] if i + 1 < end else ""
        if code in _SIMPLE_ESCAPES:
            out.append(_SIMPLE_ESCAPES[code])
            i += 2
        elif code == "u" and (match := _CODE_POINT.match(quoted, i + 2, end)):
            try:
                out.append(chr(int(match.group(1), 16)))
            except ValueError:
                raise ReportError(f"bad escape {match.group(0)!r} in {quoted!r}") from None
            i = match.end()
        else:
            raise ReportError(f"bad escape at position {i} of {quoted!r}")
    return "".join(out)


def parse_report(text: str) -> Report:
    parts = text.rsplit("\n", 2)
    if len(parts) != 3 or not parts[0].endswith("\n"):
        raise ReportError("expected a table, a blank line, and two quoted lines")
    table, unresolved, timing = parts[0], unquote(parts[1]), unquote(parts[2])
    if not timing.startswith(TIMING_PREFIX):
        raise ReportError(f"unexpected timing line {timing!r}")
    return Report(text, table, _parse_table(table), _parse_unresolved(unresolved), timing)


def _parse_table(table: str) -> tuple[Cover, ...]:
    rows = list(csv.reader(io.StringIO(table, newline=""), strict=True))
    if not rows or rows[0] != HEADER:
        raise ReportError(f"unexpected table header {rows[:1]!r}")
    covers = []
    for row in rows[1:]:
        if len(row) != len(HEADER) or not re.fullmatch(r"-?[0-9]+", row[1]):
            raise ReportError(f"unexpected table row {row!r}")
        teacher, period, subject, substitute, class_name, reason = row
        covers.append(Cover(teacher, int(period), subject, substitute, class_name, reason))
    return tuple(covers)


def _parse_unresolved(text: str) -> tuple[Uncovered, ...]:
    found = []
    position = 0
    while position < len(text):
        match = _UNRESOLVED.match(text, position)
        if match is None:
            raise ReportError(f"unexpected unresolved line {text[position:]!r}")
        found.append(
            Uncovered(match["teacher"], int(match["period"]), unquote(match["class"]))
        )
        position = match.end()
    return tuple(found)
