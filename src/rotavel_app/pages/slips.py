"""Cover slips: one for every substitute, to hand out or send in the morning.

Each slip names the substitute, the school and the day, and for every cover
the period, its clock time and the room when the school gives them, the
class(es), the subject, whose lesson it is, and why that teacher is away
when the school shows reasons. Printed (A4 or Letter, upright), slips go
one below the other in dashed boxes to cut along, as many to a page as fit
and never split across pages; the school's `slips_per_page` puts at most
that many on a page (1 for a page each). On a phone the page starts with
the substitutes' names, each a link to that person's slip. The work an
absent teacher set for a lesson goes in a column of its own.
"""

from __future__ import annotations

from collections.abc import Container, Mapping
from dataclasses import dataclass
from typing import Any

from rotavel_app.language import _, ngettext
from rotavel_app.pages.webpage import render_page
from rotavel_app.pages.wording import by_substitute, day_label
from rotavel_app.planning.plan import AbsentLesson, Plan
from rotavel_app.school.day import SchoolDay

_COLUMNS = ("Period", "Time", "Class", "Room", "Subject", "Whose lesson", "Reason", "Work")


def _headings() -> dict[str, str]:
    """The columns' headings in the language in use."""
    return {
        "Period": _("Period"),
        "Time": _("Time"),
        "Class": _("Class"),
        "Room": _("Room"),
        "Subject": _("Subject"),
        "Whose lesson": _("Whose lesson"),
        "Reason": _("Reason"),
        "Work": _("Work"),
    }


@dataclass(frozen=True)
class Slip:
    name: str
    count: str
    columns: tuple[str, ...]
    rows: tuple[tuple[tuple[str, str], ...], ...]  # (column, text) of each cover
    headings: dict[str, str]  # each column's heading as shown
    cancelled: tuple[str, ...] = ()  # covers taken away, in words (the e-mail's)
    link: str = ""  # the substitute's personal page (the e-mail's)


def render_slips(plan: Plan) -> str:
    return render_page("slips.html", **slips_context(plan))


def slips_context(
    plan: Plan,
    work: Mapping[tuple[str, int], str] | None = None,
    only: Container[tuple[str, int]] | None = None,
) -> dict[str, Any]:
    """What slips.html shows of a plan; the web desk's slips page shows the same.
    `work` is the set work of each lesson (teacher, period); with `only`, the
    slips show those lessons alone (the changes since the first printing)."""
    day = plan.day
    when = day_label(day) or ""
    work = work or {}
    chosen = [
        (name, kept)
        for name, covers in by_substitute(plan)
        if (
            kept := [
                c for c in covers if only is None or (c.lesson.teacher, c.lesson.period) in only
            ]
        )
    ]
    return dict(
        kind="slips",
        title=(
            _("Cover slips: %(school)s, %(day)s") % {"school": day.name, "day": when}
            if when
            else _("Cover slips: %(school)s") % {"school": day.name}
        ),
        refresh=0,
        school=day.name,
        when=when,
        per_page=day.settings.slips_per_page,
        slips=[_slip(name, covers, day, work) for name, covers in chosen],
    )


def _slip(
    name: str,
    covers: list[AbsentLesson],
    day: SchoolDay,
    work: Mapping[tuple[str, int], str] | None = None,
) -> Slip:
    work = work or {}
    # Time and Room only when some cover has one; reasons only when the school shows them.
    shown = {
        "Time": any(day.period_time(c.lesson.period) for c in covers),
        "Room": any(c.lesson.room for c in covers),
        "Reason": day.settings.show_reasons,
        "Work": any(work.get((c.lesson.teacher, c.lesson.period)) for c in covers),
    }
    columns = tuple(c for c in _COLUMNS if shown.get(c, True))
    rows = []
    for cover in covers:
        lesson = cover.lesson
        cells = {
            "Period": str(lesson.period),
            "Time": day.period_time(lesson.period),
            "Class": lesson.class_label,
            "Room": lesson.room,
            "Subject": cover.subject,
            "Whose lesson": lesson.teacher,
            "Reason": cover.reason,
            "Work": work.get((lesson.teacher, lesson.period), ""),
        }
        rows.append(tuple((column, cells[column]) for column in columns))
    count = ngettext("%(n)s cover", "%(n)s covers", len(covers)) % {"n": len(covers)}
    return Slip(name, count, columns, tuple(rows), _headings())
