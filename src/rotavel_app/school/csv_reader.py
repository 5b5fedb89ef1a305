"""CSV files as spreadsheet programs export them.

A header row names the columns, in any order and case; fields are separated
by commas, semicolons or tabs; a field may be quoted over several lines.
Every text is brought to NFC as it is read, so `Zoë` matches whether its ë
is one code point or two.
"""

from __future__ import annotations

import csv
import io
import itertools
import os
import unicodedata
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from rotavel_app.files import MAX_INPUT_BYTES
from rotavel_app.language import _
from rotavel_app.messages import InputError, at_line

if TYPE_CHECKING:
    from rotavel_app.files import StrPath

_SEPARATORS = (",", ";", "\t")
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


@dataclass
class Table:
    """A CSV file's header and rows: `rows` yields (line number, the row's
    fields stripped of blanks), one entry per column of the header, for rows
    that are not blank. `index` says where each known column is."""

    index: dict[str, int]  # a known column that the header has -> its place in a row
    rows: Iterator[tuple[int, list[str]]]

    def get(self, row: list[str], column: str) -> str:
        """A column's field, "" for a column the file does not have."""
        place = self.index.get(column)
        return "" if place is None else row[place]


# A text is handed to the CSV reader in pieces of about this many characters,
# cut after a line feed: the reader then walks each piece in C, and no copy
# of the whole text (four bytes a character in a StringIO) is ever made.
_PIECE = 1 << 20


def _pieces(text: str) -> Iterator[Iterable[str]]:
    start, end_of_text = 0, len(text)
    while start < end_of_text:
        end = text.find("\n", start + _PIECE) + 1 or end_of_text
        if end - start > 2 * _PIECE:
            # A line longer than a piece (a field of megabytes) goes to the
            # reader as it is, not as four bytes a character.
            line = text.rfind("\n", start, start + _PIECE) + 1 or start
            if line > start:
                yield io.StringIO(text[start:line], newline="")
            if text.find("\r", line, end) < 0:
                yield (text[line:end],)
            else:
                yield io.StringIO(text[line:end], newline="")
        else:
            # newline="": lines end at \n, \r\n or a lone \r, and stay as written.
            yield io.StringIO(text[start:end], newline="")
        start = end


def read_table(path: StrPath, text: str, columns: Columns, ignored: list[str]) -> Table:
    """The header of a CSV text, checked, and its rows in NFC. A field missing
    from a short row reads as empty. Unknown columns are added to `ignored`."""
    if not text.isascii() and not unicodedata.is_normalized("NFC", text):
        # At once for the whole text: no separator, quote or line break composes
        # with what follows it, so this is the same as each field in NFC.
        text = unicodedata.normalize("NFC", text)
    separator = _separator(text, columns)
    reader = csv.reader(
        itertools.chain.from_iterable(_pieces(text)), delimiter=separator, strict=True
    )
    before = 0  # the line on which the last record read ended
    try:
        header: list[str] = []
        for fields in reader:
            line, before = before + 1, reader.line_num
            header = [field.strip().lower() for field in fields]
            if any(header):
                break
        else:
            raise InputError(
                _("%(where)s: the file is empty; the header should be: %(columns)s")
                % {"where": at_line(path, 1), "columns": ", ".join(columns.known)}
            )
    except csv.Error as error:
        raise InputError(_bad_csv(path, before + 1, error)) from None
    unknown = _check_header(at_line(path, line), header, columns)
    missing = [column for column in columns.optional if column not in header]
    if unknown:
        import difflib  # only a file with columns it does not know pays for it

    for column in unknown:
        close = difflib.get_close_matches(column[:200], missing, n=1)
        hint = _(", did you mean %(column)s?") % {"column": repr(close[0])} if close else ""
        ignored.append(f"{column!r} ({os.path.basename(path)}{hint})")
    index = {column: header.index(column) for column in columns.known if column in header}
    return Table(
        index, _rows(path, reader, before, len(header), [i for i, c in enumerate(header) if not c])
    )


def _rows(
    path: StrPath, reader: Iterator[list[str]], before: int, width: int, unnamed: list[int]
) -> Iterator[tuple[int, list[str]]]:
    line = before + 1
    try:
        for fields in reader:
            line, before = before + 1, reader.line_num  # type: ignore[attr-defined]
            row = [field.strip() for field in fields]
            if len(row) != width:
                if len(row) > width:
                    raise InputError(
                        _(
                            "%(where)s: %(count)s fields, but the header names %(width)s "
                            "(put a field that contains a comma in double quotes)"
                        )
                        % {"where": at_line(path, line), "count": len(row), "width": width}
                    )
                row += [""] * (width - len(row))
            if not any(row):  # a blank line, or only separators
                continue
            # A value under a column with no name is most often a comma that
            # should have been quoted.
            if unnamed and any(row[i] for i in unnamed):
                raise InputError(
                    _(
                        "%(where)s: a value under a column with no name "
                        "(put a field that contains a comma in double quotes)"
                    )
                    % {"where": at_line(path, line)}
                )
            yield line, row
    except csv.Error as error:
        raise InputError(_bad_csv(path, before + 1, error)) from None


def _bad_csv(path: StrPath, line: int, error: csv.Error) -> str:
    return _("%(where)s: bad CSV: %(error)s") % {
        "where": at_line(path, line),
        "error": _csv_reason(str(error)),
    }


def _csv_reason(text: str) -> str:
    """The csv module's reason in the language in use, for the two a spreadsheet's
    file meets: a double quote never closed, and one closed before the field ends."""
    if text == "unexpected end of data":
        return _("unexpected end of data")
    import re  # only a file that is not CSV pays for it

    closed = re.fullmatch(r"('.') expected after '\"'", text, re.DOTALL)
    if closed:
        return _("%(separator)s expected after '\"'") % {"separator": closed[1]}
    return text


def _check_header(where: str, header: list[str], columns: Columns) -> list[str]:
    """The header's unknown columns; an error for a column named twice or a
    required one missing."""
    expected = ", ".join(columns.known)
    unknown = []
    for index, column in enumerate(header):
        if not column:  # e.g. a trailing comma after the last name
            continue
        if column in header[:index]:
            raise InputError(
                _("%(where)s: column %(column)s appears twice in the header")
                % {"where": where, "column": repr(column)}
            )
        if column not in columns.known:
            unknown.append(column)
    for column in columns.required:
        if column not in header:
            import difflib

            close = difflib.get_close_matches(column, [u[:200] for u in unknown], n=1)
            hint = (
                _(" (is %(column)s a misspelling?)") % {"column": repr(close[0])} if close else ""
            )
            raise InputError(
                _("%(where)s: missing column %(column)s%(hint)s; the columns are: %(columns)s")
                % {"where": where, "column": repr(column), "hint": hint, "columns": expected}
            )
    return unknown


def _separator(text: str, columns: Columns) -> str:
    """Comma, semicolon or tab: the one that splits the header into the most
    column names the file should have (a comma when none does better)."""
    # Only the header matters; a few lines are enough to find it past blank ones.
    end = -1
    for _line in range(64):
        end = text.find("\n", end + 1)
        if end < 0:
            break
    head = text if end < 0 else text[:end]

    def score(separator: str) -> int:
        try:
            for fields in csv.reader(io.StringIO(head, newline=""), delimiter=separator):
                if any(field.strip() for field in fields):
                    return len({f.strip().lower() for f in fields} & set(columns.known))
        except csv.Error:
            pass
        return 0

    return max(_SEPARATORS, key=score)
