"""Decisions made by hand: a lesson given to a substitute, marked as needing
no cover, or released to be planned again; and the work an absent teacher
sets. They go to the desk's draft, and reach people at the next publish."""

from __future__ import annotations

import datetime
from typing import TYPE_CHECKING

from rotavel_app.desk import absences, publishing, rules, school
from rotavel_app.desk.record import DeskError, day_text, now
from rotavel_app.language import _
from rotavel_app.planning.plan import BY_HAND, NO_COVER
from rotavel_app.school.day import Lesson, SchoolDay

if TYPE_CHECKING:
    from rotavel_app.desk.record import Record
    from rotavel_app.desk.rules import CoverRecord


def absent_lesson(desk: Record, day: SchoolDay, teacher: str, period: int) -> Lesson:
    """The absent teacher's lesson in `period`, refused unless it needs cover."""
    school.known(desk, teacher)
    lesson = next((x for x in day.lessons if x.teacher == teacher and x.period == period), None)
    if lesson is None:
        taught = sorted({x.period for x in day.lessons if x.teacher == teacher})
        no_lesson = (
            _(
                "%(teacher)s has no lesson in period %(period)s on %(date)s; "
                "%(teacher)s teaches in periods %(periods)s"
            )
            if taught
            else _(
                "%(teacher)s has no lesson in period %(period)s on %(date)s; "
                "%(teacher)s teaches no lesson that day"
            )
        )
        raise DeskError(
            no_lesson
            % {
                "teacher": teacher,
                "period": period,
                "date": day.date,
                "periods": ", ".join(map(str, taught)),
            }
        )
    if not day.staff[teacher].out_in(period):
        raise DeskError(
            _(
                "%(teacher)s is not absent in period %(period)s on %(date)s; "
                "enter the absence first (rotavel absent)"
            )
            % {"teacher": teacher, "period": period, "date": day.date}
        )
    return lesson


def assign(
    desk: Record, date: datetime.date, absent_teacher: str, period: int, substitute: str
) -> None:
    """Give an absent teacher's lesson to `substitute` by hand, unless busy then."""
    with desk.writing():
        day = absences.day(desk, date)
        lesson = absent_lesson(desk, day, absent_teacher, period)
        school.known(desk, substitute, "substitute")
        staff = day.staff
        covering = {
            (r.substitute, r.period): r
            for r in rules.covers(desk, date)
            if r.substitute is not None
            and (r.teacher, r.period) != (absent_teacher, period)
            and r.teacher in staff
            and staff[r.teacher].out_in(r.period)
        }
        problem = rules.cannot_cover(staff, rules.teaching(day), covering, substitute, period)
        if problem:
            raise DeskError(
                _(
                    "cannot give %(substitute)s %(teacher)s's %(class)s in period %(period)s "
                    "on %(date)s: %(substitute)s %(problem)s"
                )
                % {
                    "substitute": substitute,
                    "teacher": absent_teacher,
                    "class": lesson.class_label,
                    "period": period,
                    "date": date,
                    "problem": problem,
                }
            )
        _decide(desk, date, lesson, substitute, BY_HAND)


def no_cover(desk: Record, date: datetime.date, absent_teacher: str, period: int) -> None:
    with desk.writing():
        lesson = absent_lesson(desk, absences.day(desk, date), absent_teacher, period)
        _decide(desk, date, lesson, None, NO_COVER)


def release(desk: Record, date: datetime.date, absent_teacher: str, period: int) -> CoverRecord:
    """Take back the record's cover (or no-cover decision) of a lesson."""
    with desk.writing():
        school.known(desk, absent_teacher)
        row = next(
            (
                r
                for r in rules.covers(desk, date)
                if (r.teacher, r.period) == (absent_teacher, period)
                and (r.substitute is not None or r.how == NO_COVER)
            ),
            None,
        )
        if row is None:
            raise DeskError(
                _(
                    "nothing to release: the record has no cover of %(teacher)s's lesson "
                    "in period %(period)s on %(date)s"
                )
                % {"teacher": absent_teacher, "period": period, "date": date}
            )
        desk.connection.execute(
            "DELETE FROM cover WHERE day = ? AND teacher = ? AND period = ?",
            (day_text(date), absent_teacher, period),
        )
    return row


def _decide(
    desk: Record, date: datetime.date, lesson: Lesson, substitute: str | None, how: str
) -> None:
    desk.connection.execute(
        "INSERT INTO cover (day, teacher, period, classes, room, substitute, how, decided_at) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (day, teacher, period) DO UPDATE SET "
        "classes = excluded.classes, room = excluded.room, substitute = excluded.substitute, "
        "how = excluded.how, decided_at = excluded.decided_at",
        (
            day_text(date),
            lesson.teacher,
            lesson.period,
            lesson.class_label,
            lesson.room,
            substitute,
            how,
            now(),
        ),
    )


def set_work(desk: Record, date: datetime.date, teacher: str, period: int, work: str) -> None:
    """The work an absent teacher sets for a lesson ("" takes it away)."""
    # A textarea sends its lines as CRLF; the record keeps line feeds.
    work = work.replace("\r\n", "\n").strip()
    if len(work) > publishing.WORK_LIMIT:
        raise DeskError(
            _("set work is longer than %(limit)s characters") % {"limit": publishing.WORK_LIMIT}
        )
    if not work.replace("\n", " ").isprintable():
        raise DeskError(_("set work holds control characters; write plain text or a link"))
    with desk.writing():
        absent_lesson(desk, absences.day(desk, date), teacher, period)
        if work:
            desk.connection.execute(
                "INSERT INTO set_work (day, teacher, period, work) VALUES (?, ?, ?, ?) "
                "ON CONFLICT (day, teacher, period) DO UPDATE SET work = excluded.work",
                (day_text(date), teacher, period, work),
            )
        else:
            desk.connection.execute(
                "DELETE FROM set_work WHERE day = ? AND teacher = ? AND period = ?",
                (day_text(date), teacher, period),
            )
