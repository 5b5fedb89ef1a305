"""A school's week as any door reads it: the CSV folder, FET, Untis or aSc.

Every reader turns its files into one `Week`: the staff, every lesson of
every day in the file's order, and the names of the periods. Choosing the
day, applying absences and planning then work on that alone, so a school
imported from its timetabling program is planned exactly as one typed into
the CSV folder.
"""

from __future__ import annotations

from array import array
from collections.abc import Callable, Container, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from itertools import compress
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from typing import overload


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


class LessonRows(Sequence[LessonRow]):
    """A week's lessons kept small: every text once, each row as a few
    numbers. A large school's week has millions of rows, and as tuples each
    with its own strings they took some 35 times the size of the file; here
    a row takes about 20 bytes. The rows read back as `LessonRow`s.

    `where` is either each row's own text or, for rows of one file, the line
    number between a prefix and a suffix given once ("FILE, line " and "",
    in the language of the messages)."""

    _OPTIONAL = ("room", "lesson_id", "week", "subject")

    def __init__(self, where_prefix: str | None = None, where_suffix: str = "") -> None:
        self._prefix = where_prefix
        self._suffix = where_suffix
        self._texts: list[str] = [""]
        self._ids: dict[str, int] = {"": 0}
        self._teacher = array("I")
        self._period = array("i")
        self._class = array("I")
        self._day = array("I")
        self._where = array("I")  # a line number after the prefix, or a text
        # Columns most files leave empty take room only once a row fills them.
        self._optional: dict[str, array[int]] = {}
        self._distinct: tuple[int, set[int]] | None = None  # (rows then, teacher numbers)

    @classmethod
    def of(cls, rows: Iterable[LessonRow]) -> LessonRows:
        table = cls()
        for row in rows:
            table.add(*row)
        return table

    def _id(self, text: str) -> int:
        number = self._ids.get(text)
        if number is None:
            number = self._ids[text] = len(self._texts)
            self._texts.append(text)
        return number

    def add(
        self,
        teacher: str,
        period: int,
        class_name: str,
        day: str = "",
        room: str = "",
        lesson_id: str = "",
        week: str = "",
        subject: str = "",
        where: str | int = "",
    ) -> None:
        """One more row; `where` is the line number when the rows have a prefix."""
        ids = self._ids
        self._teacher.append(ids.get(teacher) or self._id(teacher))
        self._period.append(period)
        self._class.append(ids.get(class_name) or self._id(class_name))
        self._day.append(ids.get(day) or self._id(day))
        self._where.append(where if isinstance(where, int) else self._id(where))
        if room or lesson_id or week or subject or self._optional:
            for column, text in zip(self._OPTIONAL, (room, lesson_id, week, subject)):
                numbers = self._optional.get(column)
                if numbers is None and text:
                    numbers = self._optional[column] = array("I", bytes(4 * (len(self) - 1)))
                if numbers is not None:
                    numbers.append(self._id(text))

    def adder(self) -> Callable[[str, int, str, str, int], None]:
        """`add` for a row of a file, given its teacher, period, class, day and
        line number; quicker, for the millions of rows of a large file."""
        get, new, optional, add = self._ids.get, self._id, self._optional, self.add
        teacher, period, klass, day, where = (
            self._teacher.append,
            self._period.append,
            self._class.append,
            self._day.append,
            self._where.append,
        )

        def add_row(
            teacher_name: str, number: int, class_name: str, day_name: str, line: int
        ) -> None:
            if optional:
                add(teacher_name, number, class_name, day_name, where=line)
                return
            teacher(get(teacher_name) or new(teacher_name))
            period(number)
            klass(get(class_name) or new(class_name))
            day(get(day_name) or new(day_name))
            where(line)

        return add_row

    def __len__(self) -> int:
        return len(self._teacher)

    def __eq__(self, other: object) -> bool:
        """Equal to any sequence of the same rows, however kept."""
        if not isinstance(other, Sequence) or isinstance(other, str):
            return NotImplemented
        return len(self) == len(other) and all(a == b for a, b in zip(self, other))

    __hash__ = None  # type: ignore[assignment]  # mutable, and equal to lists

    def __repr__(self) -> str:
        return f"LessonRows({list(self)!r})"

    if TYPE_CHECKING:

        @overload
        def __getitem__(self, index: int) -> LessonRow: ...
        @overload
        def __getitem__(self, index: slice) -> list[LessonRow]: ...

    def __getitem__(self, index: int | slice) -> LessonRow | list[LessonRow]:
        if isinstance(index, slice):
            return list(self._rows(range(*index.indices(len(self)))))
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError(index)
        return next(self._rows((index,)))

    def __iter__(self) -> Iterator[LessonRow]:
        return self._rows(range(len(self)))

    def _rows(self, indexes: Iterable[int]) -> Iterator[LessonRow]:
        texts, prefix, suffix = self._texts, self._prefix, self._suffix
        teacher, period, klass, day, where = (
            self._teacher,
            self._period,
            self._class,
            self._day,
            self._where,
        )
        optional = [self._optional.get(column) for column in self._OPTIONAL]
        make = LessonRow._make
        for i in indexes:
            yield make(
                (
                    texts[teacher[i]],
                    period[i],
                    texts[klass[i]],
                    texts[day[i]],
                    *(texts[numbers[i]] if numbers else "" for numbers in optional),
                    f"{prefix}{where[i]}{suffix}" if prefix is not None else texts[where[i]],
                )
            )

    def days(self) -> list[str]:
        """Every day's spelling, in order of first appearance."""
        return [self._texts[number] for number in dict.fromkeys(self._day)]

    def period_range(self) -> tuple[int, int] | None:
        """The first and last period of any row, or None without rows."""
        return (min(self._period), max(self._period)) if len(self) else None

    def teachers(self) -> set[str]:
        return {self._texts[number] for number in self._teacher_numbers()}

    def _teacher_numbers(self) -> set[int]:
        if self._distinct is None or self._distinct[0] != len(self):
            self._distinct = (len(self), set(self._teacher))
        return self._distinct[1]

    def first_teacher_not_in(self, known: Container[str]) -> LessonRow | None:
        """The first row whose teacher is not `known`, or None."""
        texts = self._texts
        unknown = {n for n in self._teacher_numbers() if texts[n] not in known}
        if not unknown:
            return None
        return self[next(i for i, n in enumerate(self._teacher) if n in unknown)]

    def of_days(self, days: Container[str], weeks: Container[str] = ("",)) -> Iterator[LessonRow]:
        """The rows given on one of `days` in one of `weeks`, in order."""
        texts = self._texts
        wanted = {n for n, text in enumerate(texts) if text in days}
        chosen: Iterable[int] = compress(range(len(self)), map(wanted.__contains__, self._day))
        week = self._optional.get("week")
        if week is not None:
            given = {n for n, text in enumerate(texts) if text in weeks}
            chosen = (i for i in chosen if week[i] in given)
        elif "" not in weeks:
            return iter(())
        return self._rows(chosen)


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
    email: str = ""  # where the desk sends their covers; "" for nowhere
    line: int = 0  # the line of the file that lists them; 0 when not a line of a file


