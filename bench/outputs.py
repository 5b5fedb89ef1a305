"""Time and size of the command's outputs for a school where nothing can be
covered (every teacher teaches every period, half of them are away): the
case in which explanations of uncovered lessons could grow with the square
of the staff. `table` and `html` should stay within 4x the time and 15x the
size of `report`.

    .venv/bin/python bench/outputs.py [--teachers 1000 3000] [--repeats 3]
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.schools import unplannable_school

FORMATS = ("report", "table", "html")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--teachers", type=int, nargs="+", default=[1000, 3000])
    parser.add_argument("--periods", type=int, default=6)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print(f"{'teachers':>8}  {'format':<6}  {'time (s)':>8}  {'bytes':>11}  vs report")
    with tempfile.TemporaryDirectory() as scratch:
        for teachers in args.teachers:
            folder = unplannable_school(Path(scratch) / f"s{teachers}", teachers, args.periods)
            base = None
            for form in FORMATS:
                out = Path(scratch) / f"out-{teachers}.{form}"
                best = min(_timed(folder, form, out) for _ in range(args.repeats))
                size = out.stat().st_size
                base = base or (best, size)
                print(
                    f"{teachers:>8}  {form:<6}  {best:>8.3f}  {size:>11,}  "
                    f"{best / base[0]:.2f}x time, {size / base[1]:.2f}x size"
                )


def _timed(folder: Path, form: str, out: Path) -> float:
    start = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "rotavel_app", str(folder), "-f", form, "-o", str(out)], check=True
    )
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
