"""The school's calendar: the timetable's days read as the school's week (weekdays in its
language, a morning and an afternoon as one day, a rotating cycle of numbered days), the
days it is closed, and which day of it a date is."""

from __future__ import annotations

import datetime
import re
from collections.abc import Container, Iterable
from dataclasses import dataclass

from rotavel_app.language import _, day_name
from rotavel_app.messages import InputError, shown
from rotavel_app.school.settings import Closure, Settings
from rotavel_app.school.week import LessonRow, LessonRows, Week
from rotavel_app.school.weekdays import (
    AFTERNOON,
    day_key,
    read_days,
    split_half,
    weekday_of,
)


@dataclass(frozen=True)
class DayWanted:
    """Which day of a weekly (or rotating) timetable to plan."""

    day: str | None = None  # --day, as typed
    date: datetime.date | None = None  # --date
    today: datetime.date | None = None  # used when neither is given
    # The caller can choose another day with --day, so a refusal may say so; the
    # desk keeps its record by date and has no such choice.
    offers_day: bool = True


def periods_of(week: Week, days: TimetableDays, settings: Settings) -> tuple[int, int] | None:
    """The first and last period of the school's day, any day of its week."""
    periods = [*settings.times, *days.period_names(week.period_names)]
    found = week.rows().period_range()
    if found is not None:
        periods += [found[0], found[1] + days.offset]
    # A day starts at period 1 (or earlier), however few lessons its first periods have.
    return (min(1, *periods), max(periods)) if periods else None


