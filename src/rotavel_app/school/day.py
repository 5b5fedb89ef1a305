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

from rotavel_app.language import _, ngettext
from rotavel_app.messages import InputError, did_you_mean, looks, shown
from rotavel_app.school.calendar import (
    DayWanted,
    TimetableDays,
    ab_week,
    periods_of,
)
from rotavel_app.school.csv_reader import nfc
from rotavel_app.school.settings import Settings
from rotavel_app.school.subjects import spelling_key, subject_key
from rotavel_app.school.week import LessonRow, StaffRow, Week

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
            _("%(where)s: unknown teacher %(name)s (not in %(file)s)")
            % {
                "where": row.where,
                "name": shown(row.teacher),
                "file": os.path.basename(week.source),
            }
            + did_you_mean(row.teacher, staff)
        )
    days = TimetableDays(week, settings)
    day, date = days.choose(wanted)
    letter = ab_week(settings, date, days.calendar())
    lessons = _lessons(days.rows_of(rows, day, ("", letter)))
    taught_today = {lesson.teacher for lesson in lessons}
    taught_in_week = rows.teachers() if day is not None else taught_today
    for name, member in staff.items():
        listed = in_days.get(name)
        if listed is not None:
            in_school = day is None or days.matches(day, listed)
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
        school_periods=periods_of(week, days, settings),
        teacher_codes=week.teacher_codes,
    )


def _staff(rows: Sequence[StaffRow]) -> tuple[dict[str, StaffMember], dict[str, list[str]]]:
    staff: dict[str, StaffMember] = {}
    seen: dict[str, str] = {}  # what each name looks like -> the name
    in_days: dict[str, list[str]] = {}
    for number, row in enumerate(rows, start=1):
        name = row.name
        if name in staff:
            raise InputError(
                _("%(where)s: teacher %(name)s is listed twice (first on line %(line)s)")
                % {"where": row.where, "name": shown(name), "line": staff[name].line}
            )
        twin = seen.setdefault(looks(name), name)
        if twin != name:
            # Two names a reader cannot tell apart would give "Ann covers Ann".
            raise InputError(
                _(
                    "%(where)s: teacher %(name)s looks the same as %(twin)s (line %(line)s) "
                    "but is written %(written)s, not %(spelling)s; remove the invisible difference"
                )
                % {
                    "where": row.where,
                    "name": shown(name),
                    "twin": shown(twin),
                    "line": staff[twin].line,
                    "written": ascii(name),
                    "spelling": ascii(twin),
                }
            )
        away = parse_periods(row.periods, row.where) if row.periods else None
        staff[name] = StaffMember(
            name, row.subject, row.present, row.reason, row.line or number, away
        )
        if row.days:
            in_days[name] = [d.strip() for d in re.split(r"[,;/+]", row.days) if d.strip()]
    return staff, in_days


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


def parse_period(text: str, where: str) -> int:
    if not text:
        raise InputError(_("%(where)s: no period given") % {"where": where})
    if text.isascii() and text.isdigit() and len(text) < len(str(PERIOD_MAX)):
        return int(text)  # the common case, checked quickly
    digits = text[1:] if text[0] in "+-" else text
    if not (digits.isascii() and digits.isdigit()):
        raise InputError(
            _("%(where)s: period %(period)s is not a whole number")
            % {"where": where, "period": shown(text)}
        )
    # Look at the digits before converting: a field of thousands of digits is
    # out of range, and int() would refuse it with the interpreter's own error.
    digits = text.lstrip("+-").lstrip("0")
    if len(digits) > len(str(PERIOD_MAX)) or not PERIOD_MIN <= int(text) <= PERIOD_MAX:
        short = text
        if len(text) > 20:
            short = text[:12] + ngettext(
                "... (%(count)s digit)", "... (%(count)s digits)", len(digits)
            ) % {"count": len(digits)}
        raise InputError(
            _("%(where)s: period %(period)s is out of range (%(first)s to %(last)s)")
            % {"where": where, "period": short, "first": PERIOD_MIN, "last": PERIOD_MAX}
        )
    return int(text)


def parse_periods(text: str, where: str) -> frozenset[int]:
    """Periods as people list them: "1-2", "3,5", "1-3, 6"."""
    periods: set[int] = set()
    for part in text.split(","):
        match = re.fullmatch(_RANGE, part)
        if match is None:
            raise InputError(
                _("%(where)s: periods %(periods)s should be a list or range such as 1-3 or 2,5")
                % {"where": where, "periods": shown(text)}
            )
        first = parse_period(match[1], where)
        last = parse_period(match[2], where) if match[2] else first
        if last < first or last - first > 1000:
            raise InputError(
                _("%(where)s: periods %(periods)s is not a range")
                % {"where": where, "periods": shown(part.strip())}
            )
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
    raise InputError(
        _("%(where)s: present must be yes or no, not %(value)s")
        % {"where": where, "value": shown(text)}
    )


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
        spec, _colon, reason = rest[1:].partition(":")  # `_` is the catalogue's
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
            raise InputError(_("%(where)s: no teacher name given") % {"where": absence.where})
        member = staff.get(absence.name)
        if member is None:
            raise InputError(
                _("%(where)s: unknown teacher %(name)s (not in %(file)s)")
                % {"where": absence.where, "name": shown(absence.name), "file": day.teacher_file}
                + did_you_mean(absence.name, staff)
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
            ngettext(
                "%(where)s: period %(periods)s outside the school day "
                "(periods %(first)s to %(last)s)",
                "%(where)s: periods %(periods)s outside the school day "
                "(periods %(first)s to %(last)s)",
                len(outside),
            )
            % {
                "where": where,
                "periods": periods_text(outside),
                "first": school[0],
                "last": school[1],
            }
        )


# DayWanted is read by the calendar, which chooses the day; callers have always had it from here.
__all__ = ["Absence", "DayWanted", "Lesson", "SchoolDay", "StaffMember", "spelling_key"]
