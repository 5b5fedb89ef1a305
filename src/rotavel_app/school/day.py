"""The day planned: who is in, who is away and when, and every lesson given.

A `Week` (from whichever door) becomes a `SchoolDay` here: the day is
chosen, lessons given together are joined, and each member of staff is
found in school, away for the whole day or part of it, or not in that day
at all (a part-timer's day off). Planning and every output work on the
`SchoolDay` alone.
"""

from __future__ import annotations

import datetime
import os
import re
from collections.abc import Container, Iterable, Sequence
from dataclasses import dataclass, field, replace

from rotavel_app.messages import InputError, did_you_mean, looks, shown
from rotavel_app.school.csv_reader import nfc
from rotavel_app.school.settings import Closure, Settings
from rotavel_app.school.subjects import spelling_key, subject_key
from rotavel_app.school.week import LessonRow, LessonRows, StaffRow, Week
from rotavel_app.school.weekdays import (
    AFTERNOON,
    WEEKDAYS,
    day_key,
    read_days,
    split_half,
    weekday_of,
)

PERIOD_MIN = -32768
PERIOD_MAX = 32767
# The days planned or recorded: a school's calendar, far from the ends of
# datetime's, where a window's arithmetic (a week back, a term back, a day on)
# would run off the calendar.
FIRST_DATE = datetime.date(1900, 1, 1)
LAST_DATE = datetime.date(2999, 12, 31)

_YES = frozenset({"yes", "y", "true", "1", "present"})
_NO = frozenset({"no", "n", "false", "0", "absent"})
# A pattern, compiled (and kept by re) when a run first reads a list of periods.
_RANGE = r"\s*([+-]?[0-9]+)\s*(?:(?:-|–|to|\.\.)\s*([+-]?[0-9]+))?\s*"


@dataclass(frozen=True)
class StaffMember:
    name: str
    subject: str  # as the school writes it
    present: bool  # False when away for all or part of the day
    reason: str  # why away; "" when nobody said
    line: int  # in the teacher list, for messages
    away: frozenset[int] | None = None  # the periods away; None for the whole day
    in_school: bool = True  # False on a day this teacher does not come in

    @property
    def subject_key(self) -> str:
        return subject_key(self.subject)

    def away_in(self, period: int) -> bool:
        """Marked absent for `period`."""
        return not self.present and (self.away is None or period in self.away)

    def out_in(self, period: int) -> bool:
        """Not there to teach or cover in `period`: absent then, or not in that day."""
        return not self.in_school or self.away_in(period)

    @property
    def part_day(self) -> bool:
        return not self.present and self.away is not None


@dataclass(frozen=True, slots=True)  # slots: a large school's day has a million
class Lesson:
    """One lesson: a teacher, a period and the class taught, or several
    classes taught together (a combined lesson, planned as one)."""

    teacher: str
    period: int
    classes: tuple[str, ...]  # in file order
    room: str = ""
    team: tuple[str, ...] = ()  # the other teachers giving this lesson with this one

    @property
    def class_label(self) -> str:
        """How the plan shows the lesson's classes, e.g. 9A+9B. A class whose
        own name holds a "+" is shown in double quotes ("9A+9B"), so that it
        never reads as two classes taught together."""
        if len(self.classes) == 1:
            return _one_class(self.classes[0])
        return "+".join(map(_one_class, self.classes))


def _one_class(name: str) -> str:
    if "+" in name or name.startswith('"'):
        return '"' + name.replace('"', '""') + '"'
    return name


@dataclass(frozen=True)
class Absence:
    """A teacher marked absent by an option or the absence file."""

    name: str
    reason: str | None  # None keeps the reason the teacher list gives
    where: str  # the option or "FILE, line N", for messages
    periods: frozenset[int] | None = None  # None for the whole day


