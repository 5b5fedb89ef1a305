"""The plan as a table for a terminal: rows by period, then class.

Every cell goes through `escape_controls`, whatever the output is bound
for, so a name holding a line break or an escape sequence cannot tear the
table apart.
"""

from __future__ import annotations

from collections.abc import Sequence

from rotavel_app.language import _, ngettext
from rotavel_app.pages.terminal import escape_controls as _cell
from rotavel_app.pages.terminal import pad, width
from rotavel_app.pages.wording import (
    Explanation,
    Shortened,
    away_text,
    by_period,
    by_period_notes,
    by_substitute,
    colleagues_heading,
    day_label,
    explain,
    who_was_free,
)
from rotavel_app.planning.plan import BY_HAND, AbsentLesson, Plan


# Marked for the catalogues here, looked up when a table is made (N_: no lookup yet).
def N_(message: str) -> str:
    return message


HEADER = (
    N_("Period"),
    N_("Class"),
    N_("Subject"),
    N_("Absent teacher"),
    N_("Substitute"),
    N_("Reason"),
)
NOT_COVERED = N_("NOT COVERED")


def render_table(plan: Plan) -> str:
    lines = [*_heading(plan), ""]
    items = by_period(plan.absent_lessons)
    if items:
        rooms = any(item.lesson.room for item in items)
        header = tuple(map(_, HEADER[:2] + (("Room",) if rooms else ()) + HEADER[2:]))
        rows = [
            (
                str(item.lesson.period),
                item.lesson.class_label,
                *((item.lesson.room,) if rooms else ()),
                item.subject,
                item.lesson.teacher,
                _substitute(item),
                item.reason,
            )
            for item in items
        ]
        lines += [*aligned(header, rows, right={0}), ""]
    counts = {
        "covered": len(plan.covers),
        "uncovered": len(plan.uncovered),
        "settled": len(plan.settled),
    }
    if plan.settled:
        summary = ngettext(
            "%(covered)s lesson covered, %(uncovered)s not covered, %(settled)s need no cover.",
            "%(covered)s lessons covered, %(uncovered)s not covered, %(settled)s need no cover.",
            len(plan.covers),
        )
    else:
        summary = ngettext(
            "%(covered)s lesson covered, %(uncovered)s not covered.",
            "%(covered)s lessons covered, %(uncovered)s not covered.",
            len(plan.covers),
        )
    lines.append(summary % counts)
    for whys in by_period_notes(explain(plan)):
        for why in whys:
            lines += ["", *_explanation(why)]
        lines.append(_cell(who_was_free(whys, period_named=True)))
    substitutes = by_substitute(plan)
    if substitutes:
        lines += ["", _("Covers per substitute:")]
        lines += [
            "  "
            + _("%(substitute)s: %(covers)s")
            % {
                "substitute": _cell(name),
                "covers": ngettext("%(n)s cover", "%(n)s covers", len(covers)) % {"n": len(covers)},
            }
            for name, covers in substitutes
        ]
    # In English, the module's own words (TIMING_PREFIX), as in its report.
    lines += ["", _("Time taken to generate subs: %(duration)s") % {"duration": plan.duration}]
    return "\n".join(lines) + "\n"


def _substitute(item: AbsentLesson) -> str:
    if item.substitute is not None:
        if item.how == BY_HAND:
            return _("%(name)s (by hand)") % {"name": item.substitute}
        return item.substitute
    return item.note or _(NOT_COVERED)


def _heading(plan: Plan) -> list[str]:
    day = plan.day
    when = day_label(day)
    if when:
        title = _("Cover plan: %(school)s, %(day)s") % {
            "school": _cell(day.name),
            "day": _cell(when),
        }
    else:
        title = _("Cover plan: %(school)s") % {"school": _cell(day.name)}
    out = [m for m in day.staff.values() if not m.present or not m.in_school]
    if not out:
        return [title, _("Absent: nobody")]
    lines = [title, _("Out today:")]
    for member in out:
        what = away_text(member, day)
        values = {
            "name": _cell(member.name),
            "subject": _cell(member.subject),
            "when": what,
            "reason": _cell(member.reason),
        }
        if member.reason and member.in_school:
            line = _("%(name)s (%(subject)s), %(when)s: %(reason)s") % values
        else:
            line = _("%(name)s (%(subject)s), %(when)s") % values
        lines.append("  " + line)
    return lines


def _explanation(why: Explanation) -> list[str]:
    gaps = Shortened.of([_cell(f"{g.lesson.class_label} ({g.lesson.teacher})") for g in why.gaps])
    lines = [
        _("Not covered in period %(period)s, %(subject)s: %(lessons)s")
        % {"period": why.period, "subject": why.subject, "lessons": gaps.joined()},
        "  "
        + _("%(teachers)s in period %(period)s:")
        % {"teachers": colleagues_heading(why), "period": why.period},
    ]
    columns = max(width(_cell(name)) for name, _ in why.whereabouts)
    lines += [f"    {pad(_cell(name), columns)}  {_cell(doing)}" for name, doing in why.whereabouts]
    if why.more_colleagues:
        lines.append("    " + _("and %(more)s more") % {"more": why.more_colleagues})
    return lines


def aligned(
    header: Sequence[str],
    rows: Sequence[Sequence[str]],
    right: set[int] | frozenset[int] = frozenset(),
) -> list[str]:
    """Rows in columns under a header and a rule, every cell escaped for a
    terminal; the columns in `right` aligned to the right."""
    table = [[_cell(text) for text in row] for row in (header, *rows)]
    widths = [max(width(row[i]) for row in table) for i in range(len(header))]
    rule = ["-" * w for w in widths]
    return [
        "  ".join(pad(text, widths[i], right=i in right) for i, text in enumerate(row)).rstrip()
        for row in (table[0], rule, *table[1:])
    ]
