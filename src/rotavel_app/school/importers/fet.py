"""FET's files: a `.fet` file that carries its timetable, and the CSV
timetable FET exports (`NAME_timetable.csv`).

A `.fet` file describes the school; once FET has placed the activities, the
file it saves (`NAME_data_and_timetable.fet`, or any file whose activities
were all locked in place) gives each activity a starting day and hour through
a `ConstraintActivityPreferredStartingTime` of weight 100, and its room through
a `ConstraintActivityPreferredRoom`. An activity lasting two hours is a double
period: a row for each hour.

The CSV export has one row per hour of each placed activity, with the day and
the hour by name, and several students sets or teachers joined with `+`.

Names are kept as FET writes them (it requires them to be unique): the
students set names are the classes and groups (schools name a group with its
class, "9A G1"), and a teacher's name is the name the school gave. The hours
are numbered by their place in the school's list of hours, starting at 1, and
their names ("9.30 - 11.00") become the period names.
"""

from __future__ import annotations

import csv
import re
import xml.etree.ElementTree as ET
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

from rotavel_app.files import read_bytes
from rotavel_app.language import _, ngettext
from rotavel_app.messages import InputError, at_line, shown
from rotavel_app.school.importers._common import (
    ACTIVITIES,
    INACTIVE,
    NO_CLASS,
    NO_TEACHER,
    NO_TEACHER_OR_CLASS,
    PLACEHOLDER,
    ROWS,
    UNPLACED,
    Skipped,
    at_element,
    check_rows,
    decode_utf8,
    is_placeholder,
    lines_of,
    main_subjects,
    nfc,
    parse_xml,
    placed_rows,
)
from rotavel_app.school.importers.names import TIMED_SUFFIX, TIMETABLE_SUFFIX
from rotavel_app.school.week import LessonRow, StaffRow, Week

# The name FET gives a new file's institution, which names no school.
_DEFAULT_INSTITUTION = "Default institution"
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


@dataclass(frozen=True)
class _Activity:
    """An activity once placed: what the rows of each of its hours share."""

    id: str
    teachers: tuple[str, ...]
    sets: tuple[str, ...]
    subject: str
    where: str


def read_fet(path: Path) -> Week:
    """The week a `.fet` file carries: every active activity with a starting
    time of weight 100 gives a row for each of its hours, teacher and
    students set. A file with no placed activity (FET's input before a
    timetable is generated) is refused."""
    root = parse_xml(read_bytes(path), path)
    if root.tag != "fet":
        raise InputError(
            _("%(path)s: not a FET file (its root element is <%(root)s>, not <fet>)")
            % {"path": path, "root": root.tag}
        )
    days = _names(root, "Days_List", "Day", path)
    hours = _names(root, "Hours_List", "Hour", path)
    skipped = Skipped(ACTIVITIES)
    starts = _starting_times(root, path, days, hours)
    rooms = _rooms(root)

    lessons: list[LessonRow] = []
    seen_teachers: dict[str, None] = {}
    for number, element in enumerate(_children(root, "Activities_List", "Activity"), start=1):
        skipped.count()
        ident = _text(element, "Id")
        where = at_element(path, "Activity", number, ident)
        if not ident:
            raise InputError(_("%(where)s: no <Id>") % {"where": where})
        if _text(element, "Active") not in ("", "true"):
            skipped.skip(INACTIVE)
            continue
        duration = _whole(_text(element, "Duration") or "1", "Duration", where)
        start = starts.get(ident)
        if start is None:
            skipped.skip(UNPLACED)
            continue
        day, hour = start
        if duration < 1 or hour + duration > len(hours):
            raise InputError(
                ngettext(
                    "%(where)s: lasts %(duration)s hours from hour %(hour)s, "
                    "past the last of the %(hours)s hours of the day",
                    "%(where)s: lasts %(duration)s hours from hour %(hour)s, "
                    "past the last of the %(hours)s hours of the day",
                    len(hours),
                )
                % {
                    "where": where,
                    "duration": duration,
                    "hour": repr(hours[hour]),
                    "hours": len(hours),
                }
            )
        activity = _Activity(
            ident,
            _named(element, "Teacher"),
            _named(element, "Students"),
            nfc(_text(element, "Subject")),
            where,
        )
        seen_teachers.update(dict.fromkeys(activity.teachers))
        lessons += _placed(
            activity, days[day], range(hour + 1, hour + duration + 1), rooms.get(ident, ""), skipped
        )
        check_rows(len(lessons), str(path))
    if not starts:
        raise InputError(
            _(
                "%(path)s: the file has no timetable (no activity has a starting time); "
                "generate one with FET and read the file it saves, %(file)s"
            )
            % {"path": path, "file": "NAME" + TIMED_SUFFIX + ".fet"}
        )

    listed = []
    qualified: dict[str, str] = {}
    for teacher in _children(root, "Teachers_List", "Teacher"):
        name = nfc(_text(teacher, "Name"))
        listed.append(name)
        subjects = teacher.findall("Qualified_Subjects/Qualified_Subject")
        if subjects:
            qualified[name] = nfc(subjects[0].text or "")
    staff = _staff(listed + list(seen_teachers), lessons, qualified, path)
    name = nfc(root.findtext("Institution_Name") or "")
    if not name or name == _DEFAULT_INSTITUTION:
        name = path.stem.removesuffix(TIMED_SUFFIX)
    return Week(
        name=name,
        source=str(path),
        staff=staff,
        lessons=lessons,
        period_names={number: hour for number, hour in enumerate(hours, start=1)},
        notes=skipped.note(path),
        day_order=days,
    )


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
        activity = _Activity(
            ident, _joined(teachers), _joined(sets), subject, at_line(path, number)
        )
        seen_teachers.update(dict.fromkeys(activity.teachers))
        lessons += _placed(activity, day, (hours[hour],), room, skipped)
        check_rows(len(lessons), str(path))

    listed = _teacher_list(path.with_name(base + "_teachers.csv"), dialect)
    staff = _staff(listed + list(seen_teachers), lessons, {}, path)
    return Week(
        name=base,
        source=str(path),
        staff=staff,
        lessons=lessons,
        period_names={number: hour for hour, number in sorted(hours.items(), key=lambda i: i[1])},
        notes=skipped.note(path) + notes,
    )


