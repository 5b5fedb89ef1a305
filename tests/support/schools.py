"""School folders for the tests, all written by `write_school`.

`small_school` is three teachers, one away, with one lesson nobody can take.
`shorthand_school` is written from "Name:subject" and "Name period class" strings.
`telling_school` is a school whose teachers have e-mail addresses, its lessons rooms and its
periods times, for publishing, e-mail and the personal pages.
`messy_school` is a day as a large school would have it: 40 classes, long
names, combined lessons, an options block in which every present teacher
teaches a group, some absences with long reasons, so about 40 covers and a
few lessons nobody can take. `unplannable_school` is a school where nothing
can be covered: every teacher teaches every period and half of them are
away, the case in which explanations could grow with the square of the staff.
"""

from __future__ import annotations

import csv
import datetime
import io
import random
import re
from pathlib import Path

SUBJECTS = {  # keyword: teachers of it
    "maths": 9,
    "english": 9,
    "physics": 4,
    "chemistry": 4,
    "biology": 4,
    "computer": 4,
    "hindi": 5,
    "sanskrit": 2,
    "history": 4,
    "geography": 4,
    "economics": 3,
    "civics": 2,
    "accountancy": 2,
    "business": 2,
    "art": 3,
    "P.E": 3,
    "games": 2,
    "urdu": 1,
    "bengali": 1,
    "finfance": 1,
}
FIRST = [
    "Asha",
    "Bartholomew",
    "Chandrasekhar",
    "Dolores",
    "Evangeline",
    "Fatima",
    "Gopal",
    "Henrietta",
    "Imran",
    "Jayalakshmi",
    "Kwame",
    "Lakshminarayanan",
    "Maximilian",
    "Nkechi",
    "Oluwaseun",
    "Priya",
    "Rosalind",
    "Siddharth",
    "Thandiwe",
    "Zoya",
]
LAST = [
    "Rao",
    "Kierkegaard-Oyelaran",
    "Venkataraghavan",
    "Fernandes",
    "Chakraborty",
    "Montgomery-Whitfield",
    "Iyer",
    "Wojciechowski",
    "D'Souza",
    "Ramaswamy",
    "Okonkwo",
    "Subramanian",
    "Khan",
    "Bhattacharjee",
    "Papadopoulou",
    "Nair",
]
REASONS = [
    "Sick leave",
    "Attending the district curriculum moderation workshop",
    "Exam duty at the board office",
    "Family wedding, back on Monday",
    "",
    "Accompanying the under-14 football team to the regional tournament",
]
PERIODS = 8
OPTIONS_PERIOD = 8  # every present teacher teaches a group in it
COMBINED_PERIODS = (3, 5)  # games and P.E. take two sections at once


