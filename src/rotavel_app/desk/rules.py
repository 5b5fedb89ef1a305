"""The rules the desk keeps and hands to planning: staff rules (never asked,
last resort, their own caps, the weekdays they cover on), the school's caps,
the covers so far in its window for fair shares, and the decisions of the
record that still hold.

Nothing here chooses a substitute: every rule becomes part of the school
handed to the module through `plan.Rules`.
"""

from __future__ import annotations

import datetime
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass, replace
from fractions import Fraction
from typing import TYPE_CHECKING

from rotavel_app.desk import school
from rotavel_app.desk.record import DeskError, day_text, numbers, read_numbers
from rotavel_app.language import _
from rotavel_app.messages import shown
from rotavel_app.planning.plan import BY_HAND, PLANNED, TEAM, Decision, Rules
from rotavel_app.school.calendar import Calendar, TimetableDays
from rotavel_app.school.day import Lesson, SchoolDay, StaffMember
from rotavel_app.school.settings import SETTINGS_FILE, Settings

if TYPE_CHECKING:
    from typing import Any

    from rotavel_app.desk.record import Record
    from rotavel_app.files import StrPath


@dataclass(frozen=True)
class StaffRule:
    never: bool = False  # never asked to cover
    last_resort: bool = False  # asked only for what nobody else can take
    cap_day: int | None = None  # None: the school's setting
    cap_week: int | None = None
    days: frozenset[int] | None = None  # weekdays they may cover on (Monday 0); None: every day

    def never_on(self, date: datetime.date) -> bool:
        return self.never or (self.days is not None and date.weekday() not in self.days)


@dataclass(frozen=True)
class CoverRecord:
    """One absent lesson as the record holds it."""

    date: datetime.date
    teacher: str  # the absent teacher
    period: int
    classes: str
    room: str
    substitute: str | None
    how: str  # plan.PLANNED, BY_HAND, NO_COVER or TEAM


def covers(desk: Record, date: datetime.date) -> list[CoverRecord]:
    """The day's absent lessons as the desk has them now (its draft), inside the
    caller's transaction."""
    rows = desk.connection.execute(
        "SELECT teacher, period, classes, room, substitute, how FROM cover WHERE day = ? "
        "ORDER BY rowid",
        (day_text(date),),
    )
    return [CoverRecord(date, *row) for row in rows]


# Unset arguments of set_staff_rule keep what the record has.
KEEP: Any = object()


# The longest cycle of school days a window may count back over: a school year
# and more. A longer one is a typing slip, and counting it back day by day
# would run for minutes and off the calendar.
MAX_CYCLE_DAYS = 400


def window_start(
    settings: Settings,
    date: datetime.date,
    where: StrPath = SETTINGS_FILE,
    calendar: Calendar | None = None,
) -> datetime.date:
    """The first day of the school's window for fair shares that ends with `date`:
    the first day of its school week, the first of the last `cycle_days` school
    days (its weekdays, less closures), or the start of term."""
    calendar = calendar or Calendar(frozenset(range(5)), settings.closed)
    if settings.window == "week":
        return calendar.week_start(date)
    if settings.window == "cycle":
        if settings.cycle_days > MAX_CYCLE_DAYS:
            raise DeskError(
                _(
                    "%(where)s: cycle_days = %(cycle_days)s is longer than a school year (at most %(most)s school days)"
                )
                % {"where": where, "cycle_days": settings.cycle_days, "most": MAX_CYCLE_DAYS}
            )
        return calendar.back(date, settings.cycle_days)
    if settings.term_start is None:
        raise DeskError(
            _('%(where)s: window = "term" needs term_start (e.g. "2026-01-05")') % {"where": where}
        )
    try:
        start = datetime.date.fromisoformat(settings.term_start)
    except ValueError:
        raise DeskError(
            _("%(where)s: term_start %(term_start)s is not a date written YYYY-MM-DD")
            % {"where": where, "term_start": shown(settings.term_start)}
        ) from None
    return min(start, date)


def desk_window_start(desk: Record, date: datetime.date) -> datetime.date:
    """The desk's school's window for fair shares that ends with `date`."""
    where = os.path.join(desk.folder, SETTINGS_FILE)
    return window_start(desk.settings, date, where, school.calendar(desk))


