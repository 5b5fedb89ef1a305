"""The plan for people: a CSV table, a terminal table and an HTML cover board.

The table and the board say, for every lesson nobody could cover, where each
teacher of its subject is in that period, worked out from the input files and
the plan.
"""

from __future__ import annotations

import csv
import html
import io
import unicodedata
from collections import defaultdict
from collections.abc import Sequence
from dataclasses import dataclass

from rotavel_cli.plan import AbsentLesson, Plan

CSV_HEADER = ("Teacher", "Period", "Subject", "Substitution", "Classroom", "Reason")


@dataclass(frozen=True)
class Explanation:
    gap: AbsentLesson
    whereabouts: tuple[tuple[str, str], ...]  # (teacher, what they do then), file order
    present: int  # how many teachers are in today
    free: tuple[str, ...]  # present teachers with nothing to do in that period


def explain(plan: Plan) -> list[Explanation]:
    """Why each uncovered lesson stayed uncovered."""
    day = plan.day
    busy: defaultdict[tuple[str, int], dict[str, None]] = defaultdict(dict)
    for lesson in day.lessons:
        busy[lesson.teacher, lesson.period][f"teaching {lesson.class_label}"] = None
    for cover in plan.covers:
        lesson = cover.lesson
        busy[cover.substitute or "", lesson.period][
            f"covering {lesson.class_label} for {lesson.teacher}"
        ] = None

    def doing(name: str, period: int) -> str:
        member = day.staff[name]
        if not member.present:
            return f"absent ({member.reason})"
        return " and ".join(busy.get((name, period), ())) or "free"

    present = [m.name for m in day.staff.values() if m.present]
    explanations = []
    for gap in plan.uncovered:
        period = gap.lesson.period
        colleagues = [m.name for m in day.staff.values() if m.subject == gap.subject]
        explanations.append(
            Explanation(
                gap,
                tuple((name, doing(name, period)) for name in colleagues),
                len(present),
                tuple(n for n in present if (n, period) not in busy),
            )
        )
    return explanations