def messy_school(
    folder: Path,
    classes: int = 40,
    absent: int = 9,
    seed: int = 12,
    scale: float = 1.0,
    class_names: list[str] | None = None,
    long_names: tuple[str, ...] = (),
) -> Path:
    """`scale` multiplies the teachers of every subject (1.5 for a school of 60
    classes); `class_names` replaces the usual 6A..12F, and `long_names` are
    given to the first teachers."""
    rng = random.Random(seed)
    counts = {subject: round(count * scale) for subject, count in SUBJECTS.items()}
    names = rng.sample(
        [f"{first} {last}" for first in FIRST for last in LAST], sum(counts.values())
    )
    names[: len(long_names)] = list(long_names)
    teachers = [(name, subject) for name, subject in zip(names, _dealt(rng, counts))]
    sections = "ABCDEF" if classes <= 42 else "ABCDEFGHIJ"
    grades = [f"{grade}{section}" for grade in range(6, 13) for section in sections]
    class_names = (class_names or grades)[:classes]
    away = dict.fromkeys(rng.sample([name for name, _ in teachers], absent))
    for name in away:
        away[name] = rng.choice(REASONS)

    rows: list[tuple[str, int, str]] = []
    for period in range(1, PERIODS + 1):
        free = [name for name, _ in teachers]
        rng.shuffle(free)
        todo = list(class_names)
        rng.shuffle(todo)
        if period in COMBINED_PERIODS:
            sports = [n for n, s in teachers if s in ("P.E", "games") and n in free]
            for name, pair in zip(sports, zip(todo[::2], todo[1::2])):
                rows += [(name, period, c) for c in pair]
                free.remove(name)
                todo = [c for c in todo if c not in pair]
        # Each class takes a free teacher; in the options block the rest
        # take groups too, so nobody present is free then.
        for class_name in todo:
            rows.append((free.pop(), period, class_name))
        if period == OPTIONS_PERIOD:
            rows += [(name, period, rng.choice(class_names)) for name in free]
        else:
            # A few teachers stay free to cover; the rest teach split groups.
            rows += [(name, period, rng.choice(class_names)) for name in free[: len(free) // 3]]
    rng.shuffle(rows)  # the export a school gives is in no useful order
    rows.sort(key=lambda row: row[0])
    staff = [
        (name, subject, "no" if name in away else "yes", away.get(name) or "")
        for name, subject in teachers
    ]
    return write_school(folder, staff, rows)


def unplannable_school(folder: Path, teachers: int, periods: int = 6) -> Path:
    """Every teacher teaches their own class in every period; every other
    teacher is away, so none of their lessons can be covered."""
    staff = [
        (f"Teacher {n:05d}", ("maths", "english")[n % 4 // 2], "no" if n % 2 else "yes", "Ill")
        for n in range(teachers)
    ]
    rows = [
        (name, period, f"C{n}")
        for n, (name, *_) in enumerate(staff)
        for period in range(1, periods + 1)
    ]
    return write_school(folder, staff, rows)


# The week the desk's tests plan: Monday 9 to Friday 13 March 2026.
MON = datetime.date(2026, 3, 9)
TUE, WED, THU, FRI = (MON + datetime.timedelta(n) for n in range(1, 5))

STAFF_COLUMNS = ("name", "subject", "present", "reason")
LESSON_COLUMNS = ("teacher", "period", "class")


def write_school(
    folder: Path,
    staff: str | list,
    lessons: str | list,
    toml: str | None = None,
    *,
    staff_columns: tuple[str, ...] = STAFF_COLUMNS,
    lesson_columns: tuple[str, ...] = LESSON_COLUMNS,
) -> Path:
    """teacher_list.csv, timetable.csv and, given settings, rotavel.toml in `folder`.

    `staff` and `lessons` are each a file's whole text, or its rows: a tuple is written as CSV
    under as many of the columns as it has fields, a string as the line it is (to write a field
    exactly as a school's export might)."""
    folder.mkdir(parents=True, exist_ok=True)
    for name, columns, records in (
        ("teacher_list.csv", staff_columns, staff),
        ("timetable.csv", lesson_columns, lessons),
    ):
        if not isinstance(records, str):
            width = max((len(r) for r in records if not isinstance(r, str)), default=len(columns))
            out = io.StringIO()
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(columns[:width])
            for record in records:
                if isinstance(record, str):
                    out.write(record + "\n")
                else:
                    writer.writerow(record)
            records = out.getvalue()
        (folder / name).write_text(records, encoding="utf-8")
    if toml is not None:
        (folder / "rotavel.toml").write_text(toml, encoding="utf-8")
    return folder


# Ann is absent; in period 1 Bob and Cat are both teaching, so Ann's 9A
# lesson stays uncovered; in period 2 Bob is free and covers her.
SMALL_TEACHERS = (
    "name,subject,present,reason\nAnn,maths,no,Sick\nBob,Maths,yes,\nCat,english,yes,\n"
)
SMALL_TIMETABLE = "teacher,period,class\nAnn,1,9A\nBob,1,9B\nCat,1,9C\nAnn,2,9A\n"


def small_school(
    tmp_path: Path, teachers: str = SMALL_TEACHERS, timetable: str = SMALL_TIMETABLE
) -> Path:
    return write_school(tmp_path / "school", teachers, timetable)


WEEKDAYS = ("Mon", "Tue", "Wed", "Thu", "Fri")


def shorthand_school(
    folder: Path,
    staff: list[str],
    lessons: list[str],
    toml: str = "",
    days: dict[str, str] | None = None,
) -> Path:
    """staff: "Name:subject" strings; lessons: "Name period class" strings;
    days: name -> the days in school as the teacher list writes them, and then the
    timetable is weekly, the same lessons every day."""
    if days:
        staff_rows = [f"{s.replace(':', ',')},{days.get(s.split(':')[0], '')}" for s in staff]
        lesson_rows = [
            f"{t},{d},{p},{c}" for d in WEEKDAYS for t, p, c in (x.rsplit(" ", 2) for x in lessons)
        ]
        columns = (("name", "subject", "days"), ("teacher", "day", "period", "class"))
    else:
        staff_rows = [s.replace(":", ",") for s in staff]
        lesson_rows = [",".join(x.rsplit(" ", 2)) for x in lessons]
        columns = (("name", "subject"), LESSON_COLUMNS)
    return write_school(
        folder,
        staff_rows,
        lesson_rows,
        toml or None,
        staff_columns=columns[0],
        lesson_columns=columns[1],
    )


# The telling school: Ann (maths) teaches 9A in period 1 and 9B in period 2. Away, her lessons
# go to Bob (period 1) and Cat (period 2), the maths teachers free then; Dan (English) is free
# in both and takes one when given it by hand.
TELLING_STAFF = [
    ("Ann", "maths", "ann@school.test"),
    ("Bob", "maths", "bob@school.test"),
    ("Cat", "maths", "cat@school.test"),
    ("Dan", "english", "dan@school.test"),
]
TELLING_LESSONS = [
    ("Ann", 1, "9A", "R1"),
    ("Ann", 2, "9B", "R2"),
    ("Bob", 2, "9C", ""),
    ("Cat", 1, "9D", ""),
    ("Dan", 3, "9E", ""),
]
TIMES = '[times]\n1 = "08:30-09:20"\n2 = "09:20-10:10"\n'
BASE = "https://cover.school.test"


def telling_school(folder: Path, toml: str = "", staff: list = TELLING_STAFF) -> Path:
    # The teacher list's fields are written as given, so a test can write one quoted.
    return write_school(
        folder,
        [",".join(s) for s in staff],
        [f"{t},{p},{c},{r}" for t, p, c, r in TELLING_LESSONS],
        f'base_url = "{BASE}"\n{toml}{TIMES}',
        staff_columns=("name", "subject", "email"),
        lesson_columns=(*LESSON_COLUMNS, "room"),
    )


def stamped(text: str) -> str:
    """Text with its clock times (which depend on when the test runs) as T."""
    return re.sub(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9:]{5}", "T", text)


def _dealt(rng: random.Random, counts: dict[str, int]) -> list[str]:
    subjects = [subject for subject, count in counts.items() for _ in range(count)]
    rng.shuffle(subjects)
    return subjects