def _placed(
    activity: _Activity, day: str, periods: Sequence[int], room: str, skipped: Skipped
) -> list[LessonRow]:
    """The rows of one placed activity, or none (counted) when it has no class or teacher."""
    if not activity.sets:
        skipped.skip(NO_TEACHER_OR_CLASS if not activity.teachers else NO_CLASS)
        return []
    if not activity.teachers:
        skipped.skip(NO_TEACHER)
        return []
    teachers = [t for t in activity.teachers if not is_placeholder(t)]
    if not teachers:
        skipped.skip(PLACEHOLDER, activity.teachers[0])
        return []
    for teacher in activity.teachers:
        if is_placeholder(teacher):
            skipped.placeholder(teacher)
    return placed_rows(
        teachers,
        activity.sets,
        periods,
        day=day,
        room=room,
        lesson=activity.id,
        week="",
        subject=activity.subject,
        where=activity.where,
    )


def _staff(
    names: Iterable[str], lessons: Sequence[LessonRow], qualified: dict[str, str], path: Path
) -> list[StaffRow]:
    """Every teacher once, in the order given; the subject is the one they
    teach most, else the first they are qualified for, else none."""
    subjects = main_subjects(lessons)
    staff = []
    for name in dict.fromkeys(names):
        if name and not is_placeholder(name):
            subject = subjects.get(name) or qualified.get(name, "")
            where = _("%(path)s, teacher %(name)s") % {"path": path, "name": repr(name)}
            staff.append(StaffRow(name, subject, where=where))
    return staff


def _children(root: ET.Element, section: str, tag: str) -> list[ET.Element]:
    found = root.find(section)
    return [] if found is None else found.findall(tag)


def _text(element: ET.Element, tag: str) -> str:
    return (element.findtext(tag) or "").strip()


def _named(element: ET.Element, tag: str) -> tuple[str, ...]:
    """The non-empty names an activity lists under `tag`, in file order."""
    return tuple(name for name in (nfc(e.text or "") for e in element.findall(tag)) if name)


