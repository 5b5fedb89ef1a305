"""Views of a day for the cover manager: who is free in each period and in
what order the planner asks them, whom it would ask for one lesson, why a
teacher covers what they cover, and covers per teacher over a range."""

from __future__ import annotations

import datetime
from collections import Counter
from collections.abc import Mapping
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING

from rotavel_app.desk import plans, rules, school
from rotavel_app.desk.record import DeskError, day_text
from rotavel_app.desk.rules import StaffRule
from rotavel_app.language import _, ngettext
from rotavel_app.pages.wording import name_key
from rotavel_app.planning.fair import ask_order
from rotavel_app.planning.plan import AbsentLesson, Plan, Rules

if TYPE_CHECKING:
    from rotavel_app.desk.record import Record


@dataclass(frozen=True)
class FreeTeacher:
    name: str
    subject: str
    covers_today: int
    covers_in_window: int
    load: int = 0  # lessons and covers that day
    # "last resort", "at a cap of 2 a day", "not on Fridays", "never covers"; "" for a candidate
    note: str = ""
    first: bool = False  # of the lesson's subject, asked before the rest (within the margin)
    # False: never asked that day (never covers, or not on this weekday), whatever the note's language
    asked: bool = True


@dataclass(frozen=True)
class WhyMe:
    """One teacher's covers against fair shares, for "why me?"."""

    name: str
    window_start: datetime.date
    covers_in_window: int  # before the day asked about
    fair_share: Fraction  # the window's covers shared pro rata among the staff
    days_in: Fraction  # share of the week in school
    cap_left: int | None  # covers the day's caps still allow; None: no cap
    flags: tuple[str, ...]
    today: tuple[AbsentLesson, ...]  # the day's covers, each with its reason
    earlier: tuple[
        tuple[datetime.date, str, int, str, str], ...
    ]  # day, teacher, period, classes, how


def _not_on(weekday: int) -> str:
    """A free-list note: the teacher covers on other weekdays only."""
    return (
        _("not on Mondays"),
        _("not on Tuesdays"),
        _("not on Wednesdays"),
        _("not on Thursdays"),
        _("not on Fridays"),
        _("not on Saturdays"),
        _("not on Sundays"),
    )[weekday]


def _does_not_cover_on(weekday: int) -> str:
    """A rule of "why me?": the teacher covers on other weekdays only."""
    return (
        _("does not cover on Mondays"),
        _("does not cover on Tuesdays"),
        _("does not cover on Wednesdays"),
        _("does not cover on Thursdays"),
        _("does not cover on Fridays"),
        _("does not cover on Saturdays"),
        _("does not cover on Sundays"),
    )[weekday]


# Where the planner puts a free teacher: asked, asked last, or not asked
# (at a cap, then not on this weekday, then never), in that order.
_ASKED, _LAST_RESORT, _AT_CAP, _NOT_TODAY, _NEVER = range(5)


class FreeLists:
    """Who is free in each period once a plan is made, in the planner's order;
    `leave_out` a lesson's cover, as if that lesson were open again."""

    def __init__(
        self,
        plan: Plan,
        rules: Rules,
        staff_rules: Mapping[str, StaffRule],
        leave_out: AbsentLesson | None = None,
    ) -> None:
        day = plan.day
        self.day, self.rules = day, rules
        staff = day.staff
        covers = [a for a in plan.covers if a is not leave_out]
        self.today: Counter[str] = Counter(a.substitute for a in covers if a.substitute)
        busy = {(x.teacher, x.period) for x in day.lessons if not staff[x.teacher].out_in(x.period)}
        self.load: Counter[str] = Counter(teacher for teacher, _period in busy)
        for cover in covers:
            assert cover.substitute is not None
            busy.add((cover.substitute, cover.lesson.period))
            self.load[cover.substitute] += 1
        self.busy = busy
        self.order = {name: number for number, name in enumerate(staff)}
        date = day.date
        self.notes = {name: self._note(name, staff_rules.get(name), date) for name in staff}
        self.weighed, self.scale = rules.weighed(staff, self.today)
        self.subject_of = {name: member.subject_key for name, member in staff.items()}

    def _note(
        self, name: str, rule: StaffRule | None, date: datetime.date | None
    ) -> tuple[int, str]:
        """Where the planner puts the teacher, and the note that says why."""
        rules = self.rules
        if name in rules.never:
            if rule is not None and not rule.never and date is not None:
                return _NOT_TODAY, _not_on(date.weekday())
            return _NEVER, _("never covers")
        cap = rules.cap_day.get(name)
        if cap is not None and self.today[name] >= cap:
            # A cap of none left is the week's used up (or a day cap of 0), not today's covers.
            if cap:
                text = ngettext(
                    "at a cap (%(count)s cover today)", "at a cap (%(count)s covers today)", cap
                )
                return _AT_CAP, text % {"count": cap}
            return _AT_CAP, _("at a cap")
        if name in rules.last_resort:
            return _LAST_RESORT, _("last resort")
        return _ASKED, ""

    def ranked(self, period: int, subject: str | None = None) -> list[FreeTeacher]:
        staff = self.day.staff
        subject_of = self.subject_of
        names = [
            n for n, m in staff.items() if not m.out_in(period) and (n, period) not in self.busy
        ]
        names.sort(key=lambda n: (self.weighed[n], self.load[n], self.order[n]))
        place = {n: self.notes[n][0] for n in names}
        asked = [n for n in names if place[n] == _ASKED]
        held = [n for n in names if place[n] == _LAST_RESORT]
        first: list[str] = []
        if subject is not None and self.rules.margin is not None:
            # Last-resort staff are asked the same way, once nobody else is free.
            margin = self.rules.margin * self.scale
            groups = []
            for group in (asked, held):
                mine, rest = ask_order(
                    group, lambda n: subject_of[n] == subject, self.weighed.__getitem__, margin
                )
                first += mine
                groups.append(mine + rest)
            asked, held = groups
        out = sorted((n for n in names if place[n] > _LAST_RESORT), key=place.__getitem__)
        return [
            FreeTeacher(
                n,
                staff[n].subject,
                self.today[n],
                self.rules.covers_in_window.get(n, 0),
                self.load[n],
                self.notes[n][1],
                n in first,
                self.notes[n][0] < _NOT_TODAY,
            )
            for n in asked + held + out
        ]


