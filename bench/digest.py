"""Digests of what rotavel returns for a set of generated schools, to compare two builds.

    .venv/bin/python bench/digest.py                        # the installed module
    .venv/bin/python bench/digest.py --module-dir DIR       # a rotavel*.so kept elsewhere
    .venv/bin/python bench/digest.py --module-dir DIR --compare   # both, and whether they agree

Each school is built as bench/gen.py builds it, run twice (the second run sees the first one's
assignments), given one more class (whose teachers get many lessons, some outside the day's periods and
some registered twice) and run again; every report (timing masked) and every
str(school) and str(class) is hashed. Two builds that print the same digests return the same
bytes for all of these schools.
"""

import argparse
import hashlib
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

# (teachers, subjects, classes, periods, share absent, seed): the bench's schools at 1x and 16x,
# the small one, and crowded ones where lessons go uncovered and the any-subject search runs.
SCHOOLS = [
    (2500, 20, 1000, 10, 0.08, 1),
    (100, 20, 40, 8, 0.08, 1),
    (40000, 20, 16000, 10, 0.08, 1),
    (60, 20, 55, 10, 0.3, 2),
    (30, 3, 30, 6, 0.5, 3),
    (400, 7, 150, 12, 0.2, 4),
]


def digests():
    import gen
    import rotavel
    from support import model

    out = []
    for size in SCHOOLS:
        plan = gen.generate(*size)
        school, teachers, classes = gen.build(rotavel, plan)
        h = hashlib.sha256()
        for _ in range(2):
            h.update(model.mask_timing(school.generate_substitutions()).encode())
            h.update(str(school).encode())
        extra = rotavel.Class("extra")
        for t in teachers[::7]:  # past the pairs a set scans, each lesson registered twice
            for period in (3, 70, -4, *range(12), 3, 70):
                rotavel.register_period(t, period, school, extra)
        school.add_class(extra)
        h.update(model.mask_timing(school.generate_substitutions()).encode())
        h.update(str(school).encode())
        for c in classes[::97]:
            h.update(str(c).encode())
        out.append(f"{size}: {h.hexdigest()}")
    return out


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--module-dir", help="import rotavel from this directory instead")
    ap.add_argument(
        "--compare", action="store_true", help="digest the installed module too and compare"
    )
    args = ap.parse_args()
    if args.compare:
        mine = subprocess.run(
            [sys.executable, __file__], check=True, capture_output=True, text=True
        ).stdout
        theirs = subprocess.run(
            [sys.executable, __file__, "--module-dir", args.module_dir],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        print(mine, end="")
        if mine != theirs:
            print(f"DIFFERENT from {args.module_dir}:\n{theirs}", end="")
            sys.exit(1)
        print(f"identical to {args.module_dir}")
        return
    if args.module_dir:
        sys.path.insert(0, str(Path(args.module_dir).resolve()))
    print("\n".join(digests()))


if __name__ == "__main__":
    main()
