"""Reading a school folder and the day's absences, and building the School.

Every problem with the input becomes an `InputError` whose message names the
file (or option), the line and what is wrong, so the command can print one
line and stop before anything is planned.
"""

from __future__ import annotations

import codecs
import csv
import dataclasses
import datetime
import difflib
import io
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

import rotavel

TEACHER_FILE = "teacher_list.csv"
TIMETABLE_FILE = "timetable.csv"

TEACHER_COLUMNS = ("name", "subject", "present")
TEACHER_OPTIONAL = ("reason",)
TIMETABLE_COLUMNS = ("teacher", "period", "class")

# The subject keywords the module understands (compared without regard to
# case). Only used to tell the user what to write instead of a wrong one.
SUBJECT_KEYWORDS = (
    "accountancy", "art", "bengali", "bio", "biology", "business", "chemistry",
    "civics", "computer", "economics", "english", "finfance", "games",
    "geography", "hindi", "history", "maths", "P.E", "physics", "sanskrit",
    "urdu",
)

PERIOD_MIN = -32768
PERIOD_MAX = 32767

_YES = frozenset({"yes", "y", "true", "1", "present"})
_NO = frozenset({"no", "n", "false", "0", "absent"})
_WHOLE_NUMBER = re.compile(r"[+-]?[0-9]+")


class InputError(Exception):
    """Bad input; the message says where and what, ready to show the user."""


@dataclass(frozen=True)
class StaffMember:
    name: str
    keyword: str  # the subject as written in the file
    subject: str  # the module's display name for it, e.g. "Maths"
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
class SchoolDay:
    """Everything the command knows about the day, straight from the input."""

    name: str  # shown as the title of the board
    teacher_file: Path
    staff: dict[str, StaffMember]  # in file order
    lessons: tuple[Lesson, ...]  # in file order; one per teacher and period
    day: str | None = None  # the day planned, as the timetable names it
    date: datetime.date | None = None  # the date planned, when given

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


def load_school(folder: Path, name: str | None = None) -> SchoolDay:
    """Read `teacher_list.csv` and `timetable.csv` from `folder`."""
    teacher_file = folder / TEACHER_FILE
    staff = _read_staff(teacher_file)
    lessons = _read_timetable(folder / TIMETABLE_FILE, staff)
    return SchoolDay(
        name=name if name is not None else folder.resolve().name,
        teacher_file=teacher_file,
        staff=staff,
        lessons=tuple(lessons),
    )


def parse_absence(text: str) -> tuple[str, str | None]:
    """Split "NAME[:REASON]"; an empty reason means "keep the file's reason"."""
    name, _, reason = text.partition(":")
    return name.strip(), reason.strip() or None


def apply_absences(
    day: SchoolDay, absences: Iterable[tuple[str, tuple[str, str | None]]]
) -> SchoolDay:
    """Mark teachers absent. Each absence comes with where it was given
    (an option or "FILE, line N") for the message if the name is unknown."""
    staff = dict(day.staff)
    for where, (name, reason) in absences:
        if not name:
            raise InputError(f"{where}: no teacher name given")
        member = staff.get(name)
        if member is None:
            raise InputError(
                f"{where}: unknown teacher {name!r} (not in {day.teacher_file})"
                + _did_you_mean(name, staff)
            )
        staff[name] = dataclasses.replace(
            member, present=False, reason=reason if reason is not None else member.reason
        )
    return dataclasses.replace(day, staff=staff)


def read_absence_file(path: Path) -> list[tuple[str, tuple[str, str | None]]]:
    """One "NAME[:REASON]" a line; blank lines and lines starting with # are skipped."""
    text = _read_text(path)
    absences = []
    for number, line in enumerate(text.splitlines(), start=1):
        if line.strip() and not line.lstrip().startswith("#"):
            absences.append((f"{path}, line {number}", parse_absence(line)))
    return absences


def _read_staff(path: Path) -> dict[str, StaffMember]:
    staff: dict[str, StaffMember] = {}
    for line, row in _read_table(path, TEACHER_COLUMNS, TEACHER_OPTIONAL):
        where = f"{path}, line {line}"
        name = row["name"]
        if not name:
            raise InputError(f"{where}: no name given")
        if name in staff:
            raise InputError(
                f"{where}: teacher {name!r} is listed twice (first on line {staff[name].line})"
            )
        keyword = row["subject"]
        if not keyword:
            raise InputError(f"{where}: no subject given for {name!r}")
        try:
            probe = rotavel.Teacher(name, keyword, True)
        except TypeError:
            raise InputError(
                f"{where}: unknown subject {keyword!r}; use one of: "
                + ", ".join(SUBJECT_KEYWORDS)
            ) from None
        present = _parse_present(row["present"], where)
        reason = row.get("reason") or probe.reason_of_absentee
        staff[name] = StaffMember(name, keyword, probe.get_sub(), present, reason, line)
    return staff