@dataclass(frozen=True)
class SchoolDay:
    """Everything the command knows about the day, straight from the input."""

    name: str  # shown as the title of the outputs
    teacher_file: str
    staff: dict[str, StaffMember]  # in file order
    lessons: tuple[Lesson, ...]  # in file order; one per teacher and period
    day: str | None = None  # the day planned, as the timetable names it
    date: datetime.date | None = None  # the date planned, when given
    notes: tuple[str, ...] = ()  # things worth telling the user that are not errors
    settings: Settings = field(default_factory=Settings)
    period_names: dict[int, str] = field(default_factory=dict)
    # The first and last period of the school's day on any day; None: not known.
    school_periods: tuple[int, int] | None = None
    teacher_codes: dict[str, str] = field(default_factory=dict)  # as the Week's

    @property
    def classes(self) -> list[str]:
        """Class names in order of first appearance in the timetable."""
        return list(dict.fromkeys(c for lesson in self.lessons for c in lesson.classes))

    @property
    def periods(self) -> list[int]:
        return sorted({lesson.period for lesson in self.lessons})

    @property
    def absent(self) -> list[StaffMember]:
        return [m for m in self.staff.values() if not m.present]

    def period_time(self, period: int) -> str:
        """The period's clock time or name, "" when the school gives none."""
        return self.settings.times.get(period) or self.period_names.get(period, "")


@dataclass(frozen=True)
class DayWanted:
    """Which day of a weekly (or rotating) timetable to plan."""

    day: str | None = None  # --day, as typed
    date: datetime.date | None = None  # --date
    today: datetime.date | None = None  # used when neither is given


def choose_day(
    week: Week, wanted: DayWanted | None = None, settings: Settings | None = None
) -> SchoolDay:
    """The day wanted of the week, with its lessons and who is in."""
    wanted = wanted or DayWanted()
    settings = settings or Settings()
    staff, in_days = _staff(week.staff)
    rows = week.rows()
    row = rows.first_teacher_not_in(staff)
    if row is not None:
        raise InputError(
            f"{row.where}: unknown teacher {shown(row.teacher)} (not in {os.path.basename(week.source)})"
            + did_you_mean(row.teacher, staff)
        )
    days = _Days(week, settings)
    day, date = days.choose(wanted)
    ab_week = _ab_week(settings, date, days.calendar())
    lessons = _lessons(days.rows_of(rows, day, ("", ab_week)))
    taught_today = {lesson.teacher for lesson in lessons}
    taught_in_week = rows.teachers() if day is not None else taught_today
    for name, member in staff.items():
        listed = in_days.get(name)
        if listed is not None:
            in_school = day is None or days.matches(day, listed, member)
        else:  # staff without a timetable (a head, a cover supervisor) are in every day
            in_school = name in taught_today or name not in taught_in_week
        if not in_school:
            # Lessons on a day the teacher list says they are not in need cover all the same.
            absent = name in taught_today and member.present
            staff[name] = replace(member, in_school=False, present=member.present and not absent)
    return SchoolDay(
        name=settings.name or week.name,
        teacher_file=week.source,
        staff=staff,
        lessons=tuple(lessons),
        day=day,
        date=date,
        notes=tuple(week.notes),
        settings=settings,
        period_names=days.period_names(week.period_names),
        school_periods=_school_periods(week, days, settings),
        teacher_codes=week.teacher_codes,
    )


def _school_periods(week: Week, days: _Days, settings: Settings) -> tuple[int, int] | None:
    """The first and last period of the school's day, any day of its week."""
    periods = [*settings.times, *days.period_names(week.period_names)]
    found = week.rows().period_range()
    if found is not None:
        periods += [found[0], found[1] + days.offset]
    # A day starts at period 1 (or earlier), however few lessons its first periods have.
    return (min(1, *periods), max(periods)) if periods else None


