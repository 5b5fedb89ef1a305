"""Untis's text exports (the "DIF" files GPU001.TXT and its neighbours), and
the substitutions file GPU014.TXT read back.

GPU001 is the timetable: one line per class, teacher and placed period of a
lesson, fields separated by a character the school chooses (`,` or `;`),
text in double quotes. A lesson coupling several classes and teachers (a
religion or language block, a team) repeats its slot for every class and
every teacher under one lesson number: those rows share the lesson number as
their lesson id. A group lesson is a lesson of its own (another lesson number
for the same class in the same slot); a double period is two lines.

Beside it, when present: GPU004 (teachers) gives full names, GPU005 (rooms)
and GPU006 (subjects) give long names. The files are UTF-8 (with or without
a byte order mark) or, from older installations, Windows-1252.
"""

from __future__ import annotations

import csv
import datetime
import io
from collections.abc import Sequence
from pathlib import Path
from typing import NamedTuple

from rotavel_app.files import read_bytes
from rotavel_app.language import N_, _, ngettext
from rotavel_app.messages import InputError, at_line
from rotavel_app.school.importers._common import (
    NO_CLASS,
    NO_TEACHER,
    NO_TEACHER_OR_CLASS,
    PLACEHOLDER,
    ROWS,
    Skipped,
    decode_utf8_or_windows,
    is_placeholder,
    lines_of,
    main_subjects,
    nfc,
    period_in_range,
    team_id,
    unique_names,
)
from rotavel_app.school.importers.names import UNTIS_TIMETABLE as TIMETABLE
from rotavel_app.school.importers.names import find_file
from rotavel_app.school.week import LessonRow, StaffRow, Week
from rotavel_app.school.weekdays import WEEKDAYS

TEACHERS = "GPU004.TXT"
ROOMS = "GPU005.TXT"
SUBJECTS = "GPU006.TXT"

# What the records of each file hold, for a refusal of one cut short; marked here,
# said in the language of the run.
_GPU001_FIELDS = N_("lesson number, class, teacher, subject, room, day, period")
_GPU004_FIELDS = N_("code, surname")
_NAME_FIELDS = N_("code, name")
_GPU014_FIELDS = N_("number, date, period, ... kind letter")
_PERIOD_NOT_WHOLE = N_("%(where)s: period %(value)s is not a whole number")
_SEPARATORS = (",", ";", "\t", "|")
_LIST = "~"  # between the items of one field (rooms, classes)


