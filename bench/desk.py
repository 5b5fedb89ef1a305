"""Planning a day from the cover desk against the stateless command.

The school is the benchmark's largest (bench/gen.py: 2,500 teachers over 20
subjects, 1,000 classes, 10 periods). A record of a term is built first:
every school day (Monday to Friday) from the start of term, a share of the
staff is entered absent and the day's plan is published, so each later plan
reads a window of many published covers. Then the next school day is
planned, with that day's absences, both ways:

- stateless: `rotavel FOLDER --date D --absent-file today.txt --format csv`
- desk:      `rotavel plan FOLDER --date D --format csv` (absences in the record)

each as a fresh process (what a cover manager waits for) and as a call of
the command's `main()` in this process (without the interpreter's start).
Figures are medians; the run stops with an error unless both plan the same
lessons while the record has no history (the desk by fair shares, fewest
covers first, so not always with the same substitutes).

    .venv/bin/python bench/desk.py                      # the full term: 60 days
    .venv/bin/python bench/desk.py --days 5 --repeats 3  # a quick look
    .venv/bin/python bench/desk.py --cap-week 3          # with weekly caps
"""

from __future__ import annotations

import argparse
import datetime
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen

from rotavel_app.commands.main import main
from rotavel_app.desk.desk import Desk


def school_days(first: datetime.date, count: int) -> list[datetime.date]:
    days, day = [], first
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day += datetime.timedelta(1)
    return days


def write_school(folder: Path, plan: gen.Plan, settings: str) -> list[str]:
    """The generated school as a folder where everyone is present; the names."""
    folder.mkdir(parents=True, exist_ok=True)
    names = [name for name, *_ in plan.teachers]
    with open(folder / "teacher_list.csv", "w", encoding="utf-8") as out:
        out.write("name,subject\n")
        out.writelines(f"{name},{keyword}\n" for name, keyword, *_ in plan.teachers)
    with open(folder / "timetable.csv", "w", encoding="utf-8") as out:
        out.write("teacher,period,class\n")
        out.writelines(f"{names[t]},{period},{plan.classes[c]}\n" for c, period, t in plan.lessons)
    (folder / "rotavel.toml").write_text(settings, encoding="utf-8")
    return names


def medians_ms(runs: dict[str, Callable[[], object]], repeats: int) -> dict[str, float]:
    """Each run timed `repeats` times, taking turns, so that a busy moment of
    a shared machine falls on all of them alike; the median of each."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            times[name].append((time.perf_counter() - start) * 1000)
    return {name: statistics.median(values) for name, values in times.items()}


def in_process(argv: list[str], output: Path) -> str:
    code = main([*argv, "--output", str(output)])
    if code != 0:
        raise SystemExit(f"rotavel {' '.join(argv)} failed with status {code}")
    return output.read_text(encoding="utf-8")


def as_process(argv: list[str], output: Path) -> None:
    subprocess.run(
        [sys.executable, "-m", "rotavel_app", *argv, "--output", str(output)],
        check=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )


def main_bench() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--teachers", type=int, default=2500)
    parser.add_argument("--classes", type=int, default=1000)
    parser.add_argument("--periods", type=int, default=10)
    parser.add_argument("--absent", type=float, default=0.08, help="share away each day")
    parser.add_argument("--days", type=int, default=60, help="school days already in the record")
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--window", choices=("week", "cycle", "term"), default="term")
    parser.add_argument("--cap-day", type=int)
    parser.add_argument("--cap-week", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", type=Path, help="build the school and record in this folder")
    args = parser.parse_args()

    term = datetime.date(2026, 1, 5)
    settings = f'window = "{args.window}"\nterm_start = "{term}"\ncycle_days = 10\n'
    if args.cap_day is not None:
        settings += f"cap_day = {args.cap_day}\n"
    if args.cap_week is not None:
        settings += f"cap_week = {args.cap_week}\n"
    school = gen.generate(
        teachers=args.teachers, classes=args.classes, periods=args.periods, absent=0, seed=args.seed
    )
    print(f"school: {school.describe()}; settings: {settings.strip().replace(chr(10), ', ')}")
    with tempfile.TemporaryDirectory() as temporary:
        base = args.keep or Path(temporary)
        folder = base / "school"
        names = write_school(folder, school, settings)
        rng = random.Random(args.seed)
        days = school_days(term, args.days + 1)
        away = {day: rng.sample(names, round(args.absent * len(names))) for day in days}
        today = days[-1]
        absent_file = base / "today.txt"
        absent_file.write_text("".join(f"{n}:Ill\n" for n in away[today]), encoding="utf-8")
        stateless = [str(folder), "--date", str(today), "--absent-file", str(absent_file)]
        stateless += ["--format", "csv"]
        desk = ["plan", str(folder), "--date", str(today), "--format", "csv"]

        # Before any history the desk plans by fair shares (fewest covers
        # first), the command by load: the same lessons, not always the same
        # substitutes. Both must plan every lesson of the day.
        with Desk.open(folder) as record:
            record.add_absences([(n, today, today, None, "Ill") for n in away[today]])
        output = base / "out.csv"
        lessons = [
            sorted(line.split(",")[:2] for line in in_process(argv, output).splitlines()[1:])
            for argv in (stateless, desk)
        ]
        if lessons[0] != lessons[1]:
            raise SystemExit("the desk and the command planned different lessons")

        start = time.perf_counter()
        publish = []
        with Desk.open(folder) as record:
            for day in days[:-1]:
                record.add_absences([(n, day, day, None, "Ill") for n in away[day]])
                began = time.perf_counter()
                plan = record.publish(day)
                publish.append((time.perf_counter() - began) * 1000)
            covers = sum(c for _, c in record.history(days[0], days[-2]))
            rounds = len(record.plan(today).rounds)
        print(
            f"record: {len(days) - 1} school days published in {time.perf_counter() - start:.1f} s "
            f"(median {statistics.median(publish):.0f} ms a day), {covers} covers, "
            f"{len(plan.absent_lessons)} absent lessons on the last; "
            f"the day planned takes {rounds} run(s) of the module"
        )
        figures = medians_ms(
            {
                "stateless process": lambda: as_process(stateless, output),
                "desk process": lambda: as_process(desk, output),
                "stateless main()": lambda: in_process(stateless, output),
                "desk main()": lambda: in_process(desk, output),
            },
            args.repeats,
        )
        size = os.path.getsize(folder / "rotavel.db")
    print(f"record file: {size / 1e6:.1f} MB")
    print(f"planning {today} (median of {args.repeats}):")
    for how in ("process", "main()"):
        plain, record_ms = figures[f"stateless {how}"], figures[f"desk {how}"]
        print(
            f"  {how:8} stateless {plain:7.0f} ms   desk {record_ms:7.0f} ms   "
            f"ratio {record_ms / plain:.2f}"
        )


if __name__ == "__main__":
    main_bench()
