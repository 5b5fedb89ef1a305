"""A school folder at the size limit of the `rotavel` command, for measuring
its time and memory on large input.

    python bench/large_input.py DIR [--rows 4000000] [--days 5] [--periods 8]
    /usr/bin/time -v rotavel DIR --day Mo --format table > /dev/null

The timetable is a week (a `day` column, days `Mo` to `Fr`) in which every
class has a lesson in every period: rows / (days * periods) classes, a tenth
more teachers than classes so that some are free in every period, subjects
dealt round-robin, and a share of the teachers absent. Names are short so
that four million rows stay under the command's 64 MiB cap (about 62 MB).
Seeded: the same arguments write the same bytes.
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

DAYS = ("Mo", "Tu", "We", "Th", "Fr")
SUBJECTS = (
    "Maths",
    "English",
    "Physics",
    "Chemistry",
    "Biology",
    "Computing",
    "Hindi",
    "History",
    "Geography",
    "Economics",
    "Accounts",
    "Business",
    "Civics",
    "Art",
    "Games",
    "PE",
    "Sanskrit",
    "Urdu",
    "Bengali",
    "Finance",
)
_DIGITS = "0123456789abcdefghijklmnopqrstuvwxyz"


def short(number: int, width: int) -> str:
    """`number` in base 36, `width` characters."""
    text = ""
    for _ in range(width):
        number, digit = divmod(number, 36)
        text = _DIGITS[digit] + text
    return text


def write(folder: Path, rows: int, days: int, periods: int, absent: float, seed: int) -> None:
    rng = random.Random(seed)
    classes = rows // (days * periods)
    teachers = classes + classes // 10
    width = max(2, len(short(teachers, 8).lstrip("0")))
    names = ["T" + short(n, width) for n in range(teachers)]
    groups = [short(n, width) for n in range(classes)]
    folder.mkdir(parents=True, exist_ok=True)
    away = set(rng.sample(range(teachers), int(teachers * absent)))
    with open(folder / "teacher_list.csv", "w", encoding="utf-8", newline="") as out:
        out.write("name,subject,present,reason\n")
        for n, name in enumerate(names):
            out.write(f"{name},{SUBJECTS[n % len(SUBJECTS)]},{'no' if n in away else 'yes'},\n")
    order = list(range(teachers))
    with open(folder / "timetable.csv", "w", encoding="utf-8", newline="") as out:
        out.write("day,teacher,period,class\n")
        for day in DAYS[:days]:
            for period in range(1, periods + 1):
                rng.shuffle(order)  # a different teacher for each class in each period
                out.write(
                    "".join(
                        f"{day},{names[order[c]]},{period},{group}\n"
                        for c, group in enumerate(groups)
                    )
                )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--rows", type=int, default=4_000_000)
    parser.add_argument("--days", type=int, default=5, choices=range(1, 6))
    parser.add_argument("--periods", type=int, default=8)
    parser.add_argument("--absent", type=float, default=0.02, help="share of teachers absent")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    write(args.folder, args.rows, args.days, args.periods, args.absent, args.seed)
    size = (args.folder / "timetable.csv").stat().st_size
    print(f"{args.folder}/timetable.csv: {size:,} bytes")


if __name__ == "__main__":
    main()
