"""The cover board: for the staff-room screen and for paper.

On top, the day's covers and uncovered lessons by period, in type as large
as fits one 1920x1080 screen (layout.py works out the size and the columns,
each column starting with its period's heading); below it who is out, the
whole day class by class, and why lessons stayed uncovered, one note a
period. The screen shows no links and no timings, and reloads itself as
often as the school sets (`board_refresh`). Printed, on landscape pages in
black and white, the by-period view takes whole pages of four columns, and
words and border patterns say what colours say on the screen.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Container
from dataclasses import dataclass, replace
from typing import Any

from rotavel_app.language import _, ngettext
from rotavel_app.pages import layout
from rotavel_app.pages.webpage import class_pieces, render_page
from rotavel_app.pages.wording import (
    Explanation,
    Shortened,
    away_text,
    by_period,
    by_period_notes,
    class_key,
    colleagues_heading,
    day_label,
    explain,
    who_was_free,
)
from rotavel_app.planning.plan import AbsentLesson, Plan
from rotavel_app.school.day import Lesson, SchoolDay

# The whole-day grid has a cell for every class in every period. A timetable
# whose lessons fill fewer than one cell in GRID_FILL (a class a period, say)
# would make a page that grows with the square of the timetable, so its
# lessons are listed class by class instead; a grid of up to GRID_ANYWAY
# cells is drawn however empty.
GRID_FILL = 4
GRID_ANYWAY = 400


@dataclass(frozen=True)
class Entry:
    """An absent lesson in the by-period view."""

    kind: str  # "cover", "gap" (not covered) or "settled" (needs nobody)
    classes: str
    stacked: bool  # the class(es) above the names, being too long to go beside them
    who: str  # the substitute, "Not covered", or how it was settled
    detail: str
    note: int  # the note on why it is not covered; 0 for none
    changed: bool = False  # changed after the day's first publication


@dataclass(frozen=True)
class Part:
    """A period's entries within one column."""

    heading: str
    time: str
    continued: bool
    entries: tuple[Entry, ...]


@dataclass(frozen=True)
class View:
    size: int
    columns: int
    class_width: str
    sheets: tuple[tuple[tuple[Part, ...], ...], ...]  # four columns to a printed page


@dataclass(frozen=True)
class GridLesson:
    kind: str  # "lesson", "covered", "uncovered" or "settled"
    tag: str
    who: str
    detail: str


@dataclass(frozen=True)
class Cell:
    period: int
    marks: str
    lessons: tuple[GridLesson, ...]


@dataclass(frozen=True)
class Row:
    name: str
    cells: tuple[Cell, ...]


@dataclass(frozen=True)
class Grid:
    periods: tuple[int, ...]  # empty when listed class by class
    rows: tuple[Row, ...]
    class_col: str
    limit: str  # why the day is listed rather than drawn


@dataclass(frozen=True)
class SubjectPart:
    subject: str
    gaps: str
    colleagues_heading: str
    whereabouts: tuple[tuple[str, str], ...]
    more: int


@dataclass(frozen=True)
class Note:
    number: int
    period: int
    time: str
    subjects: tuple[SubjectPart, ...]
    free: str


@dataclass(frozen=True)
class OutToday:
    name: str
    subject: str
    when: str
    reason: str


def render_board(plan: Plan, changed: Container[tuple[str, int]] = ()) -> str:
    return render_page("board.html", **board_context(plan, changed))


def board_context(plan: Plan, changed: Container[tuple[str, int]] = ()) -> dict[str, Any]:
    """What board.html shows of a plan; the web desk's board shows the same.
    The lessons (teacher, period) in `changed` are marked as changed after the
    day's first publication."""
    day = plan.day
    show = day.settings.show_reasons
    notes = notes_of(day, explain(plan, reasons=show))
    note_of = {note.period: note.number for note in notes}
    when = day_label(day)
    if when:
        title = _("Cover board: %(school)s, %(day)s") % {"school": day.name, "day": when}
    else:
        title = _("Cover board: %(school)s") % {"school": day.name}
    summary = _("%(absent)s absent · %(covered)s covered · %(uncovered)s not covered") % {
        "absent": len(day.absent),
        "covered": len(plan.covers),
        "uncovered": len(plan.uncovered),
    }
    return dict(
        kind="board",
        title=title,
        refresh=day.settings.board_refresh,
        absent=len(day.absent),
        covered=len(plan.covers),
        uncovered=len(plan.uncovered),
        view=_view(plan, note_of, layout.header_height(title, summary), changed),
        out=_out_today(day),
        grid=_grid(plan, note_of),
        notes=notes,
    )