def _names(root: ET.Element, section: str, tag: str, path: Path) -> list[str]:
    """The names of the days or hours, in the school's order (older files
    list the names directly, newer ones in an element per day or hour)."""
    found = root.find(section)
    if found is None:
        raise InputError(
            _("%(path)s: no <%(section)s> (is the file cut short?)")
            % {"path": path, "section": section}
        )
    names = [nfc(e.findtext("Name") or "") for e in found.findall(tag)]
    if not names:
        names = [nfc(e.text or "") for e in found.findall("Name")]
    days = tag == "Day"
    where = _("%(path)s, <%(section)s>") % {"path": path, "section": section}
    if not names:
        message = _("%(where)s: lists no day") if days else _("%(where)s: lists no hour")
        raise InputError(message % {"where": where})
    seen: set[str] = set()
    for name in names:
        if not name:
            message = (
                _("%(where)s: a day without a name")
                if days
                else _("%(where)s: an hour without a name")
            )
            raise InputError(message % {"where": where})
        if name in seen:  # a set: counting in the list is slow for a file of many hours
            message = (
                _("%(where)s: day %(name)s is listed twice")
                if days
                else _("%(where)s: hour %(name)s is listed twice")
            )
            raise InputError(message % {"where": where, "name": repr(name)})
        seen.add(name)
    return names


def _is_firm(constraint: ET.Element, where: str) -> bool:
    """An active constraint of weight 100: one the timetable keeps."""
    if _text(constraint, "Active") not in ("", "true"):
        return False
    weight = _text(constraint, "Weight_Percentage")
    try:
        return float(weight) >= 100
    except ValueError:
        raise InputError(
            _("%(where)s: <Weight_Percentage> %(weight)s is not a number")
            % {"where": where, "weight": repr(weight)}
        ) from None


def _starting_times(
    root: ET.Element, path: Path, days: list[str], hours: list[str]
) -> dict[str, tuple[int, int]]:
    """Activity id -> (day, hour) indexes, from the firm starting times that
    name both a day and an hour."""
    starts: dict[str, tuple[int, int]] = {}
    day_index = {day: index for index, day in enumerate(days)}
    hour_index = {hour: index for index, hour in enumerate(hours)}
    constraints = _children(
        root, "Time_Constraints_List", "ConstraintActivityPreferredStartingTime"
    )
    for number, constraint in enumerate(constraints, start=1):
        where = at_element(path, "ConstraintActivityPreferredStartingTime", number)
        day, hour = _text(constraint, "Preferred_Day"), _text(constraint, "Preferred_Hour")
        if not (day and hour) or not _is_firm(constraint, where):
            continue  # a wish, not a place in the timetable
        ident = _text(constraint, "Activity_Id")
        day, hour = nfc(day), nfc(hour)
        if day not in day_index:
            raise InputError(
                _("%(where)s: day %(day)s is not in <Days_List>")
                % {"where": where, "day": repr(day)}
            )
        if hour not in hour_index:
            raise InputError(
                _("%(where)s: hour %(hour)s is not in <Hours_List>")
                % {"where": where, "hour": repr(hour)}
            )
        place = (day_index[day], hour_index[hour])
        if starts.setdefault(ident, place) != place:
            first = starts[ident]
            raise InputError(
                _(
                    "%(where)s: activity %(id)s is placed at %(day)s %(hour)s and also at "
                    "%(first_day)s %(first_hour)s"
                )
                % {
                    "where": where,
                    "id": ident,
                    "day": day,
                    "hour": hour,
                    "first_day": days[first[0]],
                    "first_hour": hours[first[1]],
                }
            )
    return starts


def _rooms(root: ET.Element) -> dict[str, str]:
    """Activity id -> its room, from the firm room constraints."""
    rooms: dict[str, str] = {}
    for constraint in _children(root, "Space_Constraints_List", "ConstraintActivityPreferredRoom"):
        if _text(constraint, "Active") in ("", "true") and _text(constraint, "Weight_Percentage"):
            try:
                firm = float(_text(constraint, "Weight_Percentage")) >= 100
            except ValueError:
                firm = False  # a room is only shown, so a bad weight does not stop the reading
            if firm:
                rooms.setdefault(_text(constraint, "Activity_Id"), nfc(_text(constraint, "Room")))
    return rooms


def _whole(text: str, element: str, where: str) -> int:
    # ASCII digits, and few: int() refuses thousands of digits with a traceback.
    if not (text.isascii() and text.isdigit() and len(text) <= 9):
        raise InputError(
            _("%(where)s: <%(element)s> %(value)s is not a whole number")
            % {"where": where, "element": element, "value": shown(text)}
        )
    return int(text)


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
            listed = _names(root, "Hours_List", "Hour", sibling)
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
