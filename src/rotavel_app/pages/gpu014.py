"""The plan as Untis's substitution file, GPU014.TXT, for schools that keep
their substitutions in Untis.

One line per absent lesson: its date and period, the absent teacher, the
substitute (empty when nobody could take the lesson, which is then marked
cancelled, type "C"), the subject, the classes (joined with "~") and the
reason, and the lesson's room (the substitution's room too when covered).
Untis knows teachers by their codes: a school read from an Untis export
keeps them (`Week.teacher_codes`); other names are written as they are. The
plan does not know Untis's lesson numbers, so field 5 is 0.
"""

from __future__ import annotations

from collections.abc import Mapping

from rotavel_app.language import _
from rotavel_app.messages import InputError
from rotavel_app.planning.plan import Plan
from rotavel_app.school.importers.untis import gpu_fields

CANCELLED = "C"  # Untis's type letter for a lesson that does not take place
_FIELDS = 22
_NEWLINE = "\r\n"  # Untis runs on Windows


def render_gpu014(plan: Plan, codes: Mapping[str, str] | None = None) -> str:
    """GPU014 lines for every absent lesson of the plan, in planning order,
    numbered from 1. The plan must have a date (`--date`): a substitution in
    Untis belongs to a day of the calendar."""
    if plan.day.date is None:
        raise InputError(_("the GPU014 export needs the date planned; give it with --date"))
    codes = codes or {}
    date = plan.day.date.strftime("%Y%m%d")
    lines = []
    for number, item in enumerate(plan.absent_lessons, start=1):
        lesson = item.lesson
        if lesson.period < 0:
            raise InputError(
                _(
                    "period %(period)s of %(teacher)s cannot be written to GPU014, "
                    "which numbers periods from 0"
                )
                % {"period": lesson.period, "teacher": lesson.teacher}
            )
        classes = "~".join(lesson.classes)
        substitute = item.substitute or ""
        fields: list[str | int] = [""] * _FIELDS
        fields[0] = number
        fields[1] = date
        fields[2] = lesson.period
        fields[4] = 0  # the lesson number, which the plan does not know
        fields[5] = codes.get(lesson.teacher, lesson.teacher)
        fields[6] = codes.get(substitute, substitute)
        fields[7] = item.subject
        fields[11] = lesson.room
        fields[12] = lesson.room if item.covered else ""
        fields[14] = classes
        fields[15] = item.reason
        fields[17] = 0  # no flags: a plain substitution or cancellation
        fields[18] = classes if item.covered else ""
        fields[19] = "" if item.covered else CANCELLED
        lines.append(gpu_fields(fields))
    return "".join(line + _NEWLINE for line in lines)


def render_for_day(plan: Plan) -> str:
    """The GPU014 file of a plan; teachers by their Untis codes when the
    school was read from an Untis export, by name otherwise."""
    return render_gpu014(plan, plan.day.teacher_codes)