def _view(
    plan: Plan,
    note_of: dict[int, int],
    header: float,
    changed: Container[tuple[str, int]] = (),
) -> View | None:
    """The day's covers and uncovered lessons, by period, then class, cut
    into columns that each start with a period heading."""
    day = plan.day
    absent = by_period(plan.absent_lessons)
    if not absent:
        return None
    entries = [_entry(item, note_of) for item in absent]
    entries = [
        replace(entry, detail=_("Changed · %(detail)s") % {"detail": entry.detail}, changed=True)
        if (item.lesson.teacher, item.lesson.period) in changed
        else entry
        for item, entry in zip(absent, entries)
    ]
    headings = {
        p: _("Period %(period)s") % {"period": p}
        for p in dict.fromkeys(a.lesson.period for a in absent)
    }
    items = [
        layout.Item(
            period=item.lesson.period,
            heading=layout.Words.of(
                _("%(period)s, continued")
                % {
                    "period": f"{headings[item.lesson.period]} · {day.period_time(item.lesson.period)}"
                },
                True,
            ),
            label=layout.Words.joined(class_pieces(entry.classes), True),
            who=layout.Words.of(entry.who, True),
            # Printed, an uncovered lesson also says which note explains it.
            detail=layout.Words.of(
                entry.detail
                + (" · " + _("see note %(note)s") % {"note": entry.note} if entry.note else ""),
                False,
            ),
        )
        for item, entry in zip(absent, entries)
    ]
    arranged = layout.arrange(items, header)
    entries = [
        replace(entry, stacked=item.stacked(arranged.class_width))
        for entry, item in zip(entries, items)
    ]
    columns = []
    previous = None
    for chunk in arranged.chunks:
        parts: list[tuple[int, bool, list[Entry]]] = []  # period, continued, its entries
        for index in chunk:
            period = absent[index].lesson.period
            if parts and parts[-1][0] == period:
                parts[-1][2].append(entries[index])
            else:
                parts.append((period, period == previous, [entries[index]]))
            previous = period
        columns.append(
            tuple(
                Part(headings[period], day.period_time(period), continued, tuple(shown))
                for period, continued, shown in parts
            )
        )
    sheets = tuple(
        tuple(columns[start : start + layout.PRINT_COLUMNS])
        for start in range(0, len(columns), layout.PRINT_COLUMNS)
    )
    return View(arranged.size, arranged.columns, f"{arranged.class_width:.2f}em", sheets)


def _entry(item: AbsentLesson, note_of: dict[int, int]) -> Entry:
    lesson = item.lesson
    whose = " · ".join(part for part in (lesson.teacher, item.subject, lesson.room) if part)
    if item.substitute is not None:
        detail = _("for %(whose)s") % {"whose": whose}
        return Entry("cover", lesson.class_label, False, item.substitute, detail, 0)
    if not item.needs_cover:
        note = item.note
        return Entry("settled", lesson.class_label, False, note[:1].upper() + note[1:], whose, 0)
    return Entry("gap", lesson.class_label, False, _("Not covered"), whose, note_of[lesson.period])


def _out_today(day: SchoolDay) -> list[OutToday]:
    """Who is out, and when; after the covers, which say whose lesson each
    is. Reasons only where the school asks for them: the board is public."""
    show = day.settings.show_reasons
    return [
        OutToday(
            m.name,
            m.subject,
            away_text(m, day),
            m.reason if show and m.reason and m.in_school else "",
        )
        for m in day.staff.values()
        if not m.present or not m.in_school
    ]


