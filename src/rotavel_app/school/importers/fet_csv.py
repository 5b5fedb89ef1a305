"""FET's CSV timetable export (`NAME_timetable.csv`): one row per hour of each
placed activity, with the day and the hour by name, and several students sets
or teachers joined with `+`. Its activities become lessons as the `.fet`
file's do (fet.py), and the hours are numbered from the `.fet` file beside it
when there is one.
"""

from __future__ import annotations

import csv
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from rotavel_app.files import read_bytes
from rotavel_app.language import _, ngettext
from rotavel_app.messages import InputError, at_line
from rotavel_app.school.importers._common import (
    ROWS,
    Skipped,
    check_rows,
    decode_utf8,
    lines_of,
    nfc,
    parse_xml,
)
from rotavel_app.school.importers.fet import Activity, listed_names, placed, staff_rows
from rotavel_app.school.importers.names import TIMED_SUFFIX, TIMETABLE_SUFFIX
from rotavel_app.school.week import LessonRow, Week

CSV_COLUMNS = (
    "Activity Id",
    "Day",
    "Hour",
    "Students Sets",
    "Subject",
    "Teachers",
    "Activity Tags",
    "Room",
    "Comments",
)


_SET_SEPARATOR = "+"  # between students sets, or teachers, in one CSV field


def read_fet_csv(path: Path) -> Week:
    """The week of FET's CSV timetable export.

    The export names the hours but does not list them, and its rows come in
    the order of the activities, so the hours are numbered from the school's
    list when the `.fet` file it came from lies beside it (`NAME.fet` or
    `NAME_data_and_timetable.fet`), else in the order their names give
    ("Pd2" before "Pd10", "9:30" before "13:00"), checked against the double
    periods; when the names give no order, in the order the hours first
    appear, with a note. Teachers without a lesson come from `NAME_teachers.csv`
    when it lies beside the timetable."""
    text = decode_utf8(read_bytes(path), path)
    lines = lines_of(text)
    dialect = _csv_dialect(lines, path)
    records: list[tuple[int, list[str]]] = []
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        fields = _split(line, dialect, path, number)
        if not records and fields[0].strip().lower() == CSV_COLUMNS[0].lower():
            records.append((0, fields))  # the header: kept out below
            continue
        if len(fields) != len(CSV_COLUMNS):
            raise InputError(
                ngettext(
                    "%(where)s: %(fields)s fields where FET's timetable has %(columns)s "
                    "(%(names)s)",
                    "%(where)s: %(fields)s fields where FET's timetable has %(columns)s "
                    "(%(names)s)",
                    len(fields),
                )
                % {
                    "where": at_line(path, number),
                    "fields": len(fields),
                    "columns": len(CSV_COLUMNS),
                    "names": ", ".join(CSV_COLUMNS),
                }
            )
        records.append((number, [nfc(field) for field in fields]))
    records = [(number, fields) for number, fields in records if number]
    if not records:
        raise InputError(
            _("%(path)s: the timetable has no rows (did FET place any activity?)") % {"path": path}
        )

    for number, fields in records:
        where = at_line(path, number)
        if not fields[0].isdigit():
            raise InputError(
                _("%(where)s: activity id %(id)s is not a whole number")
                % {"where": where, "id": repr(fields[0])}
            )
        if not fields[1]:
            raise InputError(_("%(where)s: no day given") % {"where": where})
        if not fields[2]:
            raise InputError(_("%(where)s: no hour given") % {"where": where})
    base = path.name.removesuffix(TIMETABLE_SUFFIX)
    notes: list[str] = []
    hours = _hour_numbers(path, base, records, notes)

    skipped = Skipped(ROWS)
    lessons: list[LessonRow] = []
    seen_teachers: dict[str, None] = {}
    for number, fields in records:
        skipped.count()
        ident, day, hour, sets, subject, teachers, _tags, room, _comments = fields
        activity = Activity(ident, _joined(teachers), _joined(sets), subject, at_line(path, number))
        seen_teachers.update(dict.fromkeys(activity.teachers))
        lessons += placed(activity, day, (hours[hour],), room, skipped)
        check_rows(len(lessons), str(path))

    listed = _teacher_list(path.with_name(base + "_teachers.csv"), dialect)
    staff = staff_rows(listed + list(seen_teachers), lessons, {}, path)
    return Week(
        name=base,
        source=str(path),
        staff=staff,
        lessons=lessons,
        period_names={number: hour for hour, number in sorted(hours.items(), key=lambda i: i[1])},
        notes=skipped.note(path) + notes,
    )


def _joined(field: str) -> tuple[str, ...]:
    """The names of a field in which FET joins several with "+"."""
    return tuple(name for name in (nfc(part) for part in field.split(_SET_SEPARATOR)) if name)


@dataclass(frozen=True)
class _Dialect:
    separator: str
    quote: str  # "" when fields are not quoted


