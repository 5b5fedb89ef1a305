"""The cover board: for the staff-room screen and for paper.

On top, the day's covers and uncovered lessons by period, sized to be read
across a room on a 1920x1080 screen without scrolling; below it the whole
day as a grid of classes by periods, then why each uncovered lesson stayed
uncovered. Printed, on landscape pages in black and white, the by-period
view leads and the module's time taken is left out.
"""

from __future__ import annotations

from collections import defaultdict

from rotavel_cli.plan import AbsentLesson, Plan
from rotavel_cli.schoolday import Lesson
from rotavel_cli.webpage import class_label, h, page
from rotavel_cli.wording import (
    Explanation,
    Shortened,
    away_text,
    by_period,
    class_key,
    day_label,
    explain,
)

# (period, subject) -> the number of the note explaining its uncovered lessons
Notes = dict[tuple[int, str], int]


def render_board(plan: Plan) -> str:
    explanations = explain(plan, reasons=plan.day.settings.show_reasons)
    notes = {(why.period, why.subject): why.number for why in explanations}
    when = day_label(plan.day)
    title = f"Cover board: {plan.day.name}" + (f", {when}" if when else "")
    body = [
        *_top(plan, title),
        *_today(plan, notes),
        *_absent(plan),
        *_grid(plan, notes),
        *_explanations(explanations),
        f'<footer class="timing">Time taken to generate subs: {h(plan.duration)}</footer>',
    ]
    return page(title, _CSS, body)


def _top(plan: Plan, title: str) -> list[str]:
    alert = ' class="alert"' if plan.uncovered else ""
    return [
        "<header>",
        f"<h1>{h(title)}</h1>",
        (
            f'<p class="summary"><strong>{len(plan.day.absent)}</strong> absent · '
            f"<strong>{len(plan.covers)}</strong> covered · "
            f"<strong{alert}>{len(plan.uncovered)}</strong> not covered</p>"
        ),
        "</header>",
    ]


def _absent(plan: Plan) -> list[str]:
    """Who is out, and when; after the covers, which say whose lesson each
    is. Reasons only where the school asks for them: the board is public."""
    day = plan.day
    out = [m for m in day.staff.values() if not m.present or not m.in_school]
    if not out:
        return []
    show = day.settings.show_reasons
    return [
        '<section class="absent"><h2>Out today</h2><ul>',
        *(
            f"<li><strong>{h(m.name)}</strong> ({h(m.subject)}), {h(away_text(m, day))}"
            + (f": {h(m.reason)}" if show and m.reason and m.in_school else "")
            + "</li>"
            for m in out
        ),
        "</ul></section>",
    ]


def _today(plan: Plan, notes: Notes) -> list[str]:
    """The day's covers and uncovered lessons, by period, then class."""
    if not plan.absent_lessons:
        return ['<section class="today"><h2>No lessons to cover today</h2></section>']
    periods: dict[int, list[AbsentLesson]] = {}
    for item in by_period(plan.absent_lessons):
        periods.setdefault(item.lesson.period, []).append(item)
    lines = ['<section class="today">', "<h2>Cover by period</h2>", '<div class="periods">']
    for period, items in periods.items():
        lines.append(f'<section class="period"><h3>Period {period}</h3><ul>')
        lines += [_entry(item, notes) for item in items]
        lines.append("</ul></section>")
    return [*lines, "</div>", "</section>"]


def _entry(item: AbsentLesson, notes: Notes) -> str:
    lesson = item.lesson
    where = f'<span class="class">{class_label(lesson.class_label)}</span>'
    room = f" · {h(lesson.room)}" if lesson.room else ""
    if item.substitute is not None:
        return (
            f'<li class="cover">{where}<span class="who">{h(item.substitute)}</span>'
            f'<span class="for">for {h(lesson.teacher)} · {h(item.subject)}{room}</span></li>'
        )
    if not item.needs_cover:
        return (
            f'<li class="settled">{where}<span class="who">{h(item.note.capitalize())}</span>'
            f'<span class="for">{h(lesson.teacher)} · {h(item.subject)}{room}</span></li>'
        )
    return (
        f'<li class="gap">{where}<span class="who">Not covered</span>'
        f'<span class="for">{h(lesson.teacher)} · {h(item.subject)} · '
        f"{_see(notes, item)}</span></li>"
    )


def _see(notes: Notes, item: AbsentLesson) -> str:
    """A reference to the note on an uncovered lesson; a link on screen, and
    text that still means something on paper."""
    number = notes[item.lesson.period, item.subject]
    return f'<a class="see" href="#note-{number}">see note {number}</a>'


