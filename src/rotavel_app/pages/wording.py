"""What every rendering of the plan for people says the same way: the day,
the order of lessons and substitutes, and why lessons stayed uncovered.

An explanation says what is common to the uncovered lessons of one subject
in one period once, and shortens long lists of names, so its length grows
with the school and not with the school times the number of gaps.
"""

from __future__ import annotations

import re
from collections import defaultdict
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from rotavel_app.language import _, date_text, ngettext
from rotavel_app.planning.plan import AbsentLesson, Plan
from rotavel_app.school.day import Lesson, SchoolDay, StaffMember, periods_text
from rotavel_app.school.weekdays import read_days

# Names shown before a long list is cut short with "and N more".
LIST_LIMIT = 8

_DIGITS = re.compile(r"(\d+)")


@dataclass(frozen=True)
class Shortened:
    """The first items of a list and how many were left out."""

    shown: tuple[str, ...]
    more: int

    @classmethod
    def of(cls, items: Sequence[str], limit: int = LIST_LIMIT) -> Shortened:
        # One item is never cut: "and 1 more" takes the room of the item itself.
        if len(items) <= limit + 1:
            return cls(tuple(items), 0)
        return cls(tuple(items[:limit]), len(items) - limit)

    def __len__(self) -> int:
        return len(self.shown) + self.more

    def joined(self, separator: str = ", ") -> str:
        """E.g. "a, b and 3 more"; the items as given (escape them first)."""
        if self.more:
            return _("%(items)s and %(more)s more") % {
                "items": separator.join(self.shown),
                "more": self.more,
            }
        return separator.join(self.shown)


@dataclass(frozen=True)
class Explanation:
    """Why the lessons of one subject in one period stayed uncovered."""

    number: int  # from 1, in period order, to refer to it
    subject: str
    period: int
    gaps: tuple[AbsentLesson, ...]  # by class
    whereabouts: tuple[tuple[str, str], ...]  # (teacher of the subject, what they do then)
    more_colleagues: int  # teachers of the subject left out of whereabouts
    present: int  # how many teachers are in school in that period
    free: Shortened  # present teachers with nothing to do in that period


def by_period_notes(explanations: Sequence[Explanation]) -> list[list[Explanation]]:
    """The explanations of each period together, in period order."""
    periods: dict[int, list[Explanation]] = {}
    for why in explanations:
        periods.setdefault(why.period, []).append(why)
    return list(periods.values())


def who_was_free(whys: Sequence[Explanation], period_named: bool = False) -> str:
    """Who else was free in one period, said once for all its uncovered
    subjects; with `period_named`, the sentence says which period."""
    why = whys[0]
    values = {"period": why.period, "names": why.free.joined(), "present": why.present}
    lessons = sum(len(w.gaps) for w in whys)
    if why.free:
        if period_named:
            text = ngettext(
                "Free in period %(period)s but not given this lesson: %(names)s.",
                "Free in period %(period)s but not given these lessons: %(names)s.",
                lessons,
            )
        else:
            text = ngettext(
                "Free but not given this lesson: %(names)s.",
                "Free but not given these lessons: %(names)s.",
                lessons,
            )
    elif why.present == 0:
        if period_named:
            text = _("No teacher was in school in period %(period)s.")
        else:
            text = _("No teacher was in school.")
    elif period_named:
        text = ngettext(
            "No teacher of any subject was free: the one teacher in school was "
            "teaching or covering in period %(period)s.",
            "No teacher of any subject was free: all %(present)s teachers in school "
            "were teaching or covering in period %(period)s.",
            why.present,
        )
    else:
        text = ngettext(
            "No teacher of any subject was free: the one teacher in school was "
            "teaching or covering.",
            "No teacher of any subject was free: all %(present)s teachers in school "
            "were teaching or covering.",
            why.present,
        )
    return text % values


def colleagues_heading(why: Explanation) -> str:
    """E.g. "Maths teachers", in the number there are."""
    colleagues = len(why.whereabouts) + why.more_colleagues
    return ngettext("%(subject)s teacher", "%(subject)s teachers", colleagues) % {
        "subject": why.subject
    }