def staff_rules(desk: Record) -> dict[str, StaffRule]:
    """Every teacher's rule the record has, inside the caller's transaction."""
    rows = desk.connection.execute(
        "SELECT name, never, last_resort, cap_day, cap_week, days FROM staff_rule ORDER BY name"
    )
    return {
        name: StaffRule(bool(never), bool(last_resort), cap_day, cap_week, read_numbers(days))
        for name, never, last_resort, cap_day, cap_week, days in rows
    }


def set_staff_rule(desk: Record, name: str, **changes: Any) -> StaffRule:
    """Change a teacher's rule; what is KEEP stays. Returns the rule now."""
    school.known(desk, name)
    for label in ("cap_day", "cap_week"):
        cap = changes[label]
        if cap is not KEEP and cap is not None and (not isinstance(cap, int) or cap < 0):
            raise DeskError(
                _("%(label)s must be a whole number, 0 or more, not %(cap)s")
                % {"label": label, "cap": repr(cap)}
            )
    days = changes["days"]
    if days is not KEEP and days is not None and not set(days) <= set(range(7)):
        raise DeskError(
            _("days must be weekday numbers from 0 (Monday) to 6, not %(days)s")
            % {"days": sorted(days)}
        )
    with desk.writing():
        rule = staff_rules(desk).get(name, StaffRule())
        rule = replace(rule, **{key: value for key, value in changes.items() if value is not KEEP})
        if rule == StaffRule():
            desk.connection.execute("DELETE FROM staff_rule WHERE name = ?", (name,))
        else:
            desk.connection.execute(
                "INSERT INTO staff_rule (name, never, last_resort, cap_day, cap_week, days) "
                "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (name) DO UPDATE SET "
                "never = excluded.never, last_resort = excluded.last_resort, "
                "cap_day = excluded.cap_day, cap_week = excluded.cap_week, days = excluded.days",
                (
                    name,
                    int(rule.never),
                    int(rule.last_resort),
                    rule.cap_day,
                    rule.cap_week,
                    numbers(rule.days),
                ),
            )
    return rule


def counts(
    desk: Record, first: datetime.date, last: datetime.date, leave_out: datetime.date | None = None
) -> dict[str, int]:
    """Covers per substitute from `first` to `last`, without the day `leave_out`."""
    rows = desk.connection.execute(
        "SELECT substitute, count(*) FROM cover WHERE day >= ? AND day <= ? AND day != ? "
        "AND substitute IS NOT NULL GROUP BY substitute",
        (day_text(first), day_text(last), day_text(leave_out) if leave_out else ""),
    )
    return dict(rows.fetchall())


def rules(desk: Record, day: SchoolDay) -> tuple[Rules, list[str]]:
    """What the record adds to planning `day`, and a note for each of its
    decisions that no longer holds; inside the caller's transaction."""
    date = day.date
    assert date is not None
    settings = desk.settings
    before = date - datetime.timedelta(1)
    window = counts(desk, desk_window_start(desk, date), before)
    kept = staff_rules(desk)
    monday = school.calendar(desk).week_start(date)  # the school week's first day
    week: dict[str, int] | None = None
    cap_day: dict[str, int] = {}
    for name in day.staff:
        rule = kept.get(name, StaffRule())
        day_cap = rule.cap_day if rule.cap_day is not None else settings.cap_day
        week_cap = rule.cap_week if rule.cap_week is not None else settings.cap_week
        caps = [] if day_cap is None else [day_cap]
        if week_cap is not None:
            if week is None:  # the week's other days, published before or after this one
                week = counts(desk, monday, monday + datetime.timedelta(6), leave_out=date)
            caps.append(max(0, week_cap - week.get(name, 0)))
        if caps:
            cap_day[name] = min(caps)
    staff = day.staff
    never = frozenset(n for n, r in kept.items() if n in staff and r.never_on(date))
    last_resort = frozenset(n for n, r in kept.items() if n in staff and r.last_resort)
    decided, notes = _decided(desk, day)
    # Fair shares need a record to remember them; without one the desk
    # plans as the command does.
    fair = desk.path is not None
    return Rules(
        covers_in_window={n: c for n, c in window.items() if n in staff},
        cap_day=cap_day,
        never=never,
        last_resort=last_resort - never,
        decided=decided,
        margin=settings.margin if fair else None,
        days_in=_days_in(desk) if fair else {},
    ), notes