def _staff_rules(desk: Record) -> dict[str, StaffRule]:
    with desk.reading():
        return rules.staff_rules(desk)


def free(desk: Record, date: datetime.date, plan: Plan | None) -> dict[int, list[FreeTeacher]]:
    plan, made = plans.plan_and_rules(desk, date, plan)
    lists = FreeLists(plan, made, _staff_rules(desk))
    return {period: lists.ranked(period) for period in plan.day.periods}


def offers(
    desk: Record, date: datetime.date, plan: Plan | None
) -> dict[tuple[int, str], list[FreeTeacher]]:
    plan, made = plans.plan_and_rules(desk, date, plan)
    lists = FreeLists(plan, made, _staff_rules(desk))
    staff = plan.day.staff
    keys = dict.fromkeys(
        (a.lesson.period, staff[a.lesson.teacher].subject_key) for a in plan.absent_lessons
    )
    return {(p, key): lists.ranked(p, key) for p, key in keys}


def suggestions(
    desk: Record, date: datetime.date, teacher: str, period: int, plan: Plan | None
) -> list[FreeTeacher]:
    plan, made = plans.plan_and_rules(desk, date, plan)
    item = next(
        (
            a
            for a in plan.absent_lessons
            if (a.lesson.teacher, a.lesson.period) == (teacher, period)
        ),
        None,
    )
    if item is None:
        raise DeskError(
            _("%(teacher)s has no absent lesson in period %(period)s on %(date)s")
            % {"teacher": teacher, "period": period, "date": date}
        )
    lists = FreeLists(plan, made, _staff_rules(desk), leave_out=item)
    return lists.ranked(period, plan.day.staff[teacher].subject_key)


def why(desk: Record, date: datetime.date, name: str, plan: Plan | None) -> WhyMe:
    school.known(desk, name)
    plan, made = plans.plan_and_rules(desk, date, plan)
    staff_rule = _staff_rules(desk).get(name, StaffRule())
    with desk.reading():
        start = rules.desk_window_start(desk, date)
        before = date - datetime.timedelta(1)
        window = rules.counts(desk, start, before)
        rows = desk.connection.execute(
            "SELECT day, teacher, period, classes, how FROM cover WHERE substitute = ? "
            "AND day >= ? AND day <= ? ORDER BY day, period",
            (name, day_text(start), day_text(before)),
        ).fetchall()
    names = list(plan.day.staff)
    days_in = dict(made.days_in)
    weight = sum(days_in.get(n, Fraction(1)) for n in names) or Fraction(1)
    total = sum(window.get(n, 0) for n in names)
    today = [a for a in plan.covers if a.substitute == name]
    cap = made.cap_day.get(name)
    flags = []
    if staff_rule.never:
        flags.append(_("never covers"))
    elif staff_rule.never_on(date):
        flags.append(_does_not_cover_on(date.weekday()))
    if staff_rule.last_resort:
        flags.append(_("last resort"))
    return WhyMe(
        name=name,
        window_start=start,
        covers_in_window=window.get(name, 0),
        fair_share=Fraction(total) * days_in.get(name, Fraction(1)) / weight,
        days_in=days_in.get(name, Fraction(1)),
        cap_left=None if cap is None else max(0, cap - len(today)),
        flags=tuple(flags),
        today=tuple(today),
        earlier=tuple((datetime.date.fromisoformat(d), t, p, c, how) for d, t, p, c, how in rows),
    )


def history(desk: Record, first: datetime.date, last: datetime.date) -> list[tuple[str, int]]:
    if last < first:
        raise DeskError(
            _("the range ends (%(last)s) before it starts (%(first)s)")
            % {"last": last, "first": first}
        )
    names = [row.name for row in school.week(desk).staff]
    with desk.reading():
        counted = rules.counts(desk, first, last)
    every = dict.fromkeys(names, 0) | counted
    return sorted(every.items(), key=lambda item: (-item[1], name_key(item[0])))