def _staff(rows: Sequence[StaffRow]) -> tuple[dict[str, StaffMember], dict[str, list[str]]]:
    staff: dict[str, StaffMember] = {}
    seen: dict[str, str] = {}  # what each name looks like -> the name
    in_days: dict[str, list[str]] = {}
    for number, row in enumerate(rows, start=1):
        name = row.name
        if name in staff:
            raise InputError(
                f"{row.where}: teacher {shown(name)} is listed twice "
                f"(first on line {staff[name].line})"
            )
        twin = seen.setdefault(looks(name), name)
        if twin != name:
            # Two names a reader cannot tell apart would give "Ann covers Ann".
            raise InputError(
                f"{row.where}: teacher {shown(name)} looks the same as {shown(twin)} "
                f"(line {staff[twin].line}) but is written {name!a}, not {twin!a}; "
                "remove the invisible difference"
            )
        away = parse_periods(row.periods, row.where) if row.periods else None
        staff[name] = StaffMember(
            name, row.subject, row.present, row.reason, _line(row.where, number), away
        )
        if row.days:
            in_days[name] = [d.strip() for d in re.split(r"[,;/+]", row.days) if d.strip()]
    return staff, in_days


def _line(where: str, default: int) -> int:
    _, line, number = where.rpartition("line ")
    return int(number) if line and number.isascii() and number.isdigit() else default


def _lessons(rows: Iterable[LessonRow]) -> list[Lesson]:
    """One lesson per teacher and period, its classes in file order; rows
    sharing a lesson id in one period are one lesson given by a team."""
    # Most lessons have one class and no room or id: a class is kept as its
    # name until a second one joins it, and rooms and ids only where given.
    classes: dict[tuple[str, int], str | list[str]] = {}
    rooms: dict[tuple[str, int], list[str]] = {}
    ids: dict[tuple[str, int], set[str]] = {}
    teams: dict[tuple[str, int], list[str]] = {}
    for row in rows:
        key = (row.teacher, row.period)
        joined = classes.get(key)
        if joined is None:
            classes[key] = row.class_name
        elif isinstance(joined, str):
            if joined != row.class_name:
                classes[key] = [joined, row.class_name]
        elif row.class_name not in joined:
            joined.append(row.class_name)
        if row.room and row.room not in (given := rooms.setdefault(key, [])):
            given.append(row.room)
        if row.lesson_id:
            ids.setdefault(key, set()).add(row.lesson_id)
            members = teams.setdefault((row.lesson_id, row.period), [])
            if row.teacher not in members:
                members.append(row.teacher)
    alone: dict[str, tuple[str]] = {}  # one tuple for every lesson of a class taught alone
    lessons = []
    for key, joined in classes.items():
        teacher, period = key
        names: tuple[str, ...]
        if isinstance(joined, str):
            names = alone.get(joined) or alone.setdefault(joined, (joined,))
        else:
            names = tuple(joined)
        team: dict[str, None] = {}
        for lesson_id in sorted(ids[key]) if key in ids else ():
            team.update(dict.fromkeys(t for t in teams[lesson_id, period] if t != teacher))
        room = "/".join(rooms[key]) if key in rooms else ""
        lessons.append(Lesson(teacher, period, names, room, tuple(team)))
    return lessons


class _Days:
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
        return "; the days are: " + ", ".join(self.groups)

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
                raise InputError(f"--day {shown(wanted.day)}: {path} has no day column")
            if wanted.date is not None:
                closure = self.calendar().closure(wanted.date)
                if closure is not None:
                    self.calendar().check(wanted.date, f"--date {wanted.date.isoformat()}")
            return None, wanted.date
        if wanted.day is not None:
            return self._named(wanted.day), wanted.date
        date = wanted.date or wanted.today or datetime.date.today()
        when = f"--date {date.isoformat()}" if wanted.date else "today"
        calendar = self.calendar()
        if calendar.cycle:
            if calendar.cycle_start is None:
                raise InputError(
                    f"{path}: the timetable's days ({', '.join(self.groups)}) are not weekdays: "
                    "choose one with --day, or give the date of its first day as cycle_start "
                    "in rotavel.toml"
                )
            calendar.check(date, when, path)
            return calendar.cycle_day(date), date
        calendar.check(date, when, path)
        found = self._by_weekday(date.weekday())
        if len(found) == 1:
            return found[0], date
        raise InputError(
            f"{path}: {when} is a {WEEKDAYS[date.weekday()]}, which the timetable does not have "
            f"(choose one with --day){self._listed()}"
        )

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
            raise InputError(f"--day {shown(text)} could be {' or '.join(found)}{self._listed()}")
        raise InputError(f"--day {shown(text)}: {self.source} has no such day{self._listed()}")

    def matches(self, day: str, listed: list[str], member: StaffMember) -> bool:
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
        return _natural_order(groups)


