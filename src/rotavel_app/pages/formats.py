"""The plan for people: a CSV table, a terminal table, an HTML cover board
and cover slips. Each lives in a module of its own; this one is where the
command finds them, and holds the CSV table."""

from __future__ import annotations

import csv
import io

from rotavel_app.pages.terminal_table import render_table
from rotavel_app.planning.plan import REPORT_HEADER, Plan

__all__ = [
    "CSV_EXTRA",
    "CSV_HEADER",
    "render_board",
    "render_csv",
    "render_slips",
    "render_table",
    "spreadsheet_safe",
]

CSV_HEADER = REPORT_HEADER  # the module's six columns, named as its report names them
# After the module's six columns: where the lesson is, and how it was settled
# when that is not by the plan ("taught by Ann", "no cover needed", "by hand").
CSV_EXTRA = ("Room", "Note")

# A spreadsheet runs a cell that starts with one of these as a formula
# (=HYPERLINK(...), =cmd|...); such a cell gets a leading apostrophe, which
# spreadsheets show as text and do not display.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


# The pages bring the template engine and their page model with them, which a run
# for the terminal or a spreadsheet never needs: they are imported when first asked for.


def render_board(plan: Plan) -> str:
    from rotavel_app.pages.board import render_board as board

    return board(plan)


def render_slips(plan: Plan) -> str:
    from rotavel_app.pages.slips import render_slips as slips

    return slips(plan)


def spreadsheet_safe(text: str) -> str:
    return "'" + text if text.startswith(_FORMULA_STARTS) else text


def render_csv(plan: Plan) -> str:
    """Every absent lesson in planning order; an uncovered one has an empty
    Substitution."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(CSV_HEADER + CSV_EXTRA)
    for item in plan.absent_lessons:
        lesson = item.lesson
        writer.writerow(
            (
                spreadsheet_safe(lesson.teacher),
                lesson.period,
                spreadsheet_safe(item.subject),
                spreadsheet_safe(item.substitute or ""),
                spreadsheet_safe(lesson.class_label),
                spreadsheet_safe(item.reason),
                spreadsheet_safe(lesson.room),
                spreadsheet_safe(item.note),
            )
        )
    return out.getvalue()