def _read_timetable(path: Path, staff: dict[str, StaffMember]) -> list[Lesson]:
    """The day's lessons in file order. Rows of one teacher in one period
    make one (combined) lesson, placed where its first row stands."""
    lessons: dict[tuple[str, int], list[str]] = {}
    for line, row in _read_table(path, TIMETABLE_COLUMNS, ()):
        where = f"{path}, line {line}"
        teacher = row["teacher"]
        if not teacher:
            raise InputError(f"{where}: no teacher given")
        if teacher not in staff:
            raise InputError(
                f"{where}: unknown teacher {teacher!r} (not in {TEACHER_FILE})"
                + _did_you_mean(teacher, staff)
            )
        period = _parse_period(row["period"], where)
        class_name = row["class"]
        if not class_name:
            raise InputError(f"{where}: no class given")
        classes = lessons.setdefault((teacher, period), [])
        if class_name not in classes:
            classes.append(class_name)
    return [Lesson(teacher, period, tuple(classes)) for (teacher, period), classes in lessons.items()]


def _parse_present(text: str, where: str) -> bool:
    word = text.lower()
    if word in _YES:
        return True
    if word in _NO:
        return False
    raise InputError(f"{where}: present must be yes or no, not {text!r}")


def _parse_period(text: str, where: str) -> int:
    if not text:
        raise InputError(f"{where}: no period given")
    if not _WHOLE_NUMBER.fullmatch(text):
        raise InputError(f"{where}: period {text!r} is not a whole number")
    period = int(text)
    if not PERIOD_MIN <= period <= PERIOD_MAX:
        raise InputError(
            f"{where}: period {period} is out of range ({PERIOD_MIN} to {PERIOD_MAX})"
        )
    return period


def _read_text(path: Path) -> str:
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise InputError(f"{path}: file not found") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a folder, not a file") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror}") from None
    # Spreadsheet programs like to start UTF-8 files with a byte order mark.
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(
            f"{path}, line {line}: not UTF-8 text "
            f"(byte 0x{data[error.start]:02x}); save the file as UTF-8"
        ) from None


def _read_table(
    path: Path, required: Sequence[str], optional: Sequence[str]
) -> Iterator[tuple[int, dict[str, str]]]:
    """Rows of a CSV file with a header, as (line number, column -> stripped
    text); a column missing from a short row reads as empty."""
    records = _records(path, _read_text(path))
    allowed = (*required, *optional)
    expected = ", ".join(allowed)
    header: list[str] = []
    for line, fields in records:
        header = [field.strip().lower() for field in fields]
        if any(header):
            break
    else:
        raise InputError(f"{path}, line 1: the file is empty; the header should be: {expected}")
    where = f"{path}, line {line}"
    for index, column in enumerate(header):
        if not column:  # e.g. a trailing comma after the last name
            continue
        if column in header[:index]:
            raise InputError(f"{where}: column {column!r} appears twice in the header")
        if column not in allowed:
            raise InputError(f"{where}: unknown column {column!r}; the columns are: {expected}")
    for column in required:
        if column not in header:
            raise InputError(f"{where}: missing column {column!r}; the columns are: {expected}")
    for line, fields in records:
        if not any(field.strip() for field in fields):
            continue
        if len(fields) > len(header):
            raise InputError(
                f"{path}, line {line}: {len(fields)} fields, but the header names "
                f"{len(header)} (put a field that contains a comma in double quotes)"
            )
        if any(field.strip() for column, field in zip(header, fields) if not column):
            raise InputError(
                f"{path}, line {line}: a value under a column with no name "
                "(put a field that contains a comma in double quotes)"
            )
        padded = [*fields, *[""] * (len(header) - len(fields))]
        yield line, {column: field.strip() for column, field in zip(header, padded)}


def _records(path: Path, text: str) -> Iterator[tuple[int, list[str]]]:
    """CSV records with the line each one starts on."""
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    start = 1
    try:
        for fields in reader:
            yield start, fields
            start = reader.line_num + 1
    except csv.Error as error:
        raise InputError(f"{path}, line {start}: bad CSV: {error}") from None


def _did_you_mean(name: str, staff: Iterable[str]) -> str:
    close = difflib.get_close_matches(name, list(staff), n=1)
    return f"; did you mean {close[0]!r}?" if close else ""
