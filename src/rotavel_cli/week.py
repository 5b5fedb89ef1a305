"""A school's week as any door reads it: the CSV folder, FET, Untis or aSc.

Every reader turns its files into one `Week`: the staff, every lesson of
every day in the file's order, and the names of the periods. Choosing the
day, applying absences and planning then work on that alone, so a school
imported from its timetabling program is planned exactly as one typed into
the CSV folder.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import NamedTuple


class LessonRow(NamedTuple):
    """One teacher giving one lesson to one class (or one group of it) in
    one period. A tuple: a large school's week has many."""

    teacher: str
    period: int
    class_name: str  # a class, or a group with its class in its label, e.g. "9A Latin"
    day: str = ""  # "" when the timetable has a single day
    room: str = ""
    # Rows with the same lesson id on the same day and period are one lesson
    # taught together (team teaching, a coupled block): when one of its
    # teachers is away the others still give it. "" for a lesson taught alone.
    lesson_id: str = ""
    week: str = ""  # "" for every week, or the week it is given in, e.g. "A"
    subject: str = ""  # the lesson's subject as the school writes it
    where: str = ""  # "FILE, line N" (or element) for messages


@dataclass(frozen=True)
class StaffRow:
    """One member of staff as the file lists them."""

    name: str
    subject: str  # as the school writes it
    present: bool = True
    reason: str = ""  # "" when none is given
    days: str = ""  # the days in school as written, "" to tell from the timetable
    periods: str = ""  # the periods away when absent part of the day, "" for all day
    where: str = ""


@dataclass
class Week:
    """What a door read: everything before a day is chosen."""

    name: str  # the school's name, or its folder's
    source: Path  # the folder or file read, for messages
    staff: list[StaffRow]  # in file order
    lessons: list[LessonRow]  # in file order
    # Period number -> how the school names or times it ("9.30 - 11.00"), when it does.
    period_names: dict[int, str] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)  # worth telling the user, not errors
    # The file the lessons come from when it is not `source` (the CSV folder's
    # timetable), so that a message about the days names the file that has them.
    lessons_source: Path | None = None
