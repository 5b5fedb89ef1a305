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

from rotavel_cli.plan import AbsentLesson, Plan
from rotavel_cli.school_files import WEEKDAYS, SchoolDay, _weekday
from rotavel_cli.subjects import spelling_key

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
            return separator.join(self.shown) + f" and {self.more} more"
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
    present: int  # how many teachers are in today
    free: Shortened  # present teachers with nothing to do in that period

    @property
    def nobody_free(self) -> str:
        if self.free:
            return f"Free in period {self.period} but not given this lesson: {self.free.joined()}."
        return (
            f"No teacher of any subject was free: all {plural(self.present, 'present teacher')}"
            f" were teaching or covering in period {self.period}."
        )


def explain(plan: Plan) -> list[Explanation]:
    """Why each uncovered lesson stayed uncovered, one explanation per
    subject and period."""
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

    by_subject: defaultdict[str, list[str]] = defaultdict(list)
    for member in day.staff.values():
        by_subject[member.subject].append(member.name)
    present = [m.name for m in day.staff.values() if m.present]
    free: dict[int, Shortened] = {}

    def free_in(period: int) -> Shortened:
        if period not in free:
            free[period] = Shortened.of([n for n in present if (n, period) not in busy])
        return free[period]

    groups: dict[tuple[int, str], list[AbsentLesson]] = {}
    for gap in by_period(plan.uncovered):
        groups.setdefault((gap.lesson.period, gap.subject), []).append(gap)
    explanations = []
    for number, ((period, subject), gaps) in enumerate(groups.items(), start=1):
        colleagues = Shortened.of(by_subject[subject])
        explanations.append(
            Explanation(
                number,
                subject,
                period,
                tuple(gaps),
                tuple((name, doing(name, period)) for name in colleagues.shown),
                colleagues.more,
                len(present),
                free_in(period),
            )
        )
    return explanations


def class_key(label: str) -> tuple[tuple[int, str], ...]:
    """Sorts classes as people do: 6A, 9B, 10A, 10A+10B, 11C."""
    parts = _DIGITS.split(label)
    return tuple(
        (int(part) if index % 2 else 0, part.casefold()) for index, part in enumerate(parts)
    ) + ((0, label),)


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
    weekday = WEEKDAYS[day.date.weekday()]
    text = f"{weekday} {day.date.day} {day.date:%B %Y}"
    if day.day and not _weekday(spelling_key(weekday), {spelling_key(day.day): day.day}):
        text += f" ({day.day})"  # the timetable's own name for it, e.g. "Day 3"
    return text


def plural(number: int, noun: str) -> str:
    return f"{number} {noun}" + ("" if number == 1 else "s")