def _natural_order(groups: dict[str, list[str]]) -> dict[str, list[str]]:
    """Days put in order when they are numbered ("Day 2" before "Day 10")."""
    import re

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
            WEEKDAYS[(start + n) % 7] for n in range(7) if (start + n) % 7 in self.weekdays
        )

    def refusal(self, date: datetime.date, when: str, source: str = "") -> str | None:
        """Why `date` is no school day, in one line; None when it is one."""
        closure = self.closure(date)
        if closure is not None:
            return f"{when}: the school is closed ({closure.name}, {closure.span})"
        if date.weekday() not in self.weekdays:
            return (
                f"{source}{': ' if source else ''}{when} is a {WEEKDAYS[date.weekday()]}, "
                f"not a school day (choose a day with --day); the school days are "
                f"{self.days_text()}"
            )
        return None

    def check(self, date: datetime.date, when: str, source: str = "") -> None:
        problem = self.refusal(date, when, source)
        if problem is not None:
            raise InputError(problem)

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
    return _school_periods(week, _Days(week, settings), settings)


def school_calendar(week: Week, settings: Settings) -> Calendar:
    """The school's calendar: the weekdays its timetable has, its closures and cycle."""
    return _Days(week, settings).calendar()


def _ab_week(settings: Settings, date: datetime.date | None, calendar: Calendar) -> str:
    """ "A" or "B" for a timetable of two weeks: the school week of `date`
    counted from the setting's A week; "A" without a date or setting."""
    if settings.week_a is None or date is None:
        return "A"
    start = datetime.date.fromisoformat(settings.week_a)
    weeks = calendar.week_start(date) - calendar.week_start(start)
    return "AB"[weeks.days // 7 % 2]


def parse_period(text: str, where: str) -> int:
    if not text:
        raise InputError(f"{where}: no period given")
    if text.isascii() and text.isdigit() and len(text) < len(str(PERIOD_MAX)):
        return int(text)  # the common case, checked quickly
    digits = text[1:] if text[0] in "+-" else text
    if not (digits.isascii() and digits.isdigit()):
        raise InputError(f"{where}: period {shown(text)} is not a whole number")
    # Look at the digits before converting: a field of thousands of digits is
    # out of range, and int() would refuse it with the interpreter's own error.
    digits = text.lstrip("+-").lstrip("0")
    if len(digits) > len(str(PERIOD_MAX)) or not PERIOD_MIN <= int(text) <= PERIOD_MAX:
        short = text if len(text) <= 20 else f"{text[:12]}... ({len(digits)} digits)"
        raise InputError(f"{where}: period {short} is out of range ({PERIOD_MIN} to {PERIOD_MAX})")
    return int(text)


def parse_periods(text: str, where: str) -> frozenset[int]:
    """Periods as people list them: "1-2", "3,5", "1-3, 6"."""
    periods: set[int] = set()
    for part in text.split(","):
        match = re.fullmatch(_RANGE, part)
        if match is None:
            raise InputError(
                f"{where}: periods {shown(text)} should be a list or range such as 1-3 or 2,5"
            )
        first = parse_period(match[1], where)
        last = parse_period(match[2], where) if match[2] else first
        if last < first or last - first > 1000:
            raise InputError(f"{where}: periods {shown(part.strip())} is not a range")
        periods.update(range(first, last + 1))
    return frozenset(periods)


def periods_text(periods: Iterable[int]) -> str:
    """1, 2, 3, 5 as "1–3, 5": what `parse_periods` reads back."""
    runs: list[list[int]] = []
    for period in sorted(periods):
        if runs and period == runs[-1][-1] + 1:
            runs[-1].append(period)
        else:
            runs.append([period])
    return ", ".join(f"{r[0]}–{r[-1]}" if len(r) > 1 else str(r[0]) for r in runs)


def parse_present(text: str, where: str) -> bool:
    word = text.lower()
    if word in _YES:
        return True
    if word in _NO:
        return False
    raise InputError(f"{where}: present must be yes or no, not {shown(text)}")


def parse_absence(
    text: str, where: str, names: Container[str] = (), lengths: Container[int] | None = None
) -> Absence:
    """Read "NAME[@PERIODS][:REASON]". A known name is taken whole even when
    it holds ":" or "@"; an empty reason keeps the teacher list's reason.
    `lengths`, the lengths of the known names, spares working them out for
    each of many absences."""
    text = nfc(text).strip()
    name, rest = _known_prefix(text, names, lengths)
    if name is None:
        cut = min((i for i in (text.find(":"), text.find("@")) if i >= 0), default=len(text))
        name, rest = text[:cut], text[cut:]
    periods = None
    if rest.startswith("@"):
        spec, _, reason = rest[1:].partition(":")
        periods = parse_periods(spec, where)
    else:
        reason = rest[1:]
    return Absence(name.strip(), reason.strip() or None, where, periods)


def name_lengths(names: Iterable[str]) -> frozenset[int]:
    return frozenset(map(len, names))


def _known_prefix(
    text: str, names: Container[str], lengths: Container[int] | None
) -> tuple[str | None, str]:
    """The longest known name that `text` is, or starts with before a ":" or "@"."""
    if text in names:
        return text, ""
    if lengths is None and isinstance(names, Iterable):
        lengths = name_lengths(names)
    # From the last ":" or "@" back, each character looked at once, and a
    # prefix compared only when a known name has its length: a line of a
    # million colons must not cost a million copies of itself.
    colon, at = text.rfind(":"), text.rfind("@")
    while max(colon, at) >= 0:
        cut = max(colon, at)
        end = cut
        while end and text[end - 1].isspace():
            end -= 1
        if (lengths is None or end in lengths) and text[:end] in names:
            return text[:end], text[cut:]
        if cut == colon:
            colon = text.rfind(":", 0, cut)
        else:
            at = text.rfind("@", 0, cut)
    return None, ""


def apply_absences(day: SchoolDay, absences: Iterable[Absence]) -> SchoolDay:
    """Mark teachers absent, on top of the teacher list's `present` column.

    Absences of one teacher add up, whoever entered them: the whole day
    wins, else every period any of them names. The first absence's reason
    stands for the teacher list's; others' are added to it."""
    staff = dict(day.staff)
    reasons: dict[str, list[str]] = {}
    for absence in absences:
        if not absence.name:
            raise InputError(f"{absence.where}: no teacher name given")
        member = staff.get(absence.name)
        if member is None:
            raise InputError(
                f"{absence.where}: unknown teacher {shown(absence.name)} "
                f"(not in {day.teacher_file})" + did_you_mean(absence.name, staff)
            )
        check_periods(absence.periods, day.school_periods, absence.where)
        away = absence.periods
        if not member.present and (away is None or member.away is None):
            away = None
        elif not member.present and member.away is not None and away is not None:
            away = member.away | away
        said = reasons.get(absence.name)
        if said is None:
            said = reasons[absence.name] = []
            if absence.reason is None and member.reason:
                said.append(member.reason)
        if absence.reason and absence.reason not in said:
            said.append(absence.reason)
        staff[absence.name] = replace(member, present=False, reason="; ".join(said), away=away)
    return replace(day, staff=staff)


def check_periods(
    periods: frozenset[int] | None, school: tuple[int, int] | None, where: str
) -> None:
    """Refuse periods outside the school's day."""
    if periods is None or school is None:
        return
    outside = sorted(p for p in periods if not school[0] <= p <= school[1])
    if outside:
        raise InputError(
            f"{where}: period{'s' if len(outside) > 1 else ''} {periods_text(outside)} "
            f"outside the school day (periods {school[0]} to {school[1]})"
        )


__all__ = ["Absence", "DayWanted", "Lesson", "SchoolDay", "StaffMember", "spelling_key"]
