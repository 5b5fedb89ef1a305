"""Start-up: how long the `rotavel` command takes end to end, against the bare interpreter.

Most runs of the command plan one small school, so the time a person waits is mostly the
interpreter starting and the command importing what it needs; the planning itself takes
microseconds. Each command below runs as a new process, in turns (so a slower spell of the
machine hits all of them alike), and the table gives the median and the fastest of the timed
runs and the ratio of the median to `python -c pass`. The goal is planning the sample school
within 3 times the bare interpreter's start.

    .venv/bin/python bench/startup.py            # 40 rounds
    .venv/bin/python bench/startup.py --runs 200

Run it with the interpreter of the environment the command is installed in. Reports only:
the figures depend on the machine, so nothing here passes or fails.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

GOAL = 3.0
HILLSIDE = Path(__file__).resolve().parent.parent / "examples" / "hillside"


def rotavel_argv():
    """The installed console script, as a user runs it; `python -m` where there is none."""
    script = Path(sys.executable).with_name("rotavel")
    return [str(script)] if script.exists() else [sys.executable, "-m", "rotavel_app"]


def commands(desk_school):
    """(label, argv) pairs; the first is the yardstick. `desk_school` is a copy of the
    example school, for the cover desk's record to be written beside it."""
    python = sys.executable
    rotavel = rotavel_argv()
    return [
        ("python -c pass", [python, "-c", "pass"]),
        ("rotavel --version", [*rotavel, "--version"]),
        ("rotavel (sample school, table)", rotavel),
        ("rotavel --format csv", [*rotavel, "--format", "csv"]),
        ("rotavel --format report", [*rotavel, "--format", "report"]),
        ("rotavel --format html", [*rotavel, "--format", "html"]),
        # A school's own folder, with its rotavel.toml, as a cover manager runs it.
        (
            "rotavel examples/hillside --absent",
            [*rotavel, str(HILLSIDE), "--absent", "Clara Vogel"],
        ),
        # The cover desk's morning look at the day, from its record.
        ("rotavel plan (the desk)", [*rotavel, "plan", str(desk_school)]),
    ]


def run_once(argv, env):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, env=env)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40, help="timed rounds (default 40)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed rounds first (default 3)")
    args = parser.parse_args()

    # Bytecode caches are written on the first run and read after it, as for an installed
    # package; no user site or PYTHON* setting of the caller's shell changes what is imported.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONNOUSERSITE"] = "1"

    scratch = tempfile.TemporaryDirectory()
    desk_school = shutil.copytree(HILLSIDE, Path(scratch.name) / "hillside")
    subprocess.run(
        [*rotavel_argv(), "absent", str(desk_school), "Clara Vogel:Sick"],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    cases = commands(desk_school)
    for _ in range(args.warmup):
        for _, argv in cases:
            run_once(argv, env)
    times = {label: [] for label, _ in cases}
    for _ in range(args.runs):
        for label, argv in cases:
            times[label].append(run_once(argv, env))

    base = statistics.median(times[cases[0][0]])
    print(f"{sys.executable}, {args.runs} runs each")
    print(f"{'command':<34}{'median':>10}{'fastest':>10}{'ratio':>8}")
    for label, _ in cases:
        median = statistics.median(times[label])
        print(
            f"{label:<34}{median * 1e3:>8.1f}ms{min(times[label]) * 1e3:>8.1f}ms"
            f"{median / base:>7.2f}x"
        )
    plan = statistics.median(times[cases[2][0]]) / base
    verdict = "within" if plan <= GOAL else "over"
    print(
        f"planning the sample school: {plan:.2f}x the bare interpreter, {verdict} the {GOAL:g}x goal"
    )


if __name__ == "__main__":
    main()
