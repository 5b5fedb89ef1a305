"""CSV files as spreadsheet programs export them.

A header row names the columns, in any order and case; fields are separated
by commas, semicolons or tabs; a field may be quoted over several lines.
Every text is brought to NFC as it is read, so `Zoë` matches whether its ë
is one code point or two.
"""

from __future__ import annotations

import csv
import io
import unicodedata
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from rotavel_cli.files import MAX_INPUT_BYTES
from rotavel_cli.messages import InputError

_SEPARATORS = (",", ";", "\t")
_EXTRA = "\0extra"  # DictReader's key for fields beyond the header
# A field may be as long as the largest input (the csv module's default stops at 128 KiB).
csv.field_size_limit(MAX_INPUT_BYTES)


@dataclass(frozen=True)
class Columns:
    """The columns a file must have and those it may have."""

    required: tuple[str, ...]
    optional: tuple[str, ...] = ()

    @property
    def known(self) -> tuple[str, ...]:
        return (*self.required, *self.optional)


def nfc(text: str) -> str:
    return text if text.isascii() else unicodedata.normalize("NFC", text)


class _Lines:
    """The lines of a text for a CSV reader, remembering the line on which
    the current record began (a quoted field may span several lines)."""

    def __init__(self, text: str) -> None:
        self._lines = io.StringIO(text, newline="")
        self.number = 0
        self.start = 0

    def __iter__(self) -> _Lines:
        return self

    def __next__(self) -> str:
        line = next(self._lines)
        self.number += 1
        if not self.start and line.strip("\r\n"):
            self.start = self.number
        return line

    def take_start(self) -> int:
        """Where the record just read began; the next record starts afresh."""
        start, self.start = self.start or self.number, 0
        return start


def read_table(
    path: Path, text: str, columns: Columns, ignored: list[str]
) -> Iterator[tuple[int, dict[str, str]]]:
    """Rows of a CSV text with a header, as (line number, column -> stripped
    text in NFC) for the known columns; a column missing from a short row
    reads as empty. Unknown columns are added to `ignored`."""
    separator = _separator(text, columns)
    lines = _Lines(text)
    try:
        header: list[str] = []
        for fields in csv.reader(lines, delimiter=separator, strict=True):
            line = lines.take_start()
            header = [nfc(field).strip().lower() for field in fields]
            if any(header):
                break
        else:
            raise InputError(
                f"{path}, line 1: the file is empty; the header should be: "
                + ", ".join(columns.known)
            )
        unknown = _check_header(f"{path}, line {line}", header, columns)
        missing = [column for column in columns.optional if column not in header]
        import difflib  # only a file with columns it does not know pays for it

        for column in unknown:
            close = difflib.get_close_matches(column[:200], missing, n=1)
            hint = f", did you mean {close[0]!r}?" if close else ""
            ignored.append(f"{column!r} ({path.name}{hint})")
        # A column with no name gets a key of its own, so that a value under
        # it (most often a comma that should have been quoted) is noticed.
        keys = [column or f"\0{index}" for index, column in enumerate(header)]
        unnamed = [key for key in keys if key.startswith("\0")]
        used = [column for column in columns.known if column in header]
        reader = csv.DictReader(
            lines, keys, restkey=_EXTRA, restval="", delimiter=separator, strict=True
        )
        for row in reader:
            start = lines.take_start()
            if _EXTRA in row:
                count = len(keys) + len(row[_EXTRA])
                raise InputError(
                    f"{path}, line {start}: {count} fields, but the header names {len(keys)} "
                    "(put a field that contains a comma in double quotes)"
                )
            if unnamed and "".join(row[key] for key in unnamed).strip():
                raise InputError(
                    f"{path}, line {start}: a value under a column with no name "
                    "(put a field that contains a comma in double quotes)"
                )
            if "".join(row.values()).strip():  # else a blank line, or only separators
                yield start, {column: nfc(row[column].strip()) for column in used}
    except csv.Error as error:
        raise InputError(f"{path}, line {lines.start or lines.number}: bad CSV: {error}") from None


def _check_header(where: str, header: list[str], columns: Columns) -> list[str]:
    """The header's unknown columns; an error for a column named twice or a
    required one missing."""
    expected = ", ".join(columns.known)
    unknown = []
    for index, column in enumerate(header):
        if not column:  # e.g. a trailing comma after the last name
            continue
        if column in header[:index]:
            raise InputError(f"{where}: column {column!r} appears twice in the header")
        if column not in columns.known:
            unknown.append(column)
    for column in columns.required:
        if column not in header:
            import difflib

            close = difflib.get_close_matches(column, [u[:200] for u in unknown], n=1)
            hint = f" (is {close[0]!r} a misspelling?)" if close else ""
            raise InputError(
                f"{where}: missing column {column!r}{hint}; the columns are: {expected}"
            )
    return unknown


def _separator(text: str, columns: Columns) -> str:
    """Comma, semicolon or tab: the one that splits the header into the most
    column names the file should have (a comma when none does better)."""
    # Only the header matters; a few lines are enough to find it past blank ones.
    head = "\n".join(text.split("\n", 64)[:64])

    def score(separator: str) -> int:
        try:
            for fields in csv.reader(io.StringIO(head, newline=""), delimiter=separator):
                if any(field.strip() for field in fields):
                    return len({f.strip().lower() for f in fields} & set(columns.known))
        except csv.Error:
            pass
        return 0

    return max(_SEPARATORS, key=score)