def _days_in(desk: Record) -> dict[str, Fraction]:
    """Each part-timer's share of the timetable's days (3 days of 5 is
    3/5), read again only when the folder changes; full-timers are left out."""
    week = school.week(desk)
    if desk.kept.shares is not None and desk.kept.shares[0] is week:
        return desk.kept.shares[1]
    # The teacher list's days, else the days taught (staff who teach no
    # day are in every day), as the planned day tells who is in.
    days = TimetableDays(week)
    shares: dict[str, Fraction] = {}
    if not days.single:
        first = {s: d for d, spellings in days.groups.items() for s in spellings}
        taught: dict[str, set[str]] = {}
        for row in week.rows():
            taught.setdefault(row.teacher, set()).add(first[row.day])
        for member in week.staff:
            listed = [d.strip() for d in re.split(r"[,;/+]", member.days) if d.strip()]
            if member.days:
                days_in = sum(days.matches(day, listed) for day in days.groups)
            elif member.name in taught:
                days_in = len(taught[member.name])
            else:
                continue
            if 0 < days_in < len(days.groups):
                shares[member.name] = Fraction(days_in, len(days.groups))
    desk.kept.shares = (week, shares)
    return shares


def _decided(desk: Record, day: SchoolDay) -> tuple[dict[tuple[str, int], Decision], list[str]]:
    """The record's decisions for the day that still hold, and a note for
    each that does not (it is planned again, and dropped when published)."""
    assert day.date is not None
    lessons = {(lesson.teacher, lesson.period): lesson for lesson in day.lessons}
    staff = day.staff
    teaching_now = teaching(day)
    used: dict[tuple[str, int], CoverRecord] = {}
    decided: dict[tuple[str, int], Decision] = {}
    notes: list[str] = []
    # Hand decisions first: if two decisions ever give one teacher the same
    # period, the one made by hand stands.
    for cover in sorted(covers(desk, day.date), key=lambda r: r.how != BY_HAND):
        if cover.how == TEAM or (cover.how == PLANNED and cover.substitute is None):
            continue  # settled again by every plan
        key = (cover.teacher, cover.period)
        lesson = lessons.get(key)
        what = {"teacher": cover.teacher, "classes": cover.classes, "period": cover.period}
        if (
            lesson is None
            or cover.teacher not in staff
            or not staff[cover.teacher].out_in(cover.period)
        ):
            text = (
                _(
                    "%(teacher)s's %(classes)s in period %(period)s no longer needs cover; "
                    "the record's cover is dropped when the day is published"
                )
                if cover.substitute
                else _(
                    "%(teacher)s's %(classes)s in period %(period)s no longer needs cover; "
                    "the record's decision is dropped when the day is published"
                )
            )
            notes.append(text % what)
            continue
        substitute = cover.substitute
        if substitute is not None:
            problem = cannot_cover(staff, teaching_now, used, substitute, cover.period)
            if problem:
                notes.append(
                    _(
                        "%(teacher)s's %(classes)s in period %(period)s is planned again: "
                        "%(substitute)s %(problem)s"
                    )
                    % {**what, "substitute": substitute, "problem": problem}
                )
                continue
            used[substitute, cover.period] = cover
        decided[key] = Decision(substitute, cover.how)
    return decided, notes


def teaching(day: SchoolDay) -> dict[tuple[str, int], Lesson]:
    """(teacher, period) -> the lesson they give then, for teachers who are in."""
    staff = day.staff
    return {(x.teacher, x.period): x for x in day.lessons if not staff[x.teacher].out_in(x.period)}


def cannot_cover(
    staff: Mapping[str, StaffMember],
    teaching: Mapping[tuple[str, int], Lesson],
    covering: Mapping[tuple[str, int], CoverRecord],
    substitute: str,
    period: int,
) -> str:
    """Why `substitute` cannot take a lesson in `period`, or "" when free."""
    member = staff.get(substitute)
    if member is None:
        return _("is not on the teacher list")
    if not member.in_school:
        return _("is not in school that day")
    if member.away_in(period):
        if member.reason:
            return _("is absent in period %(period)s (%(reason)s)") % {
                "period": period,
                "reason": member.reason,
            }
        return _("is absent in period %(period)s") % {"period": period}
    lesson = teaching.get((substitute, period))
    if lesson is not None:
        return _("is teaching %(classes)s in period %(period)s") % {
            "classes": lesson.class_label,
            "period": period,
        }
    other = covering.get((substitute, period))
    if other is not None:
        return _("is already covering %(classes)s for %(teacher)s in period %(period)s") % {
            "classes": other.classes,
            "teacher": other.teacher,
            "period": period,
        }
    return ""