def render_csv(plan: Plan) -> str:
    """Every absent lesson in planning order; an uncovered one has an empty
    Substitution."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(CSV_HEADER)
    for item in plan.absent_lessons:
        lesson = item.lesson
        writer.writerow((lesson.teacher, lesson.period, item.subject, item.substitute or "",
                         lesson.class_label, item.reason))
    return out.getvalue()


def render_table(plan: Plan) -> str:
    day = plan.day
    lines = [f"Cover plan: {_cell(day.name)}"]
    absent = day.absent
    if absent:
        lines.append("Absent: " + "; ".join(
            f"{_cell(m.name)} ({m.subject}, {_cell(m.reason)})" for m in absent
        ))
    else:
        lines.append("Absent: nobody")
    lines.append("")
    if plan.covers:
        header = ("Absent teacher", "Period", "Subject", "Substitute", "Class", "Reason")
        rows = [
            (c.lesson.teacher, str(c.lesson.period), c.subject, c.substitute or "",
             c.lesson.class_label, c.reason)
            for c in plan.covers
        ]
        lines += _aligned(header, rows, right={1})
        lines.append("")
    lines.append(
        f"{_count(len(plan.covers), 'lesson')} covered, "
        f"{len(plan.uncovered)} not covered."
    )
    for why in explain(plan):
        lesson = why.gap.lesson
        lines += [
            "",
            f"Not covered: period {lesson.period}, class {_cell(lesson.class_label)}, "
            f"{_cell(lesson.teacher)} ({why.gap.subject})",
            f"  {why.gap.subject} teachers in period {lesson.period}:",
        ]
        width = max(_width(_cell(name)) for name, _ in why.whereabouts)
        for name, doing in why.whereabouts:
            lines.append(f"    {_pad(_cell(name), width)}  {_cell(doing)}")
        lines.append("  " + _nobody_free(why))
    lines += ["", f"Time taken to generate subs: {plan.duration}"]
    return "\n".join(lines) + "\n"


def render_board(plan: Plan) -> str:
    day = plan.day
    covers = {(c.lesson.teacher, c.lesson.period): c for c in plan.covers}
    explanations = explain(plan)
    why_anchor = {
        (w.gap.lesson.teacher, w.gap.lesson.period): f"why-{number}"
        for number, w in enumerate(explanations, start=1)
    }
    cells: defaultdict[tuple[str, int], list[str]] = defaultdict(list)
    marks: defaultdict[tuple[str, int], set[str]] = defaultdict(set)
    for lesson, class_name in ((l, c) for l in day.lessons for c in l.classes):
        key = (lesson.teacher, lesson.period)
        member = day.staff[lesson.teacher]
        place = (class_name, lesson.period)
        cover = covers.get(key)
        if member.present:
            cells[place].append(
                f'<div class="lesson">{_h(member.name)}'
                f' <span class="subject">{_h(member.subject)}</span></div>'
            )
        elif cover is not None:
            marks[place].add("covered")
            cells[place].append(
                '<div class="lesson covered"><span class="tag">Cover</span>'
                f'<span class="who">{_h(cover.substitute or "")}</span>'
                f'<span class="for">for {_h(member.name)} · {_h(member.subject)}</span></div>'
            )
        else:
            anchor = why_anchor.get(key)
            marks[place].add("uncovered" if anchor else "absent")
            link = f' <a href="#{anchor}">why?</a>' if anchor else ""
            cells[place].append(
                '<div class="lesson uncovered"><span class="tag">Not covered</span>'
                f'<span class="who">{_h(member.name)}</span>'
                f'<span class="for">{_h(member.subject)} · absent{link}</span></div>'
            )

    out = [
        "<!DOCTYPE html>",
        '<html lang="en">',
        "<head>",
        '<meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>Cover board: {_h(day.name)}</title>",
        f"<style>{_CSS}</style>",
        "</head>",
        "<body>",
        f"<h1>Cover board: {_h(day.name)}</h1>",
        f'<p class="summary"><strong>{len(day.absent)}</strong> absent · '
        f"<strong>{len(plan.covers)}</strong> covered · "
        f'<strong class="{"alert" if plan.uncovered else ""}">'
        f"{len(plan.uncovered)}</strong> not covered</p>",
    ]
    if day.absent:
        out.append('<section class="absent"><h2>Absent today</h2><ul>')
        out += [
            f"<li><strong>{_h(m.name)}</strong> ({_h(m.subject)}): {_h(m.reason)}</li>"
            for m in day.absent
        ]
        out.append("</ul></section>")
    out.append('<table class="board">')
    out.append('<thead><tr><th scope="col">Class</th>')
    out += [f'<th scope="col">Period {p}</th>' for p in day.periods]
    out.append("</tr></thead><tbody>")
    for class_name in day.classes:
        out.append(f'<tr><th scope="row">{_h(class_name)}</th>')
        for period in day.periods:
            place = (class_name, period)
            kinds = " ".join(sorted(marks[place]))
            out.append(
                f'<td class="{kinds}" data-class="{_h(class_name)}" data-period="{period}">'
                + "".join(cells[place])
                + "</td>"
            )
        out.append("</tr>")
    out.append("</tbody></table>")
    if explanations:
        out.append('<section class="why"><h2>Not covered, and why</h2>')
        for why in explanations:
            gap = why.gap.lesson
            anchor = why_anchor[gap.teacher, gap.period]
            out += [
                f'<article id="{anchor}">',
                f"<h3>Period {gap.period} · {_h(gap.class_label)} · "
                f"{_h(gap.teacher)} ({_h(why.gap.subject)})</h3>",
                f"<p>{_h(why.gap.subject)} teachers in period {gap.period}:</p><ul>",
            ]
            out += [
                f"<li><strong>{_h(name)}</strong>: {_h(doing)}</li>"
                for name, doing in why.whereabouts
            ]
            out += ["</ul>", f"<p>{_h(_nobody_free(why))}</p>", "</article>"]
        out.append("</section>")
    out += [f"<footer>Time taken to generate subs: {_h(plan.duration)}</footer>",
            "</body>", "</html>"]
    return "\n".join(out) + "\n"


def _nobody_free(why: Explanation) -> str:
    period = why.gap.lesson.period
    if why.free:
        return f"Free in period {period} but not given this lesson: " + ", ".join(
            _cell(name) for name in why.free
        ) + "."
    return (
        f"No teacher of any subject was free: all {_count(why.present, 'present teacher')}"
        f" were teaching or covering in period {period}."
    )


def _aligned(
    header: Sequence[str], rows: Sequence[Sequence[str]], right: set[int]
) -> list[str]:
    table = [[_cell(text) for text in row] for row in (header, *rows)]
    widths = [max(_width(row[i]) for row in table) for i in range(len(header))]
    rule = ["-" * w for w in widths]
    lines = []
    for row in (table[0], rule, *table[1:]):
        fields = [
            _pad(text, widths[i], right=i in right) for i, text in enumerate(row)
        ]
        lines.append("  ".join(fields).rstrip())
    return lines


def _cell(text: str) -> str:
    """Text for one terminal cell: control characters shown as escapes so a
    name with a line break cannot tear the table apart."""
    return "".join(
        ascii(char)[1:-1] if unicodedata.category(char) == "Cc" else char for char in text
    )


def _width(text: str) -> int:
    return sum(
        0 if unicodedata.combining(char)
        else 2 if unicodedata.east_asian_width(char) in ("W", "F")
        else 1
        for char in text
    )


def _pad(text: str, width: int, right: bool = False) -> str:
    fill = " " * (width - _width(text))
    return fill + text if right else text + fill


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _h(text: str) -> str:
    return html.escape(_cell(text))


_CSS = """
body { font: 15px/1.35 system-ui, "Segoe UI", Roboto, "Noto Sans", Arial, sans-serif;
  margin: 1.2rem; color: #1a1a1a; background: #fff; }
h1 { font-size: 1.7rem; margin: 0 0 .3rem; }
h2 { font-size: 1.2rem; margin: 1.2rem 0 .4rem; }
h3 { font-size: 1rem; margin: .8rem 0 .2rem; }
.summary { font-size: 1.1rem; margin: 0 0 .8rem; }
.summary .alert { color: #b71c1c; }
.absent ul { margin: 0; padding-left: 1.2rem; }
table.board { border-collapse: collapse; width: 100%; table-layout: fixed; margin-top: 1rem; }
.board th, .board td { border: 1px solid #9e9e9e; padding: .25rem .35rem; vertical-align: top;
  text-align: left; overflow-wrap: anywhere; }
.board thead th { background: #e0e0e0; }
.board tbody th { background: #f2f2f2; width: 4rem; font-size: 1.05rem; }
.lesson { color: #616161; font-size: .8rem; }
.lesson + .lesson { margin-top: .25rem; }
.lesson .subject { color: #9e9e9e; }
.lesson.covered, .lesson.uncovered { padding: .2rem .3rem; font-size: .85rem; }
.lesson.covered { color: #1b5e20; background: #e3f4e6; border-left: 5px solid #2e7d32; }
.lesson.uncovered { color: #fff; background: #c62828; border-left: 5px solid #7f0000; }
.lesson.uncovered a { color: #fff; }
.tag { display: block; font-size: .68rem; font-weight: 700; letter-spacing: .06em;
  text-transform: uppercase; }
.who { display: block; font-weight: 700; font-size: .95rem; color: #111; }
.uncovered .who { color: #fff; }
.for { display: block; }
.why article { border-left: 5px solid #c62828; padding-left: .6rem; }
.why ul { margin: .2rem 0; }
footer { margin-top: 1.2rem; color: #616161; font-size: .85rem; }
@media print {
  @page { size: A4 landscape; margin: 10mm; }
  body { margin: 0; font-size: 9pt; }
  h1 { font-size: 14pt; }
  .board thead { display: table-header-group; }
  .board tr, .why article { break-inside: avoid; }
  .board th, .board td { border-color: #000; padding: 1.5pt 2.5pt; }
  .lesson.covered, .lesson.uncovered { padding: 1pt 2pt; }
  .lesson, .lesson .subject { color: #333; }
  .lesson.covered { color: #000; background: none; border: 1.5pt solid #000; }
  .lesson.uncovered, .lesson.uncovered a, .uncovered .who { color: #000; background: none; }
  .lesson.uncovered { border: 2.5pt dashed #000; }
  .why article { border-left: 3pt solid #000; }
}
"""
