"""Reading a school folder and the day's absences.

Every problem with the input becomes an `InputError` whose message names the
file (or option), the line and what is wrong, so the command can print one
line and stop before anything is planned.

Files come as spreadsheet programs export them: with a byte order mark,
separated by commas, semicolons or tabs, with columns the command does not
use, and in either Unicode form of an accented letter. Every text is brought
to NFC as it is read, so `Zoë` matches whether its ë is one code point or two.
"""

from __future__ import annotations

import codecs
import csv
import dataclasses
import datetime
import io
import os
import re
import stat
import unicodedata
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

import rotavel

from rotavel_cli.subjects import UnknownSubject, module_keyword, spelling_key

TEACHER_FILE = "teacher_list.csv"
TIMETABLE_FILE = "timetable.csv"

PERIOD_MIN = -32768
PERIOD_MAX = 32767

# No school's timetable comes near this; a larger input is a mistake (a device,
# a wrong file) and would otherwise be read until memory runs out.
MAX_INPUT_BYTES = 64 * 1024 * 1024

WEEKDAYS = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday")

_YES = frozenset({"yes", "y", "true", "1", "present"})
_NO = frozenset({"no", "n", "false", "0", "absent"})
_WHOLE_NUMBER = re.compile(r"[+-]?[0-9]+")
_SEPARATORS = (",", ";", "\t")
_EXTRA = "\0extra"  # DictReader's key for fields beyond the header
# A field may be as long as the largest input (the csv module's default stops at 128 KiB).
csv.field_size_limit(MAX_INPUT_BYTES)


class InputError(Exception):
    """Bad input; the message says where and what, ready to show the user."""


@dataclass(frozen=True)
class Columns:
    """The columns a file must have and those it may have."""

    required: tuple[str, ...]
    optional: tuple[str, ...] = ()

    @property
    def known(self) -> tuple[str, ...]:
        return (*self.required, *self.optional)


TEACHER_COLUMNS = Columns(("name", "subject", "present"), ("reason",))
TIMETABLE_COLUMNS = Columns(("teacher", "period", "class"), ("day",))


@dataclass(frozen=True)
class StaffMember:
    name: str
    keyword: str  # the module's keyword for the subject, e.g. "P.E"
    subject: str  # the module's display name for it, e.g. "PhysicalEdu"
    present: bool
    reason: str  # what the plan's Reason column will show if absent
    line: int


@dataclass(frozen=True)
class Lesson:
    """One lesson: a teacher, a period and the class taught, or several
    classes taught together (a combined lesson, planned as one)."""

    teacher: str
    period: int
    classes: tuple[str, ...]  # in file order

    @property
    def class_label(self) -> str:
        """How the plan shows the lesson's classes, e.g. 9A+9B."""
        return "+".join(self.classes)


@dataclass(frozen=True)
class Absence:
    """A teacher marked absent by an option or the absence file."""

    name: str
    reason: str | None  # None keeps the reason the teacher list gives
    where: str  # the option or "FILE, line N", for messages


@dataclass(frozen=True)
class SchoolDay:
    """Everything the command knows about the day, straight from the input."""

    name: str  # shown as the title of the board
    teacher_file: Path
    staff: dict[str, StaffMember]  # in file order
    lessons: tuple[Lesson, ...]  # in file order; one per teacher and period
    day: str | None = None  # the day planned, as the timetable names it
    date: datetime.date | None = None  # the date planned, when given
    notes: tuple[str, ...] = ()  # things worth telling the user that are not errors

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


@dataclass(frozen=True)
class DayWanted:
    """Which day of a weekly (or rotating) timetable to plan."""

    day: str | None = None  # --day, as typed
    date: datetime.date | None = None  # --date
    today: datetime.date | None = None  # used when neither is given


def load_school(
    folder: Path, name: str | None = None, wanted: DayWanted | None = None
) -> SchoolDay:
    """Read `teacher_list.csv` and `timetable.csv` from `folder`, keeping the
    lessons of the day wanted when the timetable has a `day` column."""
    wanted = wanted or DayWanted()
    if name is None:
        name = folder.resolve().name
        if not _is_utf8(name):
            raise InputError(f"{folder}: the folder's name is not valid UTF-8; rename it")
    teacher_file = folder / TEACHER_FILE
    ignored: list[str] = []
    staff = _read_staff(teacher_file, ignored)
    rows = _read_timetable(folder / TIMETABLE_FILE, staff, ignored)
    day, date = _choose_day(folder / TIMETABLE_FILE, rows, wanted)
    spellings = {row.day for row in rows}
    keep = {s for s in spellings if day is None or spelling_key(s) == spelling_key(day)}
    lessons: dict[tuple[str, int], list[str]] = {}
    for row in rows:
        if row.day in keep:
            classes = lessons.setdefault((row.teacher, row.period), [])
            if row.class_name not in classes:
                classes.append(row.class_name)
    notes = ("ignored columns that rotavel does not use: " + ", ".join(ignored),) if ignored else ()
    return SchoolDay(
        name=name,
        teacher_file=teacher_file,
        staff=staff,
        lessons=tuple(Lesson(t, p, tuple(c)) for (t, p), c in lessons.items()),
        day=day,
        date=date,
        notes=notes,
    )


