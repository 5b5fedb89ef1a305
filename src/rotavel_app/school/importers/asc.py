"""aSc Timetables' XML export.

The root `<timetable>` holds a table per kind of thing (`days`, `periods`,
`teachers`, `classes`, `groups`, `subjects`, `classrooms`, `lessons`,
`cards`), each row an element whose attributes are its columns. A lesson
says who teaches what to which classes or groups, and how many periods each
of its cards takes (`periodspercard`, 2 for a double period); a card places
it on a day and in a period. Lists of ids are comma-separated.

Days: a card's `day` refers to the `day` of a row of the days table; without
such a table it counts from Monday, from 0 or, when the export's options say
`daynumbering1`, from 1. Newer exports give a card's days, and lessons' and
cards' weeks, as strings of 0 and 1 ("00100" the third day, "10" the first
of two weeks); weeks become "A", "B"... and a lesson given every week has no
week.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from collections.abc import Sequence
from pathlib import Path

from rotavel_app.files import read_bytes
from rotavel_app.language import _
from rotavel_app.messages import InputError, shown
from rotavel_app.school.importers._common import (
    CARDS,
    NO_CLASS,
    NO_TEACHER,
    NO_TEACHER_OR_CLASS,
    NO_WEEK,
    PLACEHOLDER,
    Skipped,
    at_element,
    check_rows,
    is_placeholder,
    main_subjects,
    nfc,
    parse_xml,
    period_in_range,
    placed_rows,
    read_period,
)
from rotavel_app.school.week import LessonRow, StaffRow, Week
from rotavel_app.school.weekdays import WEEKDAYS

# The most periods one card may take when the periods table does not list
# more: no school day has more periods than this.
_MOST_PERIODS_A_DAY = 24
# The most weeks a lesson's string of weeks may tell apart (each becomes a
# letter, "A", "B"...): a year's.
_MOST_WEEKS = 53


class _Table:
    """One table of the export: its rows by id, in file order."""

    def __init__(self, root: ET.Element, section: str, row: str) -> None:
        self.section = section
        found = root.find(section)
        self.rows = [] if found is None else found.findall(row)
        self.present = found is not None
        self.by_id = {e.get("id", ""): e for e in self.rows}


def read_asc(path: Path) -> Week:
    """The week of an aSc Timetables XML export.

    Names are the `name` of each teacher, class, group, subject and room (the
    school's own, as its printed timetables show them), else the `short`. A
    group's label is its class's name with the group's ("9A Latin"), or the
    class alone for the whole class. A teacher's subject is the one they
    teach most. Cards of lessons with no class, no teacher or a placeholder
    teacher ("N.N.") are left out with one note."""
    root = parse_xml(read_bytes(path), path)
    if root.tag != "timetable":
        raise InputError(
            _(
                "%(path)s: not an aSc Timetables export (its root element is <%(root)s>, not <timetable>)"
            )
            % {"path": path, "root": root.tag}
        )
    teachers = _Table(root, "teachers", "teacher")
    classes = _Table(root, "classes", "class")
    groups = _Table(root, "groups", "group")
    subjects = _Table(root, "subjects", "subject")
    rooms = _Table(root, "classrooms", "classroom")
    lessons = _Table(root, "lessons", "lesson")
    cards = _Table(root, "cards", "card")
    if not cards.present or not lessons.present:
        raise InputError(
            _(
                "%(path)s: no <lessons> or <cards> table; export the timetable with its cards "
                "(the placed lessons)"
            )
            % {"path": path}
        )

    teacher_names = _teacher_names(teachers)
    days = _Days(root, path)
    order = _period_order(root, path)
    place: dict[int, int] = {}  # where each period first stands in the periods table
    for index, period in enumerate(order):
        place.setdefault(period, index)

    skipped = Skipped(CARDS)
    rows: list[LessonRow] = []
    for number, card in enumerate(cards.rows, start=1):
        skipped.count()
        where = at_element(path, "card", number)
        lesson_id = card.get("lessonid", "")
        lesson = lessons.by_id.get(lesson_id)
        if lesson is None:
            raise _missing(lessons, lesson_id, where)
        units = _units(lesson, classes, groups, where)
        named = [_lookup(teachers, t, teacher_names, where) for t in _ids(lesson, "teacherids")]
        real = [t for t in named if not is_placeholder(t)]
        if not units:
            skipped.skip(NO_TEACHER_OR_CLASS if not named else NO_CLASS)
            continue
        if not named:
            skipped.skip(NO_TEACHER)
            continue
        if not real:
            skipped.skip(PLACEHOLDER, named[0])
            continue
        for name in named:
            if is_placeholder(name):
                skipped.placeholder(name)
        weeks = _weeks(card.get("weeks") or lesson.get("weeks") or "", where)
        if not weeks:
            skipped.skip(NO_WEEK)
            continue
        periods = _periods(
            card.get("period", ""), lesson.get("periodspercard") or "1", order, place, where
        )
        room_ids = _ids(card, "classroomids") or _ids(lesson, "classroomids")
        room = ", ".join(_name(rooms, r, where) for r in room_ids)
        subject = (
            _name(subjects, lesson.get("subjectid", ""), where) if lesson.get("subjectid") else ""
        )
        for day in days.of(card, where):
            for week in weeks:
                rows += placed_rows(
                    real,
                    units,
                    periods,
                    day=day,
                    room=room,
                    lesson=lesson_id,
                    week=week,
                    subject=subject,
                    where=where,
                )
                check_rows(len(rows), str(path))

    taught = main_subjects(rows)
    first_ids: dict[str, str] = {}  # a name listed twice is one member of staff
    for ident, name in teacher_names.items():
        if name and not is_placeholder(name):
            first_ids.setdefault(name, ident)
    from rotavel_app.school.folder import is_address

    # aSc keeps a teacher's address in the `email` attribute, where the school gives one.
    emails = {e.get("id", ""): e.get("email", "").strip() for e in teachers.rows}
    staff = [
        StaffRow(
            name,
            taught.get(name, ""),
            where=_("%(path)s, <teacher> %(id)s") % {"path": path, "id": repr(ident)},
            email=emails.get(ident, "") if is_address(emails.get(ident, "")) else "",
        )
        for name, ident in first_ids.items()
    ]
    return Week(
        name=path.stem,
        source=str(path),
        staff=staff,
        lessons=rows,
        period_names=_period_names(root),
        notes=skipped.note(path),
        day_order=list(days.names),
        numbered_days=days.weekdays(),
    )


def _ids(element: ET.Element, attribute: str) -> list[str]:
    return [i for i in (part.strip() for part in element.get(attribute, "").split(",")) if i]


def _display_name(element: ET.Element) -> str:
    """An element's name, or its short name when it has none."""
    return nfc(element.get("name", "")) or nfc(element.get("short", ""))


def _missing(table: _Table, ident: str, where: str) -> InputError:
    """An id a row refers to that its table does not hold."""
    # A whole sentence for each table: its name and the thing it holds are words
    # of the language, which may inflect them.
    if table.section == "lessons":
        message = _("%(where)s: lesson %(id)s is not in the lessons table")
    elif table.section == "teachers":
        message = _("%(where)s: teacher %(id)s is not in the teachers table")
    elif table.section == "classes":
        message = _("%(where)s: class %(id)s is not in the classes table")
    elif table.section == "groups":
        message = _("%(where)s: group %(id)s is not in the groups table")
    elif table.section == "subjects":
        message = _("%(where)s: subject %(id)s is not in the subjects table")
    else:
        message = _("%(where)s: classroom %(id)s is not in the classrooms table")
    return InputError(message % {"where": where, "id": repr(ident)})


def _name(table: _Table, ident: str, where: str) -> str:
    found = table.by_id.get(ident)
    if found is None:
        raise _missing(table, ident, where)
    return _display_name(found)


def _lookup(table: _Table, ident: str, names: dict[str, str], where: str) -> str:
    if ident not in names:
        raise _missing(table, ident, where)
    return names[ident]


def _teacher_names(teachers: _Table) -> dict[str, str]:
    """Teacher id -> name: the `name`, else first and last name, else the
    short; a name two teachers share gets the short added."""
    names = {}
    for e in teachers.rows:
        full = nfc(e.get("name", "")) or nfc(f"{e.get('firstname', '')} {e.get('lastname', '')}")
        names[e.get("id", "")] = full or nfc(e.get("short", ""))
    counts: dict[str, int] = {}
    for name in names.values():
        counts[name] = counts.get(name, 0) + 1
    for e in teachers.rows:
        ident = e.get("id", "")
        short = nfc(e.get("short", ""))
        if counts[names[ident]] > 1 and short and short != names[ident]:
            names[ident] = f"{names[ident]} ({short})"
    return names


def _units(lesson: ET.Element, classes: _Table, groups: _Table, where: str) -> list[str]:
    """The classes and groups a lesson is given to, as labels: a class's
    name for the whole class, "9A Latin" for a group of it."""
    by_class: dict[str, list[str]] = {c: [] for c in _ids(lesson, "classids")}
    for ident in _ids(lesson, "groupids"):
        group = groups.by_id.get(ident)
        if group is None:
            raise _missing(groups, ident, where)
        by_class.setdefault(group.get("classid", ""), []).append(ident)
    labels = []
    for class_id, group_ids in by_class.items():
        klass = _name(classes, class_id, where)
        whole = not group_ids or any(groups.by_id[g].get("entireclass") == "1" for g in group_ids)
        if whole:
            labels.append(klass)
            continue
        for g in group_ids:
            name = _display_name(groups.by_id[g])
            labels.append(name if klass in name else f"{klass} {name}")
    return list(dict.fromkeys(labels))


def _weeks(bits: str, where: str) -> list[str]:
    """The weeks a lesson is given in: [""] for every week, else their
    letters; [] for none."""
    bits = bits.strip()
    if not bits:
        return [""]
    if set(bits) - {"0", "1"}:
        raise InputError(
            _("%(where)s: weeks %(weeks)s is not a string of 0 and 1")
            % {"where": where, "weeks": repr(bits)}
        )
    if "0" not in bits:
        return [""]
    if len(bits) > _MOST_WEEKS:
        raise InputError(
            _(
                "%(where)s: weeks %(weeks)s tells apart more than %(most)s weeks, more than a year has"
            )
            % {"where": where, "weeks": shown(bits), "most": _MOST_WEEKS}
        )
    return [chr(ord("A") + i) for i, bit in enumerate(bits) if bit == "1"]


def _period_order(root: ET.Element, path: Path) -> list[int]:
    """The periods' numbers in the order of the periods table."""
    found = root.find("periods")
    order = []
    for number, e in enumerate([] if found is None else found.findall("period"), start=1):
        text = e.get("period", "").strip()
        if text.lstrip("-").isdigit():
            order.append(read_period(text, at_element(path, "period", number)))
    return order


def _period_names(root: ET.Element) -> dict[int, str]:
    """Period number -> its times ("8:00 - 8:45"), else its name when that
    says more than the number."""
    found = root.find("periods")
    names = {}
    for e in [] if found is None else found.findall("period"):
        text = e.get("period", "").strip()
        if not text.lstrip("-").isdigit() or len(text) > 6:  # _period_order refuses those
            continue
        start, end = nfc(e.get("starttime", "")), nfc(e.get("endtime", ""))
        name = nfc(e.get("name", ""))
        if start and end:
            names[int(text)] = f"{start} - {end}"
        elif name and name != text:
            names[int(text)] = name
    return names


def _periods(
    start: str, length: str, order: Sequence[int], place: dict[int, int], where: str
) -> list[int]:
    """The periods a card takes: its own and, for a double period, the next
    in the periods table (`place`: where each period first stands in it)."""
    text = start.strip()
    if not text.lstrip("-").isdigit():
        raise InputError(
            _("%(where)s: period %(value)s is not a whole number")
            % {"where": where, "value": shown(start)}
        )
    length = length.strip()
    if not (length.isascii() and length.isdigit()) or len(length) > 9 or int(length) < 1:
        raise InputError(
            _("%(where)s: periodspercard %(length)s is not a whole number of periods")
            % {"where": where, "length": shown(length)}
        )
    first, count = read_period(text, where), int(length)
    most = max(len(order), _MOST_PERIODS_A_DAY)
    if count > most:
        raise InputError(
            _(
                "%(where)s: periodspercard %(length)s is more periods than a day has (at most %(most)s)"
            )
            % {"where": where, "length": count, "most": most}
        )
    if first not in place:
        period_in_range(first + count - 1, where)
        return list(range(first, first + count))
    index = place[first]
    if index + count > len(order):
        raise InputError(
            _(
                "%(where)s: %(count)s periods from period %(first)s run past the last period of the day"
            )
            % {"where": where, "count": count, "first": first}
        )
    return list(order[index : index + count])


class _Days:
    """A card's days by name: from the days table, counted from Monday
    without one, or from a card's string of 0 and 1."""

    def __init__(self, root: ET.Element, path: Path) -> None:
        found = root.find("days")
        rows = [] if found is None else found.findall("day")
        self.names = [_display_name(e) or e.get("day", "") for e in rows]
        self.by_value = {e.get("day", "").strip(): name for e, name in zip(rows, self.names)}
        options = root.get("options", "")
        self.base = 1 if "daynumbering1" in options.replace(" ", "").split(",") else 0

    def of(self, card: ET.Element, where: str) -> list[str]:
        bits = card.get("days")
        if bits is not None and card.get("day") is None:
            bits = bits.strip()
            if not bits or set(bits) - {"0", "1"}:
                raise InputError(
                    _("%(where)s: days %(days)s is not a string of 0 and 1")
                    % {"where": where, "days": repr(bits)}
                )
            return [self._nth(i, where) for i, bit in enumerate(bits) if bit == "1"]
        value = card.get("day", "").strip()
        if value in self.by_value:
            return [self.by_value[value]]
        if self.by_value or not (value.isascii() and value.isdigit()) or len(value) > 6:
            raise InputError(
                _("%(where)s: day %(day)s is not a day of the days table")
                % {"where": where, "day": shown(value)}
            )
        return [self._nth(int(value) - self.base, where)]

    def weekdays(self) -> dict[str, int]:
        """Each day of the table -> its weekday: aSc counts the days of a week
        from Monday, so a table of a week's days at most is Monday onwards."""
        if len(self.names) > 7:
            return {}
        return {name: weekday for weekday, name in enumerate(self.names)}

    def _nth(self, index: int, where: str) -> str:
        names = self.names or list(WEEKDAYS)
        if not 0 <= index < len(names):
            raise InputError(
                _("%(where)s: day %(day)s is not a day of the week")
                % {"where": where, "day": index + self.base}
            )
        return names[index]
