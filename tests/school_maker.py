"""Seeded school folders for the output checks.

`messy_school` is a day as a large school would have it: 40 classes, long
names, combined lessons, an options block in which every present teacher
teaches a group, some absences with long reasons, so about 40 covers and a
few lessons nobody can take. `unplannable_school` is a school where nothing
can be covered: every teacher teaches every period and half of them are
away, the case in which explanations could grow with the square of the staff.
"""

from __future__ import annotations

import csv
import io
import random
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


def write_school(
    folder: Path, staff: list[tuple[str, str, str, str]], rows: list[tuple[str, int, str]]
) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    for name, header, records in (
        ("teacher_list.csv", ("name", "subject", "present", "reason"), staff),
        ("timetable.csv", ("teacher", "period", "class"), rows),
    ):
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(records)
        (folder / name).write_text(out.getvalue(), encoding="utf-8")
    return folder


def _dealt(rng: random.Random, counts: dict[str, int]) -> list[str]:
    subjects = [subject for subject, count in counts.items() for _ in range(count)]
    rng.shuffle(subjects)
    return subjects