def parse_absence(text: str, where: str) -> Absence:
    """Read "NAME[:REASON]"; an empty reason keeps the teacher list's reason."""
    name, _, reason = _nfc(text).partition(":")
    return Absence(name.strip(), reason.strip() or None, where)


def apply_absences(day: SchoolDay, absences: Iterable[Absence]) -> SchoolDay:
    """Mark teachers absent, on top of the teacher list's `present` column."""
    staff = dict(day.staff)
    for absence in absences:
        if not absence.name:
            raise InputError(f"{absence.where}: no teacher name given")
        member = staff.get(absence.name)
        if member is None:
            raise InputError(
                f"{absence.where}: unknown teacher {_shown(absence.name)} "
                f"(not in {day.teacher_file})" + _did_you_mean(absence.name, staff)
            )
        reason = absence.reason if absence.reason is not None else member.reason
        staff[absence.name] = dataclasses.replace(member, present=False, reason=reason)
    return dataclasses.replace(day, staff=staff)


def read_absence_file(path: Path) -> list[Absence]:
    """One "NAME[:REASON]" a line; blank lines and lines starting with # are skipped."""
    return [
        parse_absence(line, f"{path}, line {number}")
        for number, line in enumerate(_read_text(path).splitlines(), start=1)
        if line.strip() and not line.lstrip().startswith("#")
    ]


def _read_staff(path: Path, ignored: list[str]) -> dict[str, StaffMember]:
    staff: dict[str, StaffMember] = {}
    for line, row in _read_table(path, TEACHER_COLUMNS, ignored):
        where = f"{path}, line {line}"
        name = row["name"]
        if not name:
            raise InputError(f"{where}: no name given")
        if name in staff:
            raise InputError(
                f"{where}: teacher {_shown(name)} is listed twice "
                f"(first on line {staff[name].line})"
            )
        if not row["subject"]:
            raise InputError(f"{where}: no subject given for {_shown(name)}")
        try:
            keyword = module_keyword(row["subject"])
        except UnknownSubject as error:
            raise InputError(f"{where}: {error}") from None
        probe = rotavel.Teacher(name, keyword, True)
        present = _parse_present(row["present"], where)
        reason = row.get("reason") or probe.reason_of_absentee
        staff[name] = StaffMember(name, keyword, probe.get_sub(), present, reason, line)
    return staff


class _Row(NamedTuple):  # a tuple: a week's timetable has many
    teacher: str
    period: int
    class_name: str
    day: str  # empty when the timetable has no day column


def _read_timetable(path: Path, staff: dict[str, StaffMember], ignored: list[str]) -> list[_Row]:
    """Every row of the timetable, checked, in file order."""
    rows = []
    for line, row in _read_table(path, TIMETABLE_COLUMNS, ignored):
        where = f"{path}, line {line}"
        teacher = row["teacher"]
        if not teacher:
            raise InputError(f"{where}: no teacher given")
        if teacher not in staff:
            raise InputError(
                f"{where}: unknown teacher {_shown(teacher)} (not in {TEACHER_FILE})"
                + _did_you_mean(teacher, staff)
            )
        period = _parse_period(row["period"], where)
        if not row["class"]:
            raise InputError(f"{where}: no class given")
        if "day" in row and not row["day"]:
            raise InputError(f"{where}: no day given")
        rows.append(_Row(teacher, period, row["class"], row.get("day", "")))
    return rows


