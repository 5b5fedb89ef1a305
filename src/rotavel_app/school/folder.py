"""The school folder: `teacher_list.csv`, `timetable.csv` and, optionally,
`rotavel.toml`, read into the school's week, and the day's absences.

Every problem with the input becomes an `InputError` whose message names the
file (or option), the line and what is wrong, so the command can print one
line and stop before anything is planned.
"""

from __future__ import annotations

import csv
import io
import os
import stat
from collections.abc import Container, Iterable, Sequence
from typing import TYPE_CHECKING

from rotavel_app.files import read_text
from rotavel_app.language import _
from rotavel_app.messages import InputError, at_line, os_reason, shown
from rotavel_app.output import OutputError, write_file
from rotavel_app.school.csv_reader import Columns, read_table
from rotavel_app.school.day import (
    Absence,
    DayWanted,
    SchoolDay,
    choose_day,
    name_lengths,
    parse_absence,
    parse_period,
    parse_present,
)
from rotavel_app.school.settings import SETTINGS_FILE, Settings, load_settings, parse_time
from rotavel_app.school.week import LessonRows, StaffRow, Week

if TYPE_CHECKING:
    from rotavel_app.files import StrPath

TEACHER_FILE = "teacher_list.csv"
TIMETABLE_FILE = "timetable.csv"

TEACHER_COLUMNS = Columns(("name", "subject"), ("present", "reason", "days", "periods", "email"))
TIMETABLE_COLUMNS = Columns(("teacher", "period", "class"), ("day", "room", "week", "lesson"))


