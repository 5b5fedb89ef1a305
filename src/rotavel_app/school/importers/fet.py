"""FET's `.fet` file that carries its timetable (its CSV export is read by
fet_csv.py, which shares the activities and the staff made here).

A `.fet` file describes the school; once FET has placed the activities, the
file it saves (`NAME_data_and_timetable.fet`, or any file whose activities
were all locked in place) gives each activity a starting day and hour through
a `ConstraintActivityPreferredStartingTime` of weight 100, and its room through
a `ConstraintActivityPreferredRoom`. An activity lasting two hours is a double
period: a row for each hour.

Names are kept as FET writes them (it requires them to be unique): the
students set names are the classes and groups (schools name a group with its
class, "9A G1"), and a teacher's name is the name the school gave. The hours
are numbered by their place in the school's list of hours, starting at 1, and
their names ("9.30 - 11.00") become the period names.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

from rotavel_app.files import read_bytes
from rotavel_app.language import _, ngettext
from rotavel_app.messages import InputError, shown
from rotavel_app.school.importers._common import (
    ACTIVITIES,
    INACTIVE,
    NO_CLASS,
    NO_TEACHER,
    NO_TEACHER_OR_CLASS,
    PLACEHOLDER,
    UNPLACED,
    Skipped,
    at_element,
    check_rows,
    is_placeholder,
    main_subjects,
    nfc,
    parse_xml,
    placed_rows,
)
from rotavel_app.school.importers.names import TIMED_SUFFIX
from rotavel_app.school.week import LessonRow, StaffRow, Week

# The name FET gives a new file's institution, which names no school.
_DEFAULT_INSTITUTION = "Default institution"


@dataclass(frozen=True)
class Activity:
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
    days = listed_names(root, "Days_List", "Day", path)
    hours = listed_names(root, "Hours_List", "Hour", path)
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
        activity = Activity(
            ident,
            _named(element, "Teacher"),
            _named(element, "Students"),
            nfc(_text(element, "Subject")),
            where,
        )
        seen_teachers.update(dict.fromkeys(activity.teachers))
        lessons += placed(
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
    staff = staff_rows(listed + list(seen_teachers), lessons, qualified, path)
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


def placed(
    activity: Activity, day: str, periods: Sequence[int], room: str, skipped: Skipped
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


def staff_rows(
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


def listed_names(root: ET.Element, section: str, tag: str, path: Path) -> list[str]:
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