@dataclass
class Week:
    """What a door read: everything before a day is chosen."""

    name: str  # the school's name, or its folder's
    source: str  # the folder or file read, for messages
    staff: list[StaffRow]  # in file order
    lessons: Sequence[LessonRow]  # in file order; kept as LessonRows
    # Period number -> how the school names or times it ("9.30 - 11.00"), when it does.
    period_names: dict[int, str] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)  # worth telling the user, not errors
    # The file the lessons come from when it is not `source` (the CSV folder's
    # timetable), so that a message about the days names the file that has them.
    lessons_source: str | None = None
    # The days as the timetable lists them, in its order, when it lists them
    # (FET's days, aSc's days table); else the order they first appear.
    day_order: list[str] = field(default_factory=list)
    # Day name -> weekday (Monday 0) where the program numbers its days from
    # Monday (aSc): trusted for names no language reads.
    numbered_days: dict[str, int] = field(default_factory=dict)
    # Name as read -> the teacher's code in the timetabling program (Untis), for
    # files written back to it, which know teachers by code; empty for other doors.
    teacher_codes: dict[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.rows()

    def rows(self) -> LessonRows:
        """The lessons, kept small (a door may give them as any sequence)."""
        if not isinstance(self.lessons, LessonRows):
            self.lessons = LessonRows.of(self.lessons)
        return self.lessons
