"""Time rotavel against the plain-Python model on the same generated schools.

    .venv/bin/python bench/run.py            # the full run (make bench)
    .venv/bin/python bench/run.py --quick    # a smoke run in a few seconds

See bench/README.md for what each figure means.
"""

import argparse
import ctypes
import gc
import os
import pickle
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import gen  # noqa: E402
import model  # noqa: E402
import rotavel  # noqa: E402

IMPLS = {"rotavel": rotavel, "model": model}


def timed(fn):
    """Run fn once with the cyclic collector off; return (seconds, result)."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = fn()
        return (time.perf_counter_ns() - start) / 1e9, result
    finally:
        gc.enable()


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def fmt_bytes(n):
    return f"{n / 2**20:.1f} MiB" if abs(n) >= 2**20 else f"{n / 2**10:.0f} KiB"


def measure(api, plan, repeats, str_repeats):
    """Medians of build, run and str(); each run gets a freshly built school."""
    build_t, run_t, str_t = [], [], []
    for i in range(repeats):
        seconds, (school, teachers, classes) = timed(lambda: gen.build(api, plan))
        build_t.append(seconds)
        seconds, report = timed(school.generate_substitutions)
        run_t.append(seconds)
        if i < str_repeats:
            seconds, text = timed(school.__str__)
            str_t.append(seconds)
        del school, teachers, classes
    return {"build": statistics.median(build_t), "run": statistics.median(run_t),
            "str": statistics.median(str_t), "report": model.mask_timing(report),
            "text": text}


def memory_child(impl, plan_file):
    """In a fresh process: resident-set growth while one school is built."""
    with open(plan_file, "rb") as f:
        plan = pickle.load(f)
    page = os.sysconf("SC_PAGE_SIZE")
    try:  # hand freed heap back first, so the build cannot hide in it (glibc only)
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        trim = lambda _pad: None  # noqa: E731

    def rss():
        gc.collect()
        trim(0)
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page

    before = rss()
    built = gen.build(IMPLS[impl], plan)
    print(rss() - before)
    del built


def memory(plan):
    with tempfile.NamedTemporaryFile(suffix=".pickle") as f:
        pickle.dump(plan, f)
        f.flush()
        return {impl: int(subprocess.run(
            [sys.executable, __file__, "--memory-child", impl, f.name],
            check=True, capture_output=True, text=True).stdout)
            for impl in IMPLS}


def compare(plan, repeats, str_repeats, with_memory):
    print(f"\n## {plan.describe()}")
    got = {name: measure(api, plan, repeats, str_repeats) for name, api in IMPLS.items()}
    r, m = got["rotavel"], got["model"]
    assert r["report"] == m["report"], "rotavel and the model disagree on the report"
    assert r["text"] == m["text"], "rotavel and the model disagree on str(school)"
    table = r["report"].split("\n\n", 1)[0]
    unresolved = r["report"].count("Couldnt find a substitution for ")
    print(f"reports identical (timing masked): {table.count(chr(10))} substitutions, "
          f"{unresolved} lessons uncovered; str(school) identical, {len(r['text']):,} characters")
    print(f"medians of {repeats} runs ({str_repeats} for str), each on a freshly built school\n")
    print(f"| {'figure':<28} | {'rotavel':>10} | {'model':>10} | {'model / rotavel':>15} |")
    print(f"|{'-' * 30}|{'-' * 12}|{'-' * 12}|{'-' * 17}|")
    for key, label in (("build", "(a) build the school"), ("run", "(b) generate_substitutions"),
                       ("str", "(c) str(school)")):
        print(f"| {label:<28} | {fmt(r[key]):>10} | {fmt(m[key]):>10} | "
              f"{m[key] / r[key]:>14.1f}x |")
    if with_memory:
        mem = memory(plan)
        ratio = f"{mem['model'] / mem['rotavel']:>14.1f}x" if mem["rotavel"] > 0 else f"{'n/a':>15}"
        print(f"| {'memory for the school (RSS)':<28} | {fmt_bytes(mem['rotavel']):>10} | "
              f"{fmt_bytes(mem['model']):>10} | {ratio} |")


def sweep(title, sizes, repeats, seed):
    print(f"\n## {title}")
    print("rotavel's generate_substitutions only: the model would take too long at these "
          f"sizes. Median of {repeats} runs, each on a freshly built school.\n")
    print(f"| {'teachers':>8} | {'classes':>7} | {'lessons':>7} | {'median':>9} | {'x per doubling':>14} |")
    print(f"|{'-' * 10}|{'-' * 9}|{'-' * 9}|{'-' * 11}|{'-' * 16}|")
    previous = None
    for teachers, classes, periods in sizes:
        plan = gen.generate(teachers, 20, classes, periods, 0.08, seed)
        runs = []
        for _ in range(repeats):
            school, *_ = gen.build(rotavel, plan)
            runs.append(timed(school.generate_substitutions)[0])
            del school
        median = statistics.median(runs)
        growth = f"{median / previous:.2f}" if previous else "-"
        print(f"| {teachers:>8} | {classes:>7} | {len(plan.lessons):>7} | {fmt(median):>9} | {growth:>14} |")
        previous = median


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes and few repeats (smoke run)")
    ap.add_argument("--teachers", type=int, default=2500)
    ap.add_argument("--subjects", type=int, default=20)
    ap.add_argument("--classes", type=int, default=1000)
    ap.add_argument("--periods", type=int, default=10)
    ap.add_argument("--absent", type=float, default=0.08, help="share of teachers absent")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeats", type=int, default=5, help="timed runs per figure")
    ap.add_argument("--sweep-repeats", type=int, default=7)
    ap.add_argument("--no-small", action="store_true", help="skip the 100-teacher school")
    ap.add_argument("--no-sweeps", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--memory-child", nargs=2, metavar=("IMPL", "PLAN"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        return memory_child(*args.memory_child)

    if args.quick:
        args.teachers, args.classes, args.repeats, args.sweep_repeats = 250, 100, 2, 3
        class_sizes, teacher_sizes = [250, 500], [625, 1250]
    else:
        class_sizes, teacher_sizes = [250, 500, 1000, 2000, 4000], [625, 1250, 2500, 5000, 10000]
    print(f"# rotavel benchmark: Python {platform.python_version()}, {os.cpu_count()} cores, "
          f"{platform.machine()}, seed {args.seed}")
    str_repeats = max(1, min(3, args.repeats))
    compare(gen.generate(args.teachers, args.subjects, args.classes, args.periods,
                         args.absent, args.seed), args.repeats, str_repeats, not args.no_memory)
    if not args.no_small:
        compare(gen.generate(100, min(args.subjects, 20), 40, 8, args.absent, args.seed),
                args.repeats, str_repeats, not args.no_memory)
    if not args.no_sweeps:
        sweep("Doubling classes (teachers = 2.5 x classes, 20 subjects, 10 periods, 8% absent)",
              [(5 * c // 2, c, 10) for c in class_sizes], args.sweep_repeats, args.seed)
        sweep("Doubling teachers (250 classes, 20 subjects, 10 periods, 8% absent)",
              [(t, 250, 10) for t in teacher_sizes], args.sweep_repeats, args.seed)


if __name__ == "__main__":
    main()