def read_untis(path: Path) -> Week:
    """The week of an Untis export: `path` is the folder holding GPU001.TXT,
    or that file itself.

    Names are those the school reads on its printed timetables: a teacher's
    first name and surname from GPU004 ("Anna Berg"; with the code added when
    two teachers share a name), else the code; a room's and a subject's long
    name from GPU005 and GPU006 when they give one, else the code. A teacher's
    subject is the one they teach most. Rows with no class (duties, standby),
    no teacher or a placeholder teacher ("N.N.") are left out with one note."""
    folder, timetable = _locate(path)
    teacher_file, names = _teacher_names(folder)
    rooms = _long_names(folder, ROOMS)
    subjects = _long_names(folder, SUBJECTS)

    skipped = Skipped(ROWS)
    slots: dict[tuple[str, str, int, str], list[tuple[str, str, str, str, int]]] = {}
    codes: dict[str, None] = {}
    for number, fields in _records(timetable, 7, _GPU001_FIELDS):
        skipped.count()
        where = at_line(timetable, number)
        lesson, klass, teacher, subject, room = (nfc(f) for f in fields[:5])
        weekday = _whole(fields[5], N_("%(where)s: day %(value)s is not a whole number"), where)
        if not 1 <= weekday <= len(WEEKDAYS):  # Untis numbers them from Monday
            raise InputError(
                _("%(where)s: day %(day)s is not a day of the week (1 = Monday ... 7)")
                % {"where": where, "day": weekday}
            )
        period = period_in_range(_whole(fields[6], _PERIOD_NOT_WHOLE, where), where)
        week = nfc(fields[8]) if len(fields) > 8 else ""
        if not klass:
            skipped.skip(NO_TEACHER_OR_CLASS if not teacher else NO_CLASS)
            continue
        if not teacher:
            skipped.skip(NO_TEACHER)
            continue
        if is_placeholder(teacher):
            skipped.skip(PLACEHOLDER, teacher)
            continue
        codes.setdefault(teacher)
        slot = (lesson, WEEKDAYS[weekday - 1], period, week)
        room = ", ".join(rooms.get(r, r) for r in (nfc(r) for r in room.split(_LIST)) if r)
        slots.setdefault(slot, []).append(
            (teacher, klass, room, subjects.get(subject, subject), number)
        )

    # Every row of a slot is known only once the file is read: a coupling's
    # teachers decide whether its rows share a lesson id.
    name_of = unique_names([(code, names.get(code, "")) for code in [*names, *codes]])
    numbered: list[tuple[int, LessonRow]] = []
    for (lesson, day, period, week), rows in slots.items():
        # A coupling is team teaching only among teachers of one subject; the
        # religion and ethics groups of one coupling are lessons of their own,
        # each covered when its teacher is away.
        by_subject: dict[str, list[str]] = {}
        for teacher, _class, _room, subject, _line in rows:
            by_subject.setdefault(subject, []).append(teacher)
        ids = {s: team_id(t, f"{lesson}/{s}") for s, t in by_subject.items()}
        numbered += [
            (
                line,
                LessonRow(
                    name_of[teacher],
                    period,
                    klass,
                    day,
                    room,
                    ids[subject],
                    week,
                    subject,
                    at_line(timetable, line),
                ),
            )
            for teacher, klass, room, subject, line in rows
        ]
    numbered.sort(key=lambda item: item[0])  # back in file order
    lessons = [row for _line, row in numbered]

    taught = main_subjects(lessons)
    emails = _teacher_emails(teacher_file) if teacher_file is not None else {}
    staff = [
        StaffRow(
            name_of[code],
            taught.get(name_of[code], ""),
            where=_("%(path)s, teacher %(name)s")
            % {"path": teacher_file if code in names else timetable, "name": repr(code)},
            email=emails.get(code, ""),
        )
        for code in name_of
    ]
    return Week(
        name=folder.resolve().name,
        source=str(path),
        staff=staff,
        lessons=lessons,
        notes=skipped.note(timetable),
        teacher_codes={name: code for code, name in name_of.items()},
    )


class Substitution(NamedTuple):
    """One line of GPU014: a substitution (or a cancelled lesson) in one period."""

    number: int
    date: datetime.date
    period: int
    lesson: int  # Untis's lesson number, 0 when not known
    absent: str  # the absent teacher
    substitute: str  # "" when nobody takes the lesson
    subject: str
    classes: tuple[str, ...]
    reason: str
    kind: str  # the type letter: "" a substitution, "C" cancelled, ...


def read_gpu014(path: Path) -> list[Substitution]:
    """The substitutions of a GPU014 file, in file order (none for an empty
    file: a day without absences)."""
    found = []
    for number, fields in _records(path, 20, _GPU014_FIELDS, empty=True):
        where = at_line(path, number)
        text = [nfc(field) for field in fields]
        date = text[1]
        try:
            if len(date) != 8 or not date.isascii() or not date.isdigit():
                raise ValueError
            day = datetime.date(int(date[:4]), int(date[4:6]), int(date[6:8]))
        except ValueError:
            raise InputError(
                _("%(where)s: date %(date)s is not written YYYYMMDD")
                % {"where": where, "date": repr(date)}
            ) from None
        found.append(
            Substitution(
                number=_whole(
                    text[0],
                    N_("%(where)s: substitution number %(value)s is not a whole number"),
                    where,
                ),
                date=day,
                period=period_in_range(_whole(text[2], _PERIOD_NOT_WHOLE, where), where),
                lesson=_whole(
                    text[4] or "0",
                    N_("%(where)s: lesson number %(value)s is not a whole number"),
                    where,
                ),
                absent=text[5],
                substitute=text[6],
                subject=text[7],
                classes=tuple(c for c in text[14].split(_LIST) if c),
                reason=text[15],
                kind=text[19],
            )
        )
    return found


def _locate(path: Path) -> tuple[Path, Path]:
    """The export's folder and its GPU001 file."""
    if path.is_dir():
        timetable = find_file(path, TIMETABLE)
        if timetable is None:
            raise InputError(
                _("%(path)s: no %(file)s (the Untis timetable export) in the folder")
                % {"path": path, "file": TIMETABLE}
            )
        return path, timetable
    return path.parent, path