def _choose_day(
    path: Path, rows: Sequence[_Row], wanted: DayWanted
) -> tuple[str | None, datetime.date | None]:
    """The day to plan, as the timetable spells it, and the date planned."""
    days: dict[str, str] = {}  # compared form -> the timetable's first spelling
    for spelling in dict.fromkeys(row.day for row in rows):
        days.setdefault(spelling_key(spelling), spelling)
    if not rows or "" in days:  # no day column (or no lessons at all)
        if wanted.day is not None:
            raise InputError(f"--day {_shown(wanted.day)}: {path} has no day column")
        return None, wanted.date
    listed = "; the days are: " + ", ".join(days.values())
    if wanted.day is not None:
        key = spelling_key(wanted.day)
        found = [days[key]] if key in days else [d for k, d in days.items() if k.startswith(key)]
        if not found:
            found = _weekday(key, days)
        if len(found) == 1:
            return found[0], wanted.date
        if found:
            raise InputError(f"--day {_shown(wanted.day)} could be {' or '.join(found)}{listed}")
        raise InputError(f"--day {_shown(wanted.day)}: {path} has no such day{listed}")
    date = wanted.date or wanted.today or datetime.date.today()
    weekday = WEEKDAYS[date.weekday()]
    found = _weekday(spelling_key(weekday), days)
    if len(found) == 1:
        return found[0], date
    when = f"--date {date.isoformat()} is a" if wanted.date else "today is"
    raise InputError(
        f"{path}: {when} {weekday}, which the timetable does not have "
        f"(choose one with --day){listed}"
    )


def _weekday(key: str, days: dict[str, str]) -> list[str]:
    """The timetable's days that stand for a weekday, written in full or
    shortened (Mon, Tues); none when `key` is not a weekday."""
    if key not in map(spelling_key, WEEKDAYS):
        return []
    return [d for k, d in days.items() if k == key or (len(k) >= 3 and key.startswith(k))]


def _parse_present(text: str, where: str) -> bool:
    word = text.lower()
    if word in _YES:
        return True
    if word in _NO:
        return False
    raise InputError(f"{where}: present must be yes or no, not {_shown(text)}")


def _parse_period(text: str, where: str) -> int:
    if not text:
        raise InputError(f"{where}: no period given")
    if text.isascii() and text.isdigit() and len(text) < len(str(PERIOD_MAX)):
        return int(text)  # the common case, checked quickly
    if not _WHOLE_NUMBER.fullmatch(text):
        raise InputError(f"{where}: period {_shown(text)} is not a whole number")
    # Look at the digits before converting: a field of thousands of digits is
    # out of range, and int() would refuse it with the interpreter's own error.
    digits = text.lstrip("+-").lstrip("0")
    if len(digits) > len(str(PERIOD_MAX)) or not PERIOD_MIN <= int(text) <= PERIOD_MAX:
        shown = text if len(text) <= 20 else f"{text[:12]}... ({len(digits)} digits)"
        raise InputError(f"{where}: period {shown} is out of range ({PERIOD_MIN} to {PERIOD_MAX})")
    return int(text)


def _read_text(path: Path) -> str:
    """A whole input file as text, refusing devices, pipes and absurd sizes."""
    try:
        # Non-blocking, so that a pipe's open does not wait for a writer; the
        # checks then look at what was opened, not at what the name meant a moment before.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise InputError(f"{path}: file not found") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None
    with os.fdopen(fd, "rb") as file:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise InputError(f"{path}: is a folder, not a file")
        if not stat.S_ISREG(info.st_mode):
            raise InputError(f"{path}: not a regular file")
        too_large = (
            f"{path}: larger than {MAX_INPUT_BYTES // (1024 * 1024)} MiB; is it the right file?"
        )
        if info.st_size > MAX_INPUT_BYTES:
            raise InputError(too_large)
        try:
            data = file.read(MAX_INPUT_BYTES + 1)
        except OSError as error:
            raise InputError(f"{path}: cannot read: {error.strerror}") from None
        if len(data) > MAX_INPUT_BYTES:  # it grew while being read
            raise InputError(too_large)
    # Spreadsheet programs like to start UTF-8 files with a byte order mark.
    data = data.removeprefix(codecs.BOM_UTF8)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(
            f"{path}, line {line}: not UTF-8 text "
            f"(byte 0x{data[error.start]:02x}); save the file as UTF-8"
        ) from None


class _Lines:
    """The lines of a text for a CSV reader, remembering the line on which
    the current record began (a quoted field may span several lines)."""

    def __init__(self, text: str) -> None:
        self._lines = io.StringIO(text, newline="")
        self.number = 0
        self.start = 0

    def __iter__(self) -> _Lines:
        return self

    def __next__(self) -> str:
        line = next(self._lines)
        self.number += 1
        if not self.start and line.strip("\r\n"):
            self.start = self.number
        return line

    def take_start(self) -> int:
        """Where the record just read began; the next record starts afresh."""
        start, self.start = self.start or self.number, 0
        return start