def _grid(plan: Plan, notes: Notes) -> list[str]:
    """Every class by every period, with every lesson in it."""
    day = plan.day
    periods = day.periods  # worked out from every lesson each time it is asked for
    absent = {(a.lesson.teacher, a.lesson.period): a for a in plan.absent_lessons}
    cells: defaultdict[tuple[str, int], list[str]] = defaultdict(list)
    marks: defaultdict[tuple[str, int], set[str]] = defaultdict(set)
    for lesson in day.lessons:
        item = absent.get((lesson.teacher, lesson.period))
        text = _lesson(plan, lesson, item, notes)
        for name in lesson.classes:
            cells[name, lesson.period].append(text)
            if item is not None:
                marks[name, lesson.period].add(
                    "covered" if item.covered else "uncovered" if item.needs_cover else "settled"
                )
    lines = [
        '<section class="grid">',
        "<h2>The whole day</h2>",
        '<table class="board">',
        '<thead><tr><th scope="col">Class</th>',
        *(f'<th scope="col">Period {p}</th>' for p in periods),
        "</tr></thead><tbody>",
    ]
    for name in sorted(day.classes, key=class_key):
        lines.append(f'<tr><th scope="row">{h(name)}</th>')
        lines += [
            f'<td class="{" ".join(sorted(marks[name, p]))}" data-class="{h(name)}" '
            f'data-period="{p}">' + "".join(cells[name, p]) + "</td>"
            for p in periods
        ]
        lines.append("</tr>")
    return [*lines, "</tbody></table>", "</section>"]


def _lesson(plan: Plan, lesson: Lesson, item: AbsentLesson | None, notes: Notes) -> str:
    """One lesson in a cell of the grid."""
    member = plan.day.staff[lesson.teacher]
    if item is None:
        return (
            f'<div class="lesson">{h(member.name)}'
            f' <span class="subject">{h(member.subject)}</span></div>'
        )
    if item.substitute is not None:
        return (
            '<div class="lesson covered"><span class="tag">Cover</span> '
            f'<span class="who">{h(item.substitute)}</span> '
            f'<span class="for">for {h(member.name)} · {h(member.subject)}</span></div>'
        )
    if not item.needs_cover:
        return (
            f'<div class="lesson">{h(member.name)}'
            f' <span class="subject">{h(member.subject)} · {h(item.note)}</span></div>'
        )
    return (
        '<div class="lesson uncovered"><span class="tag">Not covered</span> '
        f'<span class="who">{h(member.name)}</span> '
        f'<span class="for">{h(member.subject)} · absent · {_see(notes, item)}</span></div>'
    )


def _explanations(explanations: list[Explanation]) -> list[str]:
    if not explanations:
        return []
    # The heading travels with the first note, so it cannot end a page alone.
    first, *rest = explanations
    lines = ['<section class="why">', '<div class="keep">', "<h2>Not covered, and why</h2>"]
    lines += [*_explanation(first), "</div>"]
    for why in rest:
        lines += _explanation(why)
    return [*lines, "</section>"]


def _explanation(why: Explanation) -> list[str]:
    gaps = Shortened.of(
        [f"{class_label(g.lesson.class_label)} ({h(g.lesson.teacher)})" for g in why.gaps]
    )
    lines = [
        f'<article id="note-{why.number}">',
        f"<h3>Note {why.number} · Period {why.period} · {h(why.subject)}</h3>",
        f"<p>Not covered: {gaps.joined()}.</p>",
        f"<p>{h(why.subject)} teachers in period {why.period}:</p><ul>",
        *(f"<li><strong>{h(name)}</strong>: {h(doing)}</li>" for name, doing in why.whereabouts),
    ]
    if why.more_colleagues:
        lines.append(f"<li>and {why.more_colleagues} more</li>")
    return [*lines, "</ul>", f"<p>{h(why.nobody_free)}</p>", "</article>"]


