"""How evenly covers fall over a simulated month: the command, the desk's
earlier rule and fair shares, on real schools' weeks.

Each school is a timetabling program's export or a school folder (by
default the three largest of FET's examples with a timetable, from Debian's
fet-data: apt-get install fet-data; they are read where Debian puts them,
never copied). Their days are FET's mornings and afternoons: a school day
of the simulation is both halves of a weekday, as the desk plans a date, in
the timetable's order. Every school day of four weeks a
share of the staff (8% by default, drawn with a fixed seed) is away all day,
and the day is planned three ways, each remembering only its own covers:

- command: the stateless command (the module's rule: least loaded of the
  subject, else the first free teacher);
- load first: the desk's earlier rule, covers in the window only ordering
  teachers of equal load;
- fair shares: the desk's rule now, fewest covers first (pro rata to days in
  school), the subject kept within the margin (2 covers).

For staff in school on at least half the days it prints the spread of covers
per day in school (coefficient of variation), the busiest teacher's rate
over the mean, and the share of covers given within the absent teacher's
subject.

    .venv/bin/python bench/fairness.py
    .venv/bin/python bench/fairness.py --days 40 --absent 0.1 path/to/export.fet
"""

from __future__ import annotations

import argparse
import gzip
import random
import statistics
import sys
import tempfile
import time
from collections import Counter
from dataclasses import replace
from fractions import Fraction
from pathlib import Path

from rotavel_app.messages import InputError
from rotavel_app.planning.plan import Plan, Rules, make_plan
from rotavel_app.school.day import DayWanted, SchoolDay, choose_day
from rotavel_app.school.folder import read_folder
from rotavel_app.school.importers import read_export
from rotavel_app.school.week import Week

EXAMPLES = Path("/usr/share/doc/fet-data/examples")
SCHOOLS = [
    "FET-5-mornings-afternoons/Morocco-old-format/5/Sample-Morocco-2018_data_and_timetable.fet",
    "FET-5-mornings-afternoons/Algeria-old-format/10-by-bachiri401/3_data_and_timetable.fet",
    "FET-5-mornings-afternoons/Algeria/4-by-Benahmed-Abdelkrim/MHALI2_mod_3_data_and_timetable.fet",
]
POLICIES = ("command", "load first", "fair shares")


def read_week(path: Path, folder: Path) -> Week:
    if path.is_dir():  # a school folder of CSV files, or an export in one
        return read_export(path) or read_folder(path)
    if path.suffix == ".gz":
        copy = folder / path.stem
        copy.write_bytes(gzip.decompress(path.read_bytes()))
        path = copy
    week = read_export(path)
    if week is None:
        raise SystemExit(f"{path}: not a timetabling program's export")
    return week


def school_days(week: Week) -> list[SchoolDay]:
    """The timetable's days, in its order."""
    days: dict[str | None, SchoolDay] = {}
    for spelling in week.rows().days():
        try:
            day = choose_day(week, DayWanted(day=spelling or None))
        except InputError:
            continue
        days.setdefault(day.day, day)
    return list(days.values())


def simulate(week: Week, count: int, absent: float, margin: int, seed: int) -> dict[str, dict]:
    days = school_days(week)
    staff = list(days[0].staff)
    in_days = Counter(n for day in days for n, m in day.staff.items() if m.in_school)
    shares = {n: Fraction(in_days[n], len(days)) for n in staff if 0 < in_days[n] < len(days)}
    rng = random.Random(seed)
    away = [set(rng.sample(staff, round(absent * len(staff)))) for _ in range(count)]
    results = {}
    for policy in POLICIES:
        given: Counter[str] = Counter()
        present_days: Counter[str] = Counter()
        within = covers = runs = 0
        seconds = 0.0
        for number in range(count):
            day = days[number % len(days)]
            day = replace(
                day,
                staff={
                    n: replace(m, present=False) if n in away[number] else m
                    for n, m in day.staff.items()
                },
            )
            present_days.update(n for n, m in day.staff.items() if m.in_school and m.present)
            rules = None
            if policy != "command":
                rules = Rules(
                    covers_in_window=dict(given),
                    margin=margin if policy == "fair shares" else None,
                    days_in=shares if policy == "fair shares" else {},
                )
            start = time.perf_counter()
            plan: Plan = make_plan(day, rules)
            seconds += time.perf_counter() - start
            runs += len(plan.rounds)
            for item in plan.covers:
                assert item.substitute is not None
                given[item.substitute] += 1
                covers += 1
                within += (
                    day.staff[item.substitute].subject_key
                    == day.staff[item.lesson.teacher].subject_key
                )
        counted = [n for n in staff if present_days[n] * 2 >= count]
        rates = [given[n] / present_days[n] for n in counted]
        mean = statistics.fmean(rates)
        raw = [given[n] for n in counted]
        results[policy] = {
            "spread": statistics.pstdev(rates) / mean if mean else 0.0,
            "busiest": max(rates) / mean if mean else 0.0,
            "busiest covers": max(raw),
            "mean covers": statistics.fmean(raw),
            "within": within / covers if covers else 0.0,
            "covers": covers,
            "ms a day": seconds * 1000 / count,
            "runs a day": runs / count,
        }
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("schools", nargs="*", type=Path, help="exports (default: three of FET's)")
    parser.add_argument("--days", type=int, default=20, help="school days simulated")
    parser.add_argument("--absent", type=float, default=0.08, help="share of staff away a day")
    parser.add_argument("--margin", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    paths = args.schools or [EXAMPLES / s for s in SCHOOLS]
    with tempfile.TemporaryDirectory() as folder:
        for path in paths:
            if not path.exists():
                sys.exit(f"{path}: no such file (FET's examples: apt-get install fet-data)")
            week = read_week(path, Path(folder))
            print(f"{path.name}: {len(week.staff)} staff, {args.days} days, {args.absent:.0%} away")
            for policy, r in simulate(week, args.days, args.absent, args.margin, args.seed).items():
                print(
                    f"  {policy:12} spread {r['spread']:.2f}  busiest/mean {r['busiest']:.1f}  "
                    f"(busiest {r['busiest covers']} covers, mean {r['mean covers']:.1f})  "
                    f"in the subject {r['within']:.0%}  of {r['covers']} covers  "
                    f"{r['ms a day']:.1f} ms, {r['runs a day']:.1f} runs a day"
                )


if __name__ == "__main__":
    main()