def _read_table(
    path: Path, columns: Columns, ignored: list[str]
) -> Iterator[tuple[int, dict[str, str]]]:
    """Rows of a CSV file with a header, as (line number, column -> stripped
    text in NFC) for the known columns; a column missing from a short row
    reads as empty. Unknown columns are added to `ignored`."""
    text = _read_text(path)
    separator = _separator(text, columns)
    lines = _Lines(text)
    try:
        header: list[str] = []
        for fields in csv.reader(lines, delimiter=separator, strict=True):
            line = lines.take_start()
            header = [_nfc(field).strip().lower() for field in fields]
            if any(header):
                break
        else:
            raise InputError(
                f"{path}, line 1: the file is empty; the header should be: "
                + ", ".join(columns.known)
            )
        unknown = _check_header(f"{path}, line {line}", header, columns)
        missing = [column for column in columns.optional if column not in header]
        for column in unknown:
            import difflib  # only for the note on an ignored column: most files have none

            close = difflib.get_close_matches(column, missing, n=1)
            hint = f", did you mean {close[0]!r}?" if close else ""
            ignored.append(f"{column!r} ({path.name}{hint})")
        # A column with no name gets a key of its own, so that a value under
        # it (most often a comma that should have been quoted) is noticed.
        keys = [column or f"\0{index}" for index, column in enumerate(header)]
        unnamed = [key for key in keys if key.startswith("\0")]
        used = [column for column in columns.known if column in header]
        reader = csv.DictReader(
            lines, keys, restkey=_EXTRA, restval="", delimiter=separator, strict=True
        )
        for row in reader:
            start = lines.take_start()
            if _EXTRA in row:
                count = len(keys) + len(row[_EXTRA])
                raise InputError(
                    f"{path}, line {start}: {count} fields, but the header names {len(keys)} "
                    "(put a field that contains a comma in double quotes)"
                )
            if unnamed and "".join(row[key] for key in unnamed).strip():
                raise InputError(
                    f"{path}, line {start}: a value under a column with no name "
                    "(put a field that contains a comma in double quotes)"
                )
            if "".join(row.values()).strip():  # else a blank line, or only separators
                yield start, {column: _nfc(row[column].strip()) for column in used}
    except csv.Error as error:
        raise InputError(f"{path}, line {lines.start or lines.number}: bad CSV: {error}") from None


def _check_header(where: str, header: list[str], columns: Columns) -> list[str]:
    """The header's unknown columns; an error for a column named twice or a
    required one missing."""
    expected = ", ".join(columns.known)
    unknown = []
    for index, column in enumerate(header):
        if not column:  # e.g. a trailing comma after the last name
            continue
        if column in header[:index]:
            raise InputError(f"{where}: column {column!r} appears twice in the header")
        if column not in columns.known:
            unknown.append(column)
    for column in columns.required:
        if column not in header:
            import difflib  # only for a hint on bad input: a good run need not load it

            close = difflib.get_close_matches(column, unknown, n=1)
            hint = f" (is {close[0]!r} a misspelling?)" if close else ""
            raise InputError(
                f"{where}: missing column {column!r}{hint}; the columns are: {expected}"
            )
    return unknown


def _separator(text: str, columns: Columns) -> str:
    """Comma, semicolon or tab: the one that splits the header into the most
    column names the file should have (a comma when none does better)."""

    def score(separator: str) -> int:
        try:
            for fields in csv.reader(io.StringIO(text, newline=""), delimiter=separator):
                if any(field.strip() for field in fields):
                    return len({f.strip().lower() for f in fields} & set(columns.known))
        except csv.Error:
            pass
        return 0

    return max(_SEPARATORS, key=score)


def _nfc(text: str) -> str:
    return text if text.isascii() else unicodedata.normalize("NFC", text)


def _is_utf8(text: str) -> bool:
    """False for a str holding bytes that were not UTF-8 (smuggled in as lone surrogates)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _shown(text: str, limit: int = 80) -> str:
    """A value from the input quoted for a message, shortened when long."""
    if len(text) > limit:
        return repr(text[:limit]) + f"... ({len(text)} characters)"
    return repr(text)


def _looks(text: str) -> str:
    """What a reader sees: compatibility forms folded, invisible format characters gone."""
    folded = unicodedata.normalize("NFKC", text)
    return "".join(c for c in folded if unicodedata.category(c) != "Cf")


def _did_you_mean(name: str, known: Iterable[str]) -> str:
    import difflib  # only for a hint on bad input: a good run need not load it

    close = difflib.get_close_matches(name, list(known), n=1)
    if not close:
        return ""
    if _looks(close[0]) == _looks(name):
        # Suggesting a name that looks the same would only puzzle; show the difference.
        return f"; it looks like {_shown(close[0])} but is written {name!a}, not {close[0]!a}"
    return f"; did you mean {_shown(close[0])}?"