class TimetableDays:
    """The timetable's days: spellings of one day are one day (`Mon` and
    `Monday`), weekdays are read in the timetable's language, and the two
    halves of one weekday (`Dim M` and `Dim S`, Arabic's Sunday and Sunday 2) are one
    school day whose afternoon's periods follow the morning's."""

    def __init__(self, week: Week, settings: Settings | None = None) -> None:
        settings = settings or Settings()
        self.settings = settings
        self.source = week.lessons_source or week.source
        rows = week.rows()
        seen = rows.days()
        self.single = not seen or "" in seen
        spellings = [d for d in week.day_order if d in seen] + [
            d for d in seen if d and d not in week.day_order
        ]
        named = {day_key(k): v for k, v in settings.days.items()}
        read = read_days(s for s in spellings if day_key(s) not in named)
        halves: dict[str, tuple[str, int]] = {}
        for spelling in spellings:
            if spelling not in read and day_key(spelling) not in named:
                split = split_half(spelling)
                if split is not None:
                    halves[spelling] = split
        bases = read_days(base for base, _ in halves.values())
        self.weekday: dict[str, int] = {}
        self.half: dict[str, int] = {}  # spelling -> MORNING or AFTERNOON, where it says
        for spelling in spellings:
            if day_key(spelling) in named:
                weekday, half = named[day_key(spelling)]
                self.weekday[spelling] = weekday
                if half is not None:
                    self.half[spelling] = half
            elif spelling in read:
                self.weekday[spelling] = read[spelling]
            elif spelling in halves and halves[spelling][0] in bases:
                self.weekday[spelling] = bases[halves[spelling][0]]
                self.half[spelling] = halves[spelling][1]
            elif spelling in week.numbered_days:
                self.weekday[spelling] = week.numbered_days[spelling]
        self.groups: dict[str, list[str]] = {}  # the day's name -> every spelling of it
        firsts: dict[object, list[str]] = {}
        for spelling in spellings:
            key = (
                ("weekday", self.weekday[spelling])
                if spelling in self.weekday
                else day_key(spelling)
            )
            firsts.setdefault(key, []).append(spelling)
        for group in firsts.values():
            self.groups[self._label(group)] = group
        if not week.day_order:
            self.groups = self._in_order(self.groups)
        # The afternoon's periods come after the morning's: numbered on from
        # the longest half, so a period's number is the same every day.
        self.offset = 0
        if any(h == AFTERNOON for h in self.half.values()):
            found = rows.period_range()
            self.offset = max([*(found or ()), *week.period_names, 0])

    def _label(self, group: list[str]) -> str:
        """A day's name: its first spelling, or its halves' names joined."""
        if not any(self.half.get(s) == AFTERNOON for s in group):
            return group[0]
        morning = [s for s in group if self.half.get(s) != AFTERNOON]
        afternoon = [s for s in group if self.half.get(s) == AFTERNOON]
        return " + ".join(morning[:1] + afternoon[:1])

    def spellings_of(self, day: str | None) -> set[str]:
        return {""} if day is None else set(self.groups[day])

    def rows_of(
        self, rows: LessonRows, day: str | None, weeks: Container[str]
    ) -> Iterable[LessonRow]:
        """The day's rows, the afternoon's periods numbered after the morning's."""
        found = rows.of_days(self.spellings_of(day), weeks)
        if day is None or not any(self.half.get(s) == AFTERNOON for s in self.groups[day]):
            return found
        half, offset = self.half, self.offset
        return (
            row._replace(period=row.period + offset) if half.get(row.day) == AFTERNOON else row
            for row in found
        )

    def period_names(self, names: dict[int, str]) -> dict[int, str]:
        """The period names, the afternoon's too."""
        if not self.offset:
            return dict(names)
        return names | {
            p + self.offset: n for p, n in names.items() if p + self.offset not in names
        }

    def _listed(self) -> str:
        return _("; the days are: %(days)s") % {"days": ", ".join(self.groups)}

    def _by_weekday(self, weekday: int) -> list[str]:
        return [d for d in self.groups if self.weekday.get(self.groups[d][0]) == weekday]

    def calendar(self) -> Calendar:
        settings = self.settings
        weekdays = frozenset(self.weekday.values())
        cycle: tuple[str, ...] = ()
        if not weekdays:  # a single day, or a cycle: Monday to Friday unless the school says
            cycle = () if self.single else tuple(self.groups)
            weekdays = settings.school_days or frozenset(range(5))
        return Calendar(weekdays, settings.closed, cycle, settings.cycle_start)

    def choose(self, wanted: DayWanted) -> tuple[str | None, datetime.date | None]:
        """The day to plan, as the timetable names it, and the date planned."""
        path = self.source
        if self.single:
            if wanted.day is not None:
                raise InputError(
                    _("--day %(day)s: %(file)s has no day column")
                    % {"day": shown(wanted.day), "file": path}
                )
            if wanted.date is not None:
                closure = self.calendar().closure(wanted.date)
                if closure is not None:
                    self.calendar().check(wanted.date, f"--date {wanted.date.isoformat()}")
            return None, wanted.date
        if wanted.day is not None:
            return self._named(wanted.day), wanted.date
        date = wanted.date or wanted.today or datetime.date.today()
        when = f"--date {date.isoformat()}" if wanted.date else _("today")
        calendar = self.calendar()
        if calendar.cycle:
            if calendar.cycle_start is None:
                raise InputError(
                    _(
                        "%(file)s: the timetable's days (%(days)s) are not weekdays: "
                        "choose one with --day, or give the date of its first day as cycle_start "
                        "in rotavel.toml"
                    )
                    % {"file": path, "days": ", ".join(self.groups)}
                )
            calendar.check(date, when, path, wanted.offers_day)
            return calendar.cycle_day(date), date
        calendar.check(date, when, path, wanted.offers_day)
        found = self._by_weekday(date.weekday())
        if len(found) == 1:
            return found[0], date
        if wanted.offers_day:
            problem = _(
                "%(file)s: %(when)s is a %(weekday)s, which the timetable does not have "
                "(choose one with --day)"
            )
        else:
            problem = _("%(file)s: %(when)s is a %(weekday)s, which the timetable does not have")
        values = {"file": path, "when": when, "weekday": day_name(date.weekday())}
        raise InputError(problem % values + self._listed())

    def _named(self, text: str) -> str:
        key = day_key(text)
        found = [d for d in self.groups if key in map(day_key, self.groups[d]) or key == day_key(d)]
        if not found:
            found = [
                d for d in self.groups if any(day_key(s).startswith(key) for s in self.groups[d])
            ]
        if not found and (weekday := weekday_of(text)) is not None:
            found = self._by_weekday(weekday)
        if len(found) == 1:
            return found[0]
        if found:
            choices = found[0]
            for other in found[1:]:
                choices = _("%(first)s or %(second)s") % {"first": choices, "second": other}
            raise InputError(
                _("--day %(day)s could be %(days)s") % {"day": shown(text), "days": choices}
                + self._listed()
            )
        raise InputError(
            _("--day %(day)s: %(file)s has no such day") % {"day": shown(text), "file": self.source}
            + self._listed()
        )

    def matches(self, day: str, listed: list[str]) -> bool:
        """Whether the teacher list's days for a member include the day planned."""
        for text in listed:
            if day_key(text) in map(day_key, self.groups[day]):
                return True
            weekday = weekday_of(text)
            if weekday is not None and self.weekday.get(self.groups[day][0]) == weekday:
                return True
        return False

    def _in_order(self, groups: dict[str, list[str]]) -> dict[str, list[str]]:
        """Days met in a file's rows in the school week's order when they are
        weekdays, in their numbers' when numbered ("Day 2" before "Day 10"),
        else as met."""
        weekday = self.weekday
        if all(group[0] in weekday for group in groups.values()):
            first = self.calendar().week_start(datetime.date(2027, 1, 4)).weekday()
            return dict(sorted(groups.items(), key=lambda g: (weekday[g[1][0]] - first) % 7))
        return natural_order(groups)


def natural_order(groups: dict[str, list[str]]) -> dict[str, list[str]]:
    """Days put in order when they are numbered ("Day 2" before "Day 10")."""

    numbered = [re.fullmatch(r"(.*?)(\d+)", day_key(d)) for d in groups]
    if len(groups) < 2 or not all(numbered) or len({m[1] for m in numbered if m}) != 1:
        return groups
    order = sorted(zip((int(m[2]) for m in numbered if m), groups))
    return {day: groups[day] for _, day in order}