_CSS = """
:root { color-scheme: light; }
body { font: 18px/1.3 system-ui, "Segoe UI", Roboto, "Noto Sans", Arial, sans-serif;
  margin: 10px 24px; color: #000; background: #fff; }
h1 { font-size: 32px; line-height: 1.15; margin: 0; display: inline; }
h2 { font-size: 24px; margin: 18px 0 6px; }
h3 { font-size: 19px; margin: 10px 0 4px; }
header { margin-bottom: 8px; }
.summary { font-size: 24px; display: inline; margin: 0 0 0 24px; }
.summary .alert { color: #b00020; }
a { color: inherit; }
.see { white-space: nowrap; }
.today h2 { font-size: 20px; margin: 0 0 4px; }
.periods { columns: 4 380px; column-gap: 20px; }
.period { margin: 0 0 6px; }
.period h3 { font-size: 20px; margin: 0 0 3px; padding: 0 10px; color: #fff; background: #000;
  break-after: avoid; }
.period ul { list-style: none; margin: 0; padding: 0; }
.period li { display: grid; grid-template-columns: 3.9em 1fr; column-gap: 8px; margin: 0 0 3px;
  padding: 2px 6px; border-left: 8px solid #1b5e20; background: #e6f4e8; break-inside: avoid;
  line-height: 1.2; }
.period .class { grid-row: 1 / span 2; font-size: 24px; font-weight: 800; }
.period .who { font-size: 22px; font-weight: 700; }
.period .for { font-size: 17px; }
.absent ul { margin: 0; padding-left: 24px; }
.period li.gap { color: #fff; background: #b00020; border-left-color: #000; }
table.board { border-collapse: collapse; width: 100%; }
.board th, .board td { border: 1px solid #666; padding: 4px 6px; vertical-align: top;
  text-align: left; }
.board thead th { background: #ddd; }
.board tbody th { background: #f0f0f0; font-size: 20px; white-space: nowrap; }
.lesson { font-size: 16px; color: #222; }
.lesson + .lesson { margin-top: 4px; }
.lesson .subject { color: #444; }
.lesson.covered, .lesson.uncovered { padding: 2px 5px; }
.lesson.covered { background: #e6f4e8; border-left: 6px solid #1b5e20; }
.lesson.uncovered { color: #fff; background: #b00020; border-left: 6px solid #000; }
.tag { display: block; font-size: 13px; font-weight: 700; letter-spacing: .05em;
  text-transform: uppercase; }
.lesson .who { display: block; font-weight: 700; font-size: 18px; }
.lesson .for { display: block; }
.why article { border-left: 6px solid #b00020; padding-left: 10px; margin-bottom: 10px; }
.why p, .why ul { margin: 2px 0; }
footer { margin-top: 18px; color: #333; font-size: 15px; }
@media (max-width: 700px) {
  body { margin: 8px; }
  h1 { font-size: 26px; display: block; }
  .summary { display: block; margin: 2px 0 0; font-size: 20px; }
  .periods { columns: 1; }
}
@media print {
  @page { size: landscape; margin: 10mm; }
  body { margin: 0; font-size: 9pt; }
  h1 { font-size: 15pt; }
  .summary { font-size: 11pt; }
  h2 { font-size: 12pt; margin: 8pt 0 3pt; }
  h3 { font-size: 10pt; margin: 5pt 0 2pt; }
  h2, h3 { break-after: avoid; }
  .keep, .why article, .board tr, .period li, .absent { break-inside: avoid; }
  a { text-decoration: none; }
  .today h2 { font-size: 11pt; }
  .periods { columns: 4; column-gap: 10pt; }
  .period h3 { font-size: 10pt; padding: 0 3pt; color: #000; background: none;
    border-bottom: 1.5pt solid #000; }
  .period li { padding: 1pt 3pt; margin-bottom: 2pt; background: none; border: 1pt solid #000;
    border-left-width: 4pt; }
  .period .class { font-size: 11pt; }
  .period .who { font-size: 10pt; }
  .period .for { font-size: 8pt; }
  .period li.gap, .lesson.uncovered { color: #000; background: none; border: 2pt dashed #000; }
  /* A narrow face, where there is one, halves the lines a name takes in a cell. */
  table.board { table-layout: fixed; font-family: "Arial Narrow", "Liberation Sans Narrow",
    "Nimbus Sans Narrow", "DejaVu Sans Condensed", sans-serif; font-stretch: condensed; }
  .board thead { display: table-header-group; }
  .board thead th:first-child { width: 9mm; }
  .board th, .board td { border-color: #000; padding: 1pt 2pt; }
  .board tbody th { font-size: 9pt; }
  .lesson { font-size: 7pt; line-height: 1.2; color: #000; }
  .lesson + .lesson { margin-top: 1.5pt; }
  .lesson .subject { color: #000; font-style: italic; }
  .lesson .tag, .lesson .who, .lesson .for { display: inline; font-size: 7pt; }
  .lesson.covered, .lesson.uncovered { padding: 0 1.5pt; }
  .lesson.covered { background: none; border: 1pt solid #000; }
  .why article { border-left: 3pt solid #000; padding-left: 5pt; margin-bottom: 6pt; }
  .timing { display: none; }
}
"""