def explain(plan: Plan, reasons: bool = True) -> list[Explanation]:
    """Why each uncovered lesson stayed uncovered, one explanation per
    subject and period; absence reasons only with `reasons`."""
    day = plan.day
    groups: dict[tuple[int, str], list[AbsentLesson]] = {}
    for gap in by_period(plan.uncovered):
        key = day.staff[gap.lesson.teacher].subject_key
        groups.setdefault((gap.lesson.period, key), []).append(gap)
    if not groups:
        return []
    # Only the periods with gaps matter, and of each teacher only what they
    # do then: a large school's day has a million lessons, and a text for
    # each would take many times the memory of the school itself.
    periods = {period for period, _ in groups}
    lessons: defaultdict[str, list[Lesson]] = defaultdict(list)
    busy: dict[int, set[str]] = {period: set() for period in periods}
    for lesson in day.lessons:
        if lesson.period in periods:
            lessons[lesson.teacher].append(lesson)
            busy[lesson.period].add(lesson.teacher)
    covering: defaultdict[str, list[Lesson]] = defaultdict(list)
    for cover in plan.covers:
        if cover.lesson.period in periods:
            covering[cover.substitute or ""].append(cover.lesson)
            busy[cover.lesson.period].add(cover.substitute or "")

    def doing(name: str, period: int) -> str:
        member = day.staff[name]
        if not member.in_school:
            return _("not in today")
        if member.away_in(period):
            if member.reason and reasons:
                return _("absent (%(reason)s)") % {"reason": member.reason}
            return _("absent")
        what = dict.fromkeys(
            [
                _("teaching %(class)s") % {"class": x.class_label}
                for x in lessons.get(name, ())
                if x.period == period
            ]
            + [
                _("covering %(class)s for %(teacher)s")
                % {"class": x.class_label, "teacher": x.teacher}
                for x in covering.get(name, ())
                if x.period == period
            ]
        )
        return _(" and ").join(what) or _("free")

    by_subject: defaultdict[str, list[str]] = defaultdict(list)
    for member in day.staff.values():
        by_subject[member.subject_key].append(member.name)
    free: dict[int, tuple[int, Shortened]] = {}

    def free_in(period: int) -> tuple[int, Shortened]:
        if period not in free:
            present = [m.name for m in day.staff.values() if not m.out_in(period)]
            free[period] = (
                len(present),
                Shortened.of([n for n in present if n not in busy[period]]),
            )
        return free[period]

    explanations = []
    for number, ((period, key), gaps) in enumerate(groups.items(), start=1):
        colleagues = Shortened.of(by_subject[key])
        present, free_now = free_in(period)
        explanations.append(
            Explanation(
                number,
                gaps[0].subject,
                period,
                tuple(gaps),
                tuple((name, doing(name, period)) for name in colleagues.shown),
                colleagues.more,
                present,
                free_now,
            )
        )
    return explanations


def away_text(member: StaffMember, day: SchoolDay) -> str:
    """When a member of staff is out: "all day", "periods 1–2", "not in today"."""
    if not member.in_school:
        return _("not in today")
    if member.away is None:
        return _("all day")
    return ngettext("period %(periods)s", "periods %(periods)s", len(member.away)) % {
        "periods": periods_text(member.away)
    }


def class_key(label: str) -> tuple[tuple[int, int, str], ...]:
    """Sorts classes as people do: 6A, 9B, 10A, 10A+10B, 11C. A run of digits
    is compared by its length without leading zeros, then as text: the same
    order as its value, with no conversion of thousands of digits."""
    parts = _DIGITS.split(label)
    return tuple(
        (len(part.lstrip("0")), 0, part.lstrip("0")) if index % 2 else (0, 0, part.casefold())
        for index, part in enumerate(parts)
    ) + ((0, 0, label),)


def name_key(name: str) -> tuple[str, str]:
    return (name.casefold(), name)


def by_period(lessons: Iterable[AbsentLesson]) -> list[AbsentLesson]:
    """Absent lessons by period, then class."""
    return sorted(lessons, key=lambda a: (a.lesson.period, class_key(a.lesson.class_label)))


def by_substitute(plan: Plan) -> list[tuple[str, list[AbsentLesson]]]:
    """Each substitute, in name order, with their covers by period."""
    covers: defaultdict[str, list[AbsentLesson]] = defaultdict(list)
    for cover in by_period(plan.covers):
        covers[cover.substitute or ""].append(cover)
    return sorted(covers.items(), key=lambda item: name_key(item[0]))


def day_label(day: SchoolDay) -> str | None:
    """The day planned as people write it, e.g. "Tuesday 8 December 2026",
    or None when neither a day nor a date is known."""
    if day.date is None:
        return day.day
    text = date_text(day.date)
    if day.day and read_days([day.day]).get(day.day) != day.date.weekday():
        text += f" ({day.day})"  # the timetable's own name for it, e.g. "Day 3"
    return text


def plural(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")