def _csv_dialect(lines: Sequence[str], path: Path) -> _Dialect:
    """The separator and quote FET was told to use (its export dialog offers
    `,` `;` `|` and `"` `'` or none): the pair that splits the first row into
    FET's nine columns."""
    first = next((line for line in lines if line.strip()), "")
    quote = first[0] if first[:1] in ('"', "'") else ""
    for separator in (",", ";", "|"):
        try:
            if len(_split(first, _Dialect(separator, quote), path, 0)) == len(CSV_COLUMNS):
                return _Dialect(separator, quote)
        except InputError:
            continue
    line = (
        next(number for number, line in enumerate(lines, start=1) if line.strip()) if first else 1
    )
    raise InputError(
        _("%(where)s: not FET's CSV timetable; its columns are: %(columns)s")
        % {"where": at_line(path, line), "columns": ", ".join(CSV_COLUMNS)}
    )


def _split(line: str, dialect: _Dialect, path: Path, number: int) -> list[str]:
    try:
        if dialect.quote:
            reader = csv.reader(
                [line], delimiter=dialect.separator, quotechar=dialect.quote, strict=True
            )
        else:
            reader = csv.reader([line], delimiter=dialect.separator, quoting=csv.QUOTE_NONE)
        return next(reader, [])
    except csv.Error as error:
        # The csv module's own words for the fault ("unexpected end of data") stay as it says them.
        raise InputError(
            _("%(where)s: bad CSV: %(error)s") % {"where": at_line(path, number), "error": error}
        ) from None


def _teacher_list(path: Path, dialect: _Dialect) -> list[str]:
    """The teachers FET exported beside the timetable, with or without a
    lesson; none when the file is not there."""
    if not path.is_file():
        return []
    names = []
    for number, line in enumerate(lines_of(decode_utf8(read_bytes(path), path)), start=1):
        if line.strip():
            fields = _split(line, dialect, path, number)
            name = nfc(fields[0]) if fields else ""
            if not (number == 1 and name.lower() == "teacher"):
                names.append(name)
    return names


# A clock time in an hour's name: "9:30", "09.30", "8h40".
_CLOCK = re.compile(r"(?<!\d)(\d{1,2})\s*[:.h]\s*(\d{2})(?!\d)")


# At most 18 digits at a time: int() refuses thousands of digits with a traceback.
_NUMBER = re.compile(r"\d{1,18}")


# A school day starts after 6: an hour written before 7 on a 12-hour clock is afternoon.
_FIRST_MORNING_HOUR = 7


def _hour_numbers(
    path: Path, base: str, records: Sequence[tuple[int, list[str]]], notes: list[str]
) -> dict[str, int]:
    """Hour name -> period number (see `read_fet_csv`)."""
    seen = list(dict.fromkeys(fields[2] for _number, fields in records))
    for sibling in (path.with_name(base + ".fet"), path.with_name(base + TIMED_SUFFIX + ".fet")):
        if sibling.is_file():
            root = parse_xml(read_bytes(sibling), sibling)
            listed = listed_names(root, "Hours_List", "Hour", sibling)
            numbers = {hour: index for index, hour in enumerate(listed, start=1)}
            for number, fields in records:
                if fields[2] not in numbers:
                    raise InputError(
                        _("%(where)s: hour %(hour)s is not one of the hours of %(file)s: %(hours)s")
                        % {
                            "where": at_line(path, number),
                            "hour": repr(fields[2]),
                            "file": sibling.name,
                            "hours": ", ".join(listed),
                        }
                    )
            return {hour: numbers[hour] for hour in seen}
    order = _order_by_name(seen)
    if order is None or not _keeps_double_periods(order, records):
        order = seen
        notes.append(
            _(
                "%(path)s: the hours' names do not tell their order, so they are numbered in the "
                "order they first appear (%(hours)s); put the .fet file beside the CSV "
                "to number them as the school lists them"
            )
            % {"path": path, "hours": ", ".join(seen)}
        )
    return {hour: number for number, hour in enumerate(order, start=1)}


def _order_by_name(hours: list[str]) -> list[str] | None:
    """The hours sorted by the clock time in their names when each has one,
    else by the numbers in them ("Pd 2" before "Pd 10"); None when some
    name has neither or two names sort alike."""
    clocks = [_CLOCK.search(hour) for hour in hours]
    if all(clocks):
        starts = [int(m[1]) for m in clocks if m]
        afternoon = any(start >= _FIRST_MORNING_HOUR for start in starts)

        def minutes(match: re.Match[str] | None) -> tuple[int, ...]:
            assert match is not None
            hour = int(match[1])
            if afternoon and hour < _FIRST_MORNING_HOUR:
                hour += 12
            return (hour * 60 + int(match[2]),)

        keys = [minutes(m) for m in clocks]
    else:
        keys = [tuple(int(n) for n in _NUMBER.findall(hour)) for hour in hours]
        if not all(keys):
            return None
    if len(set(keys)) != len(keys):
        return None
    return [hour for _key, hour in sorted(zip(keys, hours))]


def _keeps_double_periods(order: list[str], records: Sequence[tuple[int, list[str]]]) -> bool:
    """Whether every activity lasting several hours has them one after the
    other in `order`, as FET writes the rows of an activity's hours."""
    place = {hour: index for index, hour in enumerate(order)}
    previous: list[str] | None = None
    for _number, fields in records:
        if previous is not None and previous[0] == fields[0] and previous[1] == fields[1]:
            if place[fields[2]] != place[previous[2]] + 1:
                return False
        previous = fields
    return True