def _grid(plan: Plan, note_of: dict[int, int]) -> Grid | None:
    """Every class by every period, with every lesson in it; listed class by
    class when the timetable is too sparse for a grid."""
    day = plan.day
    if not day.lessons:
        return None
    periods = day.periods
    classes = sorted(day.classes, key=class_key)
    absent = {(a.lesson.teacher, a.lesson.period): a for a in plan.absent_lessons}
    cells: defaultdict[tuple[str, int], list[GridLesson]] = defaultdict(list)
    marks: defaultdict[tuple[str, int], set[str]] = defaultdict(set)
    for lesson in day.lessons:
        item = absent.get((lesson.teacher, lesson.period))
        shown = _grid_lesson(plan, lesson, item, note_of)
        for name in lesson.classes:
            cells[name, lesson.period].append(shown)
            if item is not None:
                marks[name, lesson.period].add(shown.kind)
    # Wide enough for its heading, "Class", and the longest name up to a limit.
    widest = max(layout.text_width(name, True) for name in [_("Class"), *classes])
    class_col = f"{min(widest, 10):.2f}em"
    if len(classes) * len(periods) <= max(GRID_ANYWAY, GRID_FILL * len(cells)):
        rows = tuple(
            Row(
                name,
                tuple(
                    Cell(p, " ".join(sorted(marks[name, p])), tuple(cells[name, p]))
                    for p in periods
                ),
            )
            for name in classes
        )
        return Grid(tuple(periods), rows, class_col, "")
    by_class: defaultdict[str, list[int]] = defaultdict(list)
    for name, period in sorted(cells, key=lambda key: key[1]):
        by_class[name].append(period)
    rows = tuple(
        Row(name, tuple(Cell(p, "", tuple(cells[name, p])) for p in by_class[name]))
        for name in classes
    )
    counts = {"classes": len(classes), "periods": len(periods)}
    limit = _(
        "%(classes)s and %(periods)s, with lessons in only %(lessons)s of the %(places)s "
        "places of a grid: each class's lessons are listed instead."
    ) % {
        "classes": ngettext("%(classes)s class", "%(classes)s classes", len(classes)) % counts,
        "periods": ngettext("%(periods)s period", "%(periods)s periods", len(periods)) % counts,
        "lessons": len(cells),
        "places": len(classes) * len(periods),
    }
    return Grid((), rows, class_col, limit)


def _grid_lesson(
    plan: Plan, lesson: Lesson, item: AbsentLesson | None, note_of: dict[int, int]
) -> GridLesson:
    """One lesson in a cell of the grid."""
    member = plan.day.staff[lesson.teacher]
    if item is None:
        return GridLesson("lesson", "", member.name, member.subject)
    if item.substitute is not None:
        return GridLesson(
            "covered",
            _("Cover"),
            item.substitute,
            _("for %(whose)s") % {"whose": f"{member.name} · {member.subject}"},
        )
    if not item.needs_cover:
        return GridLesson("settled", "", member.name, f"{member.subject} · {item.note}")
    return GridLesson(
        "uncovered",
        _("Not covered"),
        member.name,
        f"{member.subject} · " + _("absent · see note %(note)s") % {"note": note_of[lesson.period]},
    )


def notes_of(day: SchoolDay, explanations: list[Explanation]) -> list[Note]:
    """Why lessons stayed uncovered: one note a period, saying for each
    subject where its teachers were, and once for the period who was free."""
    notes = []
    for number, whys in enumerate(by_period_notes(explanations), start=1):
        subjects = []
        for why in whys:
            gaps = Shortened.of([f"{g.lesson.class_label} ({g.lesson.teacher})" for g in why.gaps])
            subjects.append(
                SubjectPart(
                    why.subject,
                    gaps.joined(),
                    _("%(teachers)s:") % {"teachers": colleagues_heading(why)},
                    why.whereabouts,
                    why.more_colleagues,
                )
            )
        period = whys[0].period
        notes.append(
            Note(number, period, day.period_time(period), tuple(subjects), who_was_free(whys))
        )
    return notes
