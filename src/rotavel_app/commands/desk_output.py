"""What a desk command says (its output and its notes) and the few pieces its
text is written with: dates as people write them, a cell safe for the
terminal, CSV safe for a spreadsheet, the fair shares' window in words.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import io
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from rotavel_app.desk.desk import Desk
from rotavel_app.language import _, date_text, ngettext
from rotavel_app.pages.formats import spreadsheet_safe
from rotavel_app.pages.terminal import escape_controls
from rotavel_app.school.settings import Settings


@dataclass
class Said:
    """What a command has to say: its output, and notes for standard error."""

    text: str
    notes: list[str] = field(default_factory=list)


def when(date: datetime.date) -> str:
    """A date as people write it: "Tuesday 10 March 2026"."""
    return date_text(date)


# How a desk command is run: with its options and the open record.
Command = Callable[[argparse.Namespace, Desk], Said]


def cell(text: str) -> str:
    return escape_controls(text)


def csv_text(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    writer.writerows([spreadsheet_safe(cell) for cell in row] for row in rows)
    return out.getvalue()


def window_words(settings: Settings) -> str:
    """The window for fair shares in words: "the last 20 school days"."""
    if settings.window == "week":
        return _("the calendar week")
    if settings.window == "cycle":
        return ngettext(
            "the last %(count)s school day", "the last %(count)s school days", settings.cycle_days
        ) % {"count": settings.cycle_days}
    return _("the term (from %(start)s)") % {"start": settings.term_start}


def span_words(first: datetime.date, last: datetime.date) -> str:
    """A day, or a range of days, as people write them."""
    if first == last:
        return when(first)
    return _("%(first)s to %(last)s") % {"first": when(first), "last": when(last)}
