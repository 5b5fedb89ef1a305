"""The school folder: `teacher_list.csv`, `timetable.csv` and, optionally,
`rotavel.toml`, read into the school's week, and the day's absences.

Every problem with the input becomes an `InputError` whose message names the
file (or option), the line and what is wrong, so the command can print one
line and stop before anything is planned.
"""

from __future__ import annotations

import csv
import io
from collections.abc import Container, Sequence
from pathlib import Path

from rotavel_cli.files import read_text
from rotavel_cli.messages import InputError, shown
from rotavel_cli.output import OutputError, write_file
from rotavel_cli.schoolday import (
    Absence,
    DayWanted,
    SchoolDay,
    choose_day,
    parse_absence,
    parse_period,
    parse_present,
)
from rotavel_cli.settings import SETTINGS_FILE, Settings, load_settings, parse_time
from rotavel_cli.tables import Columns, read_table
from rotavel_cli.week import LessonRow, StaffRow, Week

TEACHER_FILE = "teacher_list.csv"
TIMETABLE_FILE = "timetable.csv"

TEACHER_COLUMNS = Columns(("name", "subject"), ("present", "reason", "days", "periods"))
TIMETABLE_COLUMNS = Columns(("teacher", "period", "class"), ("day", "room", "week", "lesson"))


def is_utf8(text: str) -> bool:
    """False for a str holding bytes that were not UTF-8 (smuggled in as lone surrogates)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def read_folder(folder: Path, name: str | None = None) -> Week:
    """The week of a school folder: its teacher list and timetable."""
    if name is None:
        name = folder.resolve().name
        if not is_utf8(name):
            raise InputError(f"{folder}: the folder's name is not valid UTF-8; rename it")
    notes: list[str] = []
    ignored: list[str] = []
    teacher_file = folder / TEACHER_FILE
    staff = read_staff(teacher_file, ignored, notes)
    timetable_file = folder / TIMETABLE_FILE
    lessons = read_timetable(timetable_file, ignored, notes)
    if ignored:
        notes.insert(0, "ignored columns that rotavel does not use: " + ", ".join(ignored))
    return Week(name, teacher_file, staff, lessons, notes=notes, lessons_source=timetable_file)


def load_school(
    folder: Path,
    name: str | None = None,
    wanted: DayWanted | None = None,
    settings: Settings | None = None,
) -> SchoolDay:
    """Read a school folder and choose the day wanted of its timetable."""
    if settings is None:
        settings = load_settings(folder)
    return choose_day(read_folder(folder, name), wanted, settings)


def read_staff(path: Path, ignored: list[str], notes: list[str]) -> list[StaffRow]:
    rows = []
    for line, row in read_table(path, read_text(path, notes), TEACHER_COLUMNS, ignored):
        where = f"{path}, line {line}"
        name = row["name"]
        if not name:
            raise InputError(f"{where}: no name given")
        if not row["subject"]:
            raise InputError(f"{where}: no subject given for {shown(name)}")
        present = parse_present(row["present"], where) if row.get("present") else True
        periods = row.get("periods", "")
        if periods and present:
            raise InputError(
                f"{where}: periods {shown(periods)} given for {shown(name)}, who is present; "
                "write no under present for an absence of part of the day"
            )
        rows.append(
            StaffRow(
                name,
                row["subject"],
                present,
                row.get("reason", ""),
                row.get("days", ""),
                periods,
                where,
            )
        )
    return rows


def read_timetable(path: Path, ignored: list[str], notes: list[str]) -> list[LessonRow]:
    """Every row of the timetable, checked, in file order."""
    rows = []
    for line, row in read_table(path, read_text(path, notes), TIMETABLE_COLUMNS, ignored):
        where = f"{path}, line {line}"
        teacher = row["teacher"]
        if not teacher:
            raise InputError(f"{where}: no teacher given")
        period = parse_period(row["period"], where)
        if not row["class"]:
            raise InputError(f"{where}: no class given")
        if "day" in row and not row["day"]:
            raise InputError(f"{where}: no day given")
        rows.append(
            LessonRow(
                teacher,
                period,
                row["class"],
                row.get("day", ""),
                row.get("room", ""),
                lesson_id=row.get("lesson", ""),
                week=row.get("week", "").upper(),
                where=where,
            )
        )
    return rows


def read_absence_file(path: Path, names: Container[str] = ()) -> list[Absence]:
    """One "NAME[@PERIODS][:REASON]" a line; blank lines and lines starting
    with # are skipped. Only line feeds end a line: a form feed or a Unicode
    line separator inside a name must not shift the line numbers."""
    return [
        parse_absence(line, f"{path}, line {number}", names)
        for number, line in enumerate(read_text(path).split("\n"), start=1)
        if line.strip() and not line.lstrip().startswith("#")
    ]


def write_folder(week: Week, settings: Settings, folder: Path) -> None:
    """The week as a school folder, for a school to correct its imported data
    in a spreadsheet and plan from the folder from then on. A folder that
    already holds a school is left alone."""
    for name in (TEACHER_FILE, TIMETABLE_FILE, SETTINGS_FILE):
        if (folder / name).exists():
            raise OutputError(f"{folder / name} exists already; convert into an empty folder")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputError(f"{folder}: cannot create the folder: {error.strerror}") from None
    staff = [("name", "subject", "present", "reason", "days", "periods")]
    staff += [
        (m.name, m.subject, "yes" if m.present else "no", m.reason, m.days, m.periods)
        for m in week.staff
    ]
    columns = ("day", "teacher", "period", "class", "room", "week", "lesson")
    rows = [columns] + [
        (r.day, r.teacher, str(r.period), r.class_name, r.room, r.week, r.lesson_id)
        for r in week.lessons
    ]
    write_file(folder / TEACHER_FILE, _csv(staff).encode("utf-8"))
    write_file(folder / TIMETABLE_FILE, _csv(rows).encode("utf-8"))
    lines = [f"name = {_toml_text(settings.name or week.name)}"]
    times = {p: t for p, n in sorted(week.period_names.items()) if (t := parse_time(n))}
    if times:
        lines += ["", "[times]"] + [f"{p} = {_toml_text(t)}" for p, t in times.items()]
    write_file(folder / SETTINGS_FILE, ("\n".join(lines) + "\n").encode("utf-8"))


def _csv(rows: Sequence[Sequence[str]]) -> str:
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue()


def _toml_text(text: str) -> str:
    """A TOML basic string; json's escapes are TOML's for these characters."""
    import json

    return json.dumps(text, ensure_ascii=False)