def _teacher_names(folder: Path) -> tuple[Path | None, dict[str, str]]:
    """GPU004, and teacher code -> "first name surname" from it (in file
    order), "" for a code the file gives no name; placeholders left out."""
    path = find_file(folder, TEACHERS)
    if path is None:
        return None, {}
    names = {}
    for _line, fields in _records(path, 2, _GPU004_FIELDS):
        code = nfc(fields[0])
        if not code or is_placeholder(code):
            continue
        surname = nfc(fields[1])
        first = nfc(fields[28]) if len(fields) > 28 else ""
        names[code] = f"{first} {surname}" if first and surname else surname
    return path, names


def _teacher_emails(path: Path) -> dict[str, str]:
    """Teacher code -> e-mail address from GPU004's field 33, where the school
    keeps one; anything that is not an address is left out."""
    from rotavel_app.school.folder import is_address

    emails = {}
    for _line, fields in _records(path, 2, _GPU004_FIELDS):
        email = fields[32].strip() if len(fields) > 32 else ""
        if email and is_address(email):
            emails[nfc(fields[0])] = email
    return emails


def _long_names(folder: Path, name: str) -> dict[str, str]:
    """Code -> long name from GPU005 (rooms) or GPU006 (subjects), for the
    codes that have one."""
    path = find_file(folder, name)
    if path is None:
        return {}
    names = {}
    for _line, fields in _records(path, 1, _NAME_FIELDS):
        code, long = nfc(fields[0]), nfc(fields[1]) if len(fields) > 1 else ""
        if code and long:
            names[code] = long
    return names


def _records(
    path: Path, least: int, expected: str, empty: bool = False
) -> list[tuple[int, list[str]]]:
    """(line number, fields) of every non-blank line, each with at least
    `least` fields; an empty file is an error unless `empty` allows it.
    Untis writes one record a line, in the separator the school picked: the
    one that splits the first line into the most fields."""
    text = decode_utf8_or_windows(read_bytes(path), path)
    lines = lines_of(text)
    first = next((line for line in lines if line.strip()), None)
    if first is None:
        if empty:
            return []
        raise InputError(
            _("%(path)s: the file is empty; expected one record a line: %(fields)s")
            % {"path": path, "fields": _(expected)}
        )
    separator = max(_SEPARATORS, key=lambda separator: _count(first, separator))
    records = []
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        fields = _split(line, separator, path, number)
        if len(fields) < least:
            raise InputError(
                ngettext(
                    "%(where)s: %(count)s fields, expected at least %(least)s (%(fields)s); "
                    "is the line cut short?",
                    "%(where)s: %(count)s fields, expected at least %(least)s (%(fields)s); "
                    "is the line cut short?",
                    len(fields),
                )
                % {
                    "where": at_line(path, number),
                    "count": len(fields),
                    "least": least,
                    "fields": _(expected),
                }
            )
        records.append((number, fields))
    return records


def _split(line: str, separator: str, path: Path, number: int) -> list[str]:
    try:
        return next(csv.reader(io.StringIO(line), delimiter=separator, strict=True), [])
    except csv.Error as error:
        # The csv module's own words for the fault stay as it says them.
        raise InputError(
            _("%(where)s: bad record: %(error)s") % {"where": at_line(path, number), "error": error}
        ) from None


def _count(line: str, separator: str) -> int:
    """How many fields `separator` splits the line into; 0 when the quotes
    do not fit it."""
    try:
        return len(next(csv.reader(io.StringIO(line), delimiter=separator, strict=True), []))
    except csv.Error:
        return 0


def _whole(text: str, message: str, where: str) -> int:
    """The number of a field, or `message` (marked with N_, said in the
    language of the run) when it is not one."""
    text = text.strip()
    if not text.isascii() or not text.isdigit() or len(text) > 5:
        raise InputError(_(message) % {"where": where, "value": repr(text)})
    return int(text)


def gpu_fields(fields: Sequence[str | int]) -> str:
    """One DIF record: text in double quotes (a quote inside doubled, line
    breaks as blanks), numbers bare, separated by commas."""
    out = []
    for field in fields:
        if isinstance(field, int):
            out.append(str(field))
        elif field:
            clean = " ".join(field.splitlines()).replace('"', '""')
            out.append(f'"{clean}"')
        else:
            out.append("")
    return ",".join(out)
