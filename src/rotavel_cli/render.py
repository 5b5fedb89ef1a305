"""The plan for people: a CSV table, a terminal table, an HTML cover board
and cover slips. Each lives in a module of its own; this one is where the
command finds them, and holds the CSV table."""

from __future__ import annotations

import csv
import io

from rotavel_cli.board import render_board
from rotavel_cli.plan import Plan
from rotavel_cli.slips import render_slips
from rotavel_cli.table import render_table

__all__ = ["CSV_HEADER", "render_board", "render_csv", "render_slips", "render_table"]

CSV_HEADER = ("Teacher", "Period", "Subject", "Substitution", "Classroom", "Reason")


def render_csv(plan: Plan) -> str:
    """Every absent lesson in planning order; an uncovered one has an empty
    Substitution."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(CSV_HEADER)
    for item in plan.absent_lessons:
        lesson = item.lesson
        writer.writerow(
            (
                lesson.teacher,
                lesson.period,
                item.subject,
                item.substitute or "",
                lesson.class_label,
                item.reason,
            )
        )
    return out.getvalue()