def is_utf8(text: str) -> bool:
    """False for a str holding bytes that were not UTF-8 (smuggled in as lone surrogates)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


# A file changed less than this long before it was read may change again within the
# same timestamp (a coarse file system's, a network share's): its contents are read
# again on every look until it is older.
_RACY_SECONDS = 3.0
# A file larger than any export a reader takes (a backup, a video left in the folder) is
# known by its status alone, change time included, rather than read whole at every start.
_READ_AT_MOST = 64 * 1024 * 1024
# Digests of files not changed since, by path and status. (One dict operation at a time:
# threads sharing it need no lock. hashlib and time are imported when first needed: a
# plan from the command's options never asks for a version.)
_digests: dict[tuple[str, int, int, int, int], bytes] = {}


def school_version(folder: StrPath, skip: Iterable[str] = ()) -> str:
    """One version of everything the readers of a school folder may read: a
    digest of the contents of every file in it (the CSV files, rotavel.toml,
    whichever timetabling program's export), so a file replaced by another
    of the same name, size and time still gives a new version. Names starting
    with one of `skip` (the desk's record, which every commit changes) are
    left out. Raises OSError when the folder cannot be read."""
    import hashlib

    skip = tuple(skip)
    version = hashlib.sha256()
    with os.scandir(folder) as listing:
        entries = sorted(listing, key=lambda e: e.name)
    for entry in entries:
        if entry.name.startswith(skip):
            continue
        try:
            info = entry.stat()
        except FileNotFoundError:
            continue  # gone since the folder was listed
        if not stat.S_ISREG(info.st_mode):
            continue
        version.update(entry.name.encode("utf-8", "surrogatepass") + b"\0")
        version.update(_file_digest(entry.path, info))
    return version.hexdigest()


def _file_digest(path: str, info: os.stat_result) -> bytes:
    """The digest of a file's contents, read again only when its status changed
    or it changed too recently to tell (the change time moves with every write,
    and no program can set it back)."""
    import hashlib
    import time

    key = (path, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)
    kept = _digests.get(key)
    if kept is not None:
        return kept
    if info.st_size > _READ_AT_MOST:
        return repr(key).encode("utf-8", "surrogatepass")
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as file:
            while chunk := file.read(1 << 20):
                digest.update(chunk)
    except OSError:
        # Gone since, or not ours to read: its reader, if any reads it, says so.
        return repr(key).encode("utf-8", "surrogatepass")
    value = digest.digest()
    if time.time() - max(info.st_mtime_ns, info.st_ctime_ns) / 1e9 > _RACY_SECONDS:
        if len(_digests) > 4096:
            _digests.clear()  # files of folders long replaced
        _digests[key] = value
    return value


def is_address(text: str) -> bool:
    """An e-mail address as far as the desk can tell: one @, no spaces or controls
    (a line break would let a name add its own mail headers)."""
    local, at, domain = text.partition("@")
    return (
        bool(local and at and domain)
        and "@" not in domain
        and text.isprintable()
        and not any(c.isspace() for c in text)
    )


def read_folder(folder: StrPath, name: str | None = None) -> Week:
    """The week of a school folder: its teacher list and timetable."""
    if name is None:
        name = os.path.basename(os.path.realpath(folder))
        if not is_utf8(name):
            raise InputError(
                _("%(folder)s: the folder's name is not valid UTF-8; rename it")
                % {"folder": folder}
            )
    notes: list[str] = []
    ignored: list[str] = []
    teacher_file = os.path.join(folder, TEACHER_FILE)
    staff = read_staff(teacher_file, ignored, notes)
    timetable_file = os.path.join(folder, TIMETABLE_FILE)
    lessons = read_timetable(timetable_file, ignored, notes)
    if ignored:
        notes.insert(
            0,
            _("ignored columns that rotavel does not use: %(columns)s")
            % {"columns": ", ".join(ignored)},
        )
    return Week(name, teacher_file, staff, lessons, notes=notes, lessons_source=timetable_file)


def load_school(
    folder: StrPath,
    name: str | None = None,
    wanted: DayWanted | None = None,
    settings: Settings | None = None,
) -> SchoolDay:
    """Read a school folder and choose the day wanted of its timetable."""
    if settings is None:
        settings = load_settings(folder)
    return choose_day(read_folder(folder, name), wanted, settings)


def read_staff(path: StrPath, ignored: list[str], notes: list[str]) -> list[StaffRow]:
    rows = []
    table = read_table(path, read_text(path, notes), TEACHER_COLUMNS, ignored)
    for line, row in table.rows:
        where = at_line(path, line)
        name, subject = table.get(row, "name"), table.get(row, "subject")
        if not name:
            raise InputError(_("%(where)s: no name given") % {"where": where})
        if not subject:
            raise InputError(
                _("%(where)s: no subject given for %(name)s")
                % {"where": where, "name": shown(name)}
            )
        present_text = table.get(row, "present")
        present = parse_present(present_text, where) if present_text else True
        periods = table.get(row, "periods")
        if periods and present:
            raise InputError(
                _(
                    "%(where)s: periods %(periods)s given for %(name)s, who is present; "
                    "write no under present for an absence of part of the day"
                )
                % {"where": where, "periods": shown(periods), "name": shown(name)}
            )
        reason, days = table.get(row, "reason"), table.get(row, "days")
        email = table.get(row, "email")
        if email and not is_address(email):
            raise InputError(
                _("%(where)s: email %(email)s of %(name)s is not an e-mail address")
                % {"where": where, "email": shown(email), "name": shown(name)}
            )
        rows.append(StaffRow(name, subject, present, reason, days, periods, where, email, line))
    return rows


def read_timetable(path: StrPath, ignored: list[str], notes: list[str]) -> LessonRows:
    """Every row of the timetable, checked, in file order."""
    table = read_table(path, read_text(path, notes), TIMETABLE_COLUMNS, ignored)
    teacher_at, period_at, class_at = (table.index[c] for c in TIMETABLE_COLUMNS.required)
    day_at = table.index.get("day")
    room_at, week_at = table.index.get("room"), table.index.get("week")
    lesson_at = table.index.get("lesson")
    # A row's place is kept as its line number, between the words said once (no path holds NUL).
    before, _mark, after = at_line(path, "\0").partition("\0")
    rows = LessonRows(where_prefix=before, where_suffix=after)
    add, add_row = rows.add, rows.adder()
    for line, row in table.rows:
        teacher, period, class_name = row[teacher_at], row[period_at], row[class_at]
        if not teacher:
            raise InputError(_("%(where)s: no teacher given") % {"where": at_line(path, line)})
        if len(period) < 4 and period.isdigit() and period.isascii():
            number = int(period)  # the common case, quickly
        else:
            number = parse_period(period, at_line(path, line))
        if not class_name:
            raise InputError(_("%(where)s: no class given") % {"where": at_line(path, line)})
        day = "" if day_at is None else row[day_at]
        if day_at is not None and not day:
            raise InputError(_("%(where)s: no day given") % {"where": at_line(path, line)})
        room = "" if room_at is None else row[room_at]
        week = "" if week_at is None else row[week_at].upper()
        lesson = "" if lesson_at is None else row[lesson_at]
        if room or week or lesson:
            add(teacher, number, class_name, day, room, lesson, week, "", line)
        else:
            add_row(teacher, number, class_name, day, line)
    return rows


def read_absence_file(path: StrPath, names: Container[str] = ()) -> list[Absence]:
    """One "NAME[@PERIODS][:REASON]" a line; blank lines and lines starting
    with # are skipped. Only line feeds end a line: a form feed or a Unicode
    line separator inside a name must not shift the line numbers."""
    lengths = name_lengths(names) if isinstance(names, Iterable) else None
    return [
        parse_absence(line, at_line(path, number), names, lengths)
        for number, line in enumerate(read_text(path).split("\n"), start=1)
        if line.strip() and not line.lstrip().startswith("#")
    ]


def write_folder(week: Week, settings: Settings, folder: StrPath) -> None:
    """The week as a school folder, for a school to correct its imported data
    in a spreadsheet and plan from the folder from then on. A folder that
    already holds a school is left alone."""
    for name in (TEACHER_FILE, TIMETABLE_FILE, SETTINGS_FILE):
        if os.path.exists(path := os.path.join(folder, name)):
            raise OutputError(
                _("%(path)s exists already; convert into an empty folder") % {"path": path}
            )
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise OutputError(
            _("%(folder)s: cannot create the folder: %(error)s")
            % {"folder": folder, "error": os_reason(error)}
        ) from None
    staff: list[tuple[str, ...]] = [("name", "subject", "present", "reason", "days", "periods")]
    staff += [
        (m.name, m.subject, "yes" if m.present else "no", m.reason, m.days, m.periods)
        for m in week.staff
    ]
    if any(m.email for m in week.staff):  # the export's addresses, for the desk's e-mail
        staff = [(*row, m) for row, m in zip(staff, ["email", *(m.email for m in week.staff)])]
    columns = ("day", "teacher", "period", "class", "room", "week", "lesson")
    rows = [columns] + [
        (r.day, r.teacher, str(r.period), r.class_name, r.room, r.week, r.lesson_id)
        for r in week.lessons
    ]
    write_file(os.path.join(folder, TEACHER_FILE), _csv(staff).encode("utf-8"))
    write_file(os.path.join(folder, TIMETABLE_FILE), _csv(rows).encode("utf-8"))
    lines = [f"name = {_toml_text(settings.name or week.name)}"]
    if settings.language != "en":
        lines.append(f"language = {_toml_text(settings.language)}")
    times = {p: t for p, n in sorted(week.period_names.items()) if (t := parse_time(n))}
    if times:
        lines += ["", "[times]"] + [f"{p} = {_toml_text(t)}" for p, t in times.items()]
    write_file(os.path.join(folder, SETTINGS_FILE), ("\n".join(lines) + "\n").encode("utf-8"))


def _csv(rows: Sequence[Sequence[str]]) -> str:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue()


def _toml_text(text: str) -> str:
    """A TOML basic string; json's escapes are TOML's for these characters."""
    import json

    return json.dumps(text, ensure_ascii=False)