@dataclass(frozen=True)
class Calendar:
    """The days a school is open: its weekdays, less its closures; and for a
    rotating cycle, which of its days each date is."""

    weekdays: frozenset[int]  # Monday 0
    closed: tuple[Closure, ...] = ()
    cycle: tuple[str, ...] = ()  # the cycle's days in order; () for a weekly timetable
    cycle_start: datetime.date | None = None

    def closure(self, date: datetime.date) -> Closure | None:
        return next((c for c in self.closed if date in c), None)

    def is_school_day(self, date: datetime.date) -> bool:
        return date.weekday() in self.weekdays and self.closure(date) is None

    def school_days(self, first: datetime.date, last: datetime.date) -> list[datetime.date]:
        days = (first + datetime.timedelta(n) for n in range((last - first).days + 1))
        return [d for d in days if self.is_school_day(d)]

    def days_text(self) -> str:
        """The school days, e.g. "Sunday, Monday, Tuesday, Wednesday, Thursday"."""
        start = self.week_start(datetime.date(2027, 1, 4)).weekday()  # a Monday
        return ", ".join(
            day_name((start + n) % 7) for n in range(7) if (start + n) % 7 in self.weekdays
        )

    def refusal(
        self, date: datetime.date, when: str, source: str = "", day_hint: bool = True
    ) -> str | None:
        """Why `date` is no school day, in one line; None when it is one. With
        `day_hint`, it says that --day chooses another day."""
        closure = self.closure(date)
        if closure is not None:
            return _("%(when)s: the school is closed (%(closure)s, %(span)s)") % {
                "when": when,
                "closure": closure.name,
                "span": closure.span,
            }
        if date.weekday() not in self.weekdays:
            if day_hint:
                problem = _(
                    "%(when)s is a %(weekday)s, not a school day (choose a day with --day); "
                    "the school days are %(days)s"
                )
            else:
                problem = _(
                    "%(when)s is a %(weekday)s, not a school day; the school days are %(days)s"
                )
            return problem % {
                "when": _("%(file)s: %(when)s") % {"file": source, "when": when}
                if source
                else when,
                "weekday": day_name(date.weekday()),
                "days": self.days_text(),
            }
        return None

    def check(
        self, date: datetime.date, when: str, source: str = "", day_hint: bool = True
    ) -> None:
        problem = self.refusal(date, when, source, day_hint)
        if problem is not None:
            raise InputError(problem)

    def week_order(self) -> list[int]:
        """The school's weekdays in the order of its week: Sunday to Thursday for
        a school whose weekend is Friday and Saturday."""
        first = self.week_start(datetime.date(2006, 1, 2)).weekday()
        days = [(first + n) % 7 for n in range(7)]
        return [day for day in days if day in self.weekdays]

    def week_start(self, date: datetime.date) -> datetime.date:
        """The first day of the school week holding `date`: the day after the
        longest run of days without school (Sunday for a Sunday to Thursday
        school, Monday for Monday to Friday or Saturday)."""
        first = 0
        if self.weekdays and len(self.weekdays) < 7:
            best = -1
            for start in (0, 6, 5, 1, 2, 3, 4):  # on a tie, the usual first days
                if start in self.weekdays and (start - 1) % 7 not in self.weekdays:
                    gap = 1
                    while (start - 1 - gap) % 7 not in self.weekdays:
                        gap += 1
                    if gap > best:
                        best, first = gap, start
        return date - datetime.timedelta((date.weekday() - first) % 7)

    def back(self, date: datetime.date, count: int) -> datetime.date:
        """The first of the `count` school days that end with `date`."""
        start = date
        while count > 1:
            start -= datetime.timedelta(1)
            if self.is_school_day(start):
                count -= 1
        return start

    def cycle_day(self, date: datetime.date) -> str:
        """The cycle's day on `date`, counted in school days from its start."""
        assert self.cycle and self.cycle_start is not None
        first, last = sorted((self.cycle_start, date))
        count = len(self.school_days(first, last)) - 1
        if date < self.cycle_start:
            count = -count - (0 if self.is_school_day(self.cycle_start) else 1)
        return self.cycle[count % len(self.cycle)]


def school_periods(week: Week, settings: Settings) -> tuple[int, int] | None:
    """The first and last period of the school's day, any day of its week."""
    return periods_of(week, TimetableDays(week, settings), settings)


def school_calendar(week: Week, settings: Settings) -> Calendar:
    """The school's calendar: the weekdays its timetable has, its closures and cycle."""
    return TimetableDays(week, settings).calendar()


def ab_week(settings: Settings, date: datetime.date | None, calendar: Calendar) -> str:
    """ "A" or "B" for a timetable of two weeks: the school week of `date`
    counted from the setting's A week; "A" without a date or setting."""
    if settings.week_a is None or date is None:
        return "A"
    start = datetime.date.fromisoformat(settings.week_a)
    weeks = calendar.week_start(date) - calendar.week_start(start)
    return "AB"[weeks.days // 7 % 2]
