"""Cover slips: one for every substitute, to hand out or send in the morning.

Each slip names the substitute, the day, and for every cover the period,
the class(es), the subject, whose lesson it is and why that teacher is
away. Printed, every slip takes a page of its own (A4 or Letter); on a
phone the slips read one below the other.
"""

from __future__ import annotations

from rotavel_cli.plan import AbsentLesson, Plan
from rotavel_cli.schoolday import SchoolDay
from rotavel_cli.webpage import class_label, h, page
from rotavel_cli.wording import by_substitute, day_label, plural


def render_slips(plan: Plan) -> str:
    day = plan.day
    when = day_label(day)
    title = f"Cover slips: {day.name}" + (f", {when}" if when else "")
    body = [_slip(name, covers, plan) for name, covers in by_substitute(plan)]
    if not body:
        body = [f'<p class="none">No covers for {h(day.name)}{f", {h(when)}" if when else ""}.</p>']
    return page(title, _CSS, body)


def _slip(name: str, covers: list[AbsentLesson], plan: Plan) -> str:
    day = plan.day
    when = day_label(day)
    show = {
        "Time": any(day.period_time(c.lesson.period) for c in covers),
        "Room": any(c.lesson.room for c in covers),
        "Reason": day.settings.show_reasons,
    }
    rows = "".join(_row(cover, day, show) for cover in covers)
    heads = "".join(
        f"<th>{h(label)}</th>"
        for label in ("Period", "Time", "Class", "Room", "Subject", "Whose lesson", "Reason")
        if show.get(label, True)
    )
    told = f'<p class="when">{h(when)}</p>' if when else ""
    return (
        '<article class="slip">'
        f'<p class="kind">Cover slip · {h(day.name)}</p>'
        f"<h1>{h(name)}</h1>{told}"
        f'<p class="count">{plural(len(covers), "cover")}</p>'
        f"<table><thead><tr>{heads}</tr></thead>"
        f"<tbody>{rows}</tbody></table></article>"
    )


def _row(cover: AbsentLesson, day: SchoolDay, show: dict[str, bool]) -> str:
    lesson = cover.lesson
    cells = [
        f'<td data-label="Period" class="period">{lesson.period}</td>',
        f'<td data-label="Time">{h(day.period_time(lesson.period))}</td>' if show["Time"] else "",
        f'<td data-label="Class" class="class">{class_label(lesson.class_label)}</td>',
        f'<td data-label="Room" class="room">{h(lesson.room)}</td>' if show["Room"] else "",
        f'<td data-label="Subject">{h(cover.subject)}</td>',
        f'<td data-label="Whose lesson">{h(lesson.teacher)}</td>',
        f'<td data-label="Reason">{h(cover.reason)}</td>' if show["Reason"] else "",
    ]
    return "<tr>" + "".join(cells) + "</tr>"


_CSS = """
:root { color-scheme: light; }
body { font: 18px/1.35 system-ui, "Segoe UI", Roboto, "Noto Sans", Arial, sans-serif;
  margin: 0 auto; padding: 16px; max-width: 50rem; color: #000; background: #fff; }
.slip { border: 2px solid #000; border-radius: 6px; padding: 16px 20px; margin: 0 0 24px; }
.kind { margin: 0; font-size: 15px; font-weight: 700; letter-spacing: .04em;
  text-transform: uppercase; }
h1 { font-size: 32px; line-height: 1.15; margin: 4px 0 0; }
.when { font-size: 22px; font-weight: 600; margin: 2px 0 0; }
.count { margin: 2px 0 10px; }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid #000; padding: 6px 8px 6px 0; text-align: left;
  vertical-align: top; }
th { font-size: 15px; text-transform: uppercase; letter-spacing: .04em; }
td.period, td.class { font-size: 24px; font-weight: 800; white-space: nowrap; }
@media (max-width: 600px) {
  body { padding: 8px; font-size: 17px; }
  .slip { padding: 10px 12px; }
  h1 { font-size: 26px; }
  thead { display: none; }
  tr { display: block; border-bottom: 2px solid #000; padding: 6px 0; }
  td { display: block; border: 0; padding: 1px 0; }
  td::before { content: attr(data-label) ": "; font-size: 15px; font-weight: 400; }
  td.period, td.class { font-size: 20px; }
}
@media print {
  @page { size: portrait; margin: 15mm; }
  body { max-width: none; padding: 0; font-size: 12pt; }
  .slip { border: 0; padding: 0; margin: 0; break-after: page; }
  .slip:last-child { break-after: auto; }
  h1 { font-size: 22pt; }
  .when { font-size: 15pt; }
  .kind, th { font-size: 10pt; }
  td.period, td.class { font-size: 15pt; }
  tr { break-inside: avoid; }
}
"""
