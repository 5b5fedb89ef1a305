"""The day's plan with the record's rules, and publishing it: the plan is
always the module's answer, planned inside the publish's own transaction so
a second publisher waits and plans on top of the first (or, after the busy
timeout, is refused with a message), never in between. Also the day as
published, read back as a plan."""

from __future__ import annotations

import datetime
from dataclasses import replace
from typing import TYPE_CHECKING

from rotavel_app.desk import absences, publishing, rules
from rotavel_app.desk.record import day_text, now
from rotavel_app.planning.plan import TEAM, AbsentLesson, Plan, Rules, make_plan
from rotavel_app.school.day import Lesson

if TYPE_CHECKING:
    from rotavel_app.desk.record import Record
    from rotavel_app.desk.rules import CoverRecord


def plan(desk: Record, date: datetime.date, timetable_day: str | None = None) -> tuple[Plan, Rules]:
    """The day's plan and the rules it was made with, inside the caller's transaction."""
    day = absences.day(desk, date, timetable_day)
    made, notes = rules.rules(desk, day)
    if notes:
        day = replace(day, notes=day.notes + tuple(notes))
    return make_plan(day, made), made


def plan_and_rules(desk: Record, date: datetime.date, given: Plan | None) -> tuple[Plan, Rules]:
    """The day's plan (or `given`, made already) and the rules it was made with."""
    with desk.reading():
        if given is None:
            return plan(desk, date)
        # a publish changes the decisions, not the window, caps or flags
        return given, rules.rules(desk, given.day)[0]


def against_published(desk: Record, day: str, made: Plan) -> list[publishing.Change] | None:
    """What people would be shown differently were `made` published: the plan
    compared with the day as published; None for a day not published yet.
    Inside the caller's transaction."""
    if revision(desk, day) is None:
        return None
    told = {key: lesson for key, (lesson, _) in publishing.published(desk.connection, day).items()}
    return publishing.diff(told, publishing.wanted(desk.connection, day, made))


def store(desk: Record, date: datetime.date, made: Plan, by: str = "command") -> None:
    """Store `made` as the day's draft and publish it, inside the caller's transaction."""
    db = desk.connection
    day = day_text(date)
    old = {(r.teacher, r.period): r for r in rules.covers(desk, date)}
    wanted = [
        rules.CoverRecord(
            date,
            a.lesson.teacher,
            a.lesson.period,
            a.lesson.class_label,
            a.lesson.room,
            a.substitute,
            a.how,
        )
        for a in made.absent_lessons
    ]
    changed = [r for r in wanted if old.get((r.teacher, r.period)) != r]
    gone = old.keys() - {(r.teacher, r.period) for r in wanted}
    if not changed and not gone and against_published(desk, day, made) == []:
        return  # published as it is already: nothing to store, nothing for others to see
    at = now()
    db.executemany(
        "INSERT INTO cover (day, teacher, period, classes, room, substitute, how, "
        "decided_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
        "ON CONFLICT (day, teacher, period) DO UPDATE SET classes = excluded.classes, "
        "room = excluded.room, substitute = excluded.substitute, how = excluded.how, "
        "decided_at = excluded.decided_at",
        [(day, r.teacher, r.period, r.classes, r.room, r.substitute, r.how, at) for r in changed],
    )
    db.executemany(
        "DELETE FROM cover WHERE day = ? AND teacher = ? AND period = ?",
        [(day, teacher, period) for teacher, period in sorted(gone)],
    )
    # What people are shown, and whom to tell, changes only with what they are shown.
    shown = publishing.wanted(db, day, made)
    publishing.store(db, day, shown, at, by, tell=desk.settings.mail is not None)


def revision(desk: Record, day: str) -> int | None:
    """The day's last published revision, or None; inside the caller's transaction."""
    row = desk.connection.execute(
        "SELECT revision FROM published_day WHERE day = ?", (day,)
    ).fetchone()
    return None if row is None else int(row[0])


def published(desk: Record, date: datetime.date) -> list[CoverRecord]:
    """The day's absent lessons as last published (what people are shown),
    inside the caller's transaction."""
    rows = publishing.published(desk.connection, day_text(date))
    return [
        rules.CoverRecord(date, teacher, period, s.classes, s.room, s.substitute, s.how)
        for (teacher, period), (s, _revision) in rows.items()
    ]


def published_plan(desk: Record, date: datetime.date) -> Plan | None:
    """The day as published, as a plan; None for a day not published. Read in
    one snapshot, so a publish meanwhile cannot mix two revisions."""
    with desk.reading():
        if revision(desk, day_text(date)) is None:
            return None
        day = absences.day(desk, date)
        covers = published(desk, date)
    lessons = {(x.teacher, x.period): x for x in day.lessons}
    items = []
    for cover in covers:
        member = day.staff.get(cover.teacher)
        lesson = lessons.get((cover.teacher, cover.period)) or Lesson(
            cover.teacher, cover.period, (cover.classes,), cover.room
        )
        team: tuple[str, ...] = ()
        if cover.how == TEAM:
            team = tuple(
                t for t in lesson.team if t in day.staff and not day.staff[t].out_in(cover.period)
            )
        items.append(
            AbsentLesson(
                lesson,
                member.subject if member else "",
                member.reason if member else "",
                cover.substitute,
                cover.how,
                team,
            )
        )
    return Plan(day, tuple(items))
