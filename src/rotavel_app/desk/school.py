"""The school a record belongs to, as the desk reads it: the folder's week
(read again only when one of its files changed), its calendar, and the
names on its teacher list."""

from __future__ import annotations

from typing import TYPE_CHECKING

from rotavel_app.desk.record import DeskError, record_names
from rotavel_app.language import _
from rotavel_app.messages import InputError, did_you_mean, shown
from rotavel_app.school.calendar import Calendar, school_calendar
from rotavel_app.school.folder import read_folder, school_version
from rotavel_app.school.importers import read_export

if TYPE_CHECKING:
    from rotavel_app.desk.record import Record
    from rotavel_app.school.week import Week


def week(desk: Record) -> Week:
    """The folder's week (its CSV files, or a timetabling program's export
    in it), read again only when the contents of one of its files changed:
    the same version of the files as the web pages' (one function for both)."""
    try:
        key = school_version(desk.folder, record_names(desk.path))
    except OSError as error:
        raise DeskError(
            _("%(folder)s: cannot read the folder: %(error)s")
            % {"folder": desk.folder, "error": error.strerror}
        ) from None
    if desk.kept.week is None or key != desk.kept.week_key:
        try:
            imported = read_export(desk.folder)
            desk.kept.week = imported if imported is not None else read_folder(desk.folder)
        except InputError as error:
            raise DeskError(str(error)) from None
        desk.kept.week_key = key
    return desk.kept.week


def calendar(desk: Record) -> Calendar:
    """The school's calendar: its weekdays, closures and cycle."""
    school = week(desk)
    if desk.kept.calendar is None or desk.kept.calendar[0] is not school:
        desk.kept.calendar = (school, school_calendar(school, desk.settings))
    return desk.kept.calendar[1]


def known(desk: Record, name: str, what: str = "teacher") -> str:
    """`name`, refused unless the teacher list has it."""
    school = week(desk)
    names = [row.name for row in school.staff]
    if name not in names:
        unknown = (
            _("unknown substitute %(name)s (not in %(source)s)")
            if what == "substitute"
            else _("unknown teacher %(name)s (not in %(source)s)")
        )
        raise DeskError(
            unknown % {"name": shown(name), "source": school.source} + did_you_mean(name, names)
        )
    return name
