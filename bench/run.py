"""Time rotavel against the plain-Python model on the same generated schools.

    .venv/bin/python bench/run.py            # the full run (make bench)
    .venv/bin/python bench/run.py --quick    # a smoke run in a few seconds
    .venv/bin/python bench/run.py --callgrind-only   # instruction counts and bytes only

See bench/README.md for what each figure means.
"""

import argparse
import ctypes
import functools
import gc
import json
import os
import pickle
import platform
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

if os.environ.get(
    "ROTAVEL_BENCH_MODULE_DIR"
):  # measure another build of the module, kept elsewhere
    sys.path.insert(0, os.environ["ROTAVEL_BENCH_MODULE_DIR"])

import gen  # noqa: E402
import rotavel  # noqa: E402
from support import model  # noqa: E402

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
    return {
        "build": statistics.median(build_t),
        "run": statistics.median(run_t),
        "str": statistics.median(str_t),
        "report": model.mask_timing(report),
        "text": text,
    }


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


def in_child(plan, *args):
    """Run this script again with the plan pickled to a file, named last; return its output."""
    with tempfile.NamedTemporaryFile(suffix=".pickle") as f:
        pickle.dump(plan, f)
        f.flush()
        return subprocess.run(
            [sys.executable, __file__, *args, f.name], check=True, capture_output=True, text=True
        ).stdout


def memory(plan):
    return {impl: int(in_child(plan, "--memory-child", impl)) for impl in IMPLS}


def compare(plan, repeats, str_repeats, with_memory):
    print(f"\n## {plan.describe()}")
    got = {name: measure(api, plan, repeats, str_repeats) for name, api in IMPLS.items()}
    r, m = got["rotavel"], got["model"]
    assert r["report"] == m["report"], "rotavel and the model disagree on the report"
    assert r["text"] == m["text"], "rotavel and the model disagree on str(school)"
    table = r["report"].split("\n\n", 1)[0]
    unresolved = r["report"].count("Couldnt find a substitution for ")
    print(
        f"reports identical (timing masked): {table.count(chr(10))} substitutions, "
        f"{unresolved} lessons uncovered; str(school) identical, {len(r['text']):,} characters"
    )
    print(f"medians of {repeats} runs ({str_repeats} for str), each on a freshly built school\n")
    print(f"| {'figure':<28} | {'rotavel':>10} | {'model':>10} | {'model / rotavel':>15} |")
    print(f"|{'-' * 30}|{'-' * 12}|{'-' * 12}|{'-' * 17}|")
    for key, label in (
        ("build", "(a) build the school"),
        ("run", "(b) generate_substitutions"),
        ("str", "(c) str(school)"),
    ):
        print(
            f"| {label:<28} | {fmt(r[key]):>10} | {fmt(m[key]):>10} | {m[key] / r[key]:>14.1f}x |"
        )
    if with_memory:
        mem = memory(plan)
        ratio = f"{mem['model'] / mem['rotavel']:>14.1f}x" if mem["rotavel"] > 0 else f"{'n/a':>15}"
        print(
            f"| {'memory for the school (RSS)':<28} | {fmt_bytes(mem['rotavel']):>10} | "
            f"{fmt_bytes(mem['model']):>10} | {ratio} |"
        )
    return r


# ---- instruction counts (callgrind) and bytes per record --------------------------------

FLOOR_DIR = HERE.parent / "build" / "bench"
STEP_LABELS = {
    "make_teachers": "Teacher() (+ reason)",
    "add_teachers": "add_teacher",
    "make_classes": "Class()",
    "register_periods": "register_period",
    "add_classes": "add_class",
}
# Functions of the run whose inclusive counts are shown under it, as callgrind names them.
RUN_PARTS = [
    ("school::School::generate_substitutions", "the run in C++ (goal <= 2.0 M at 1x)"),
    ("school::(anonymous namespace)::Run::Run(", "  snapshot of teachers, loads, busy periods"),
    ("school::PeriodSet::insert(", "  pairs added to substitutes"),
    ("school::SubstitutionReport::add_row(", "  CSV rows"),
    ("school::SubstitutionReport::finish", "  assembling the report"),
    ("rotavel::new_str(", "the report as a Python str"),
]


def compile_if_stale(target, inputs, command):
    """Compile into `target` with `command` (compiler, flags and inputs), unless it is newer than
    every input; callgrind's client requests are compiled in when its header is there."""
    if target.exists() and target.stat().st_mtime >= max(p.stat().st_mtime for p in inputs):
        return
    FLOOR_DIR.mkdir(parents=True, exist_ok=True)
    defines = ["-DHAVE_CALLGRIND"] if Path("/usr/include/valgrind/callgrind.h").exists() else []
    subprocess.run([*command, *defines, "-o", str(target)], check=True)


def build_floor():
    """Compile bench/floor.c (the empty-call floor) into build/bench; returns that directory."""
    source = HERE / "floor.c"
    compile_if_stale(
        FLOOR_DIR / f"bench_floor{sysconfig.get_config_var('EXT_SUFFIX')}",
        [source],
        [
            os.environ.get("CC", "cc"),
            "-O2",
            "-shared",
            "-fPIC",
            f"-I{sysconfig.get_paths()['include']}",
            str(source),
        ],
    )
    return FLOOR_DIR


SCHOOL_LIB = HERE.parent / "build" / "dev" / "libschool.a"


def build_driver():
    """Compile bench/driver.cpp against the model's static library of the development build
    (make install) into build/bench; returns the program, or None without that library."""
    if not SCHOOL_LIB.exists():
        return None
    target = FLOOR_DIR / "driver"
    source = HERE / "driver.cpp"
    compile_if_stale(
        target,
        [source, SCHOOL_LIB, *(HERE.parent / "src" / "school").glob("*.hpp")],
        [
            os.environ.get("CXX", "g++"),
            "-std=c++20",
            "-O3",
            "-DNDEBUG",
            f"-I{HERE.parent / 'src'}",
            str(source),
            str(SCHOOL_LIB),
        ],
    )
    return target


def driver_runs(plan, repeats, callgrind=False):
    """The driver's run times (seconds) over `repeats` fresh schools, its last report, and
    under callgrind the directory that holds the counts (the caller removes it)."""
    driver = build_driver()
    if driver is None:
        return None
    tmp = tempfile.mkdtemp()
    plan_file, report_file = Path(tmp) / "plan.txt", Path(tmp) / "report.txt"
    gen.write_plan(plan, plan_file)
    under = (
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={tmp}/callgrind.out.%p",
            "--dump-instr=no",
        ]
        if callgrind
        else []
    )
    done = subprocess.run(
        [*under, str(driver), str(plan_file), str(repeats), str(report_file)],
        check=True,
        capture_output=True,
        text=True,
    )
    runs = [ns / 1e9 for ns in json.loads(done.stdout.strip().splitlines()[-1])["run_ns"]]
    report = report_file.read_text(encoding="utf-8")
    if not callgrind:
        shutil.rmtree(tmp)
        tmp = None
    return runs, report, tmp


def driver_wall(plan, repeats, python_run, python_report):
    """The run's median from C++ beside its median from Python; the reports must agree."""
    got = driver_runs(plan, repeats)
    if got is None:
        print(f"\n(no {SCHOOL_LIB}: make install builds it; no run from C++)")
        return None
    runs, report, _ = got
    assert model.mask_timing(report) == python_report, "the C++ driver's report differs"
    median = statistics.median(runs)
    print(
        f"\nThe same run driven from C++ (bench/driver.cpp, same report): {fmt(median)}, median of "
        f"{repeats}; from Python {fmt(python_run)}, {python_run / median:.2f}x (goal <= 1.3x)"
    )
    return median


def driver_counts(plan):
    """Instructions of the driver's build and run under callgrind, or None."""
    got = driver_runs(plan, 1, callgrind=True)
    if got is None:
        return None
    _, _, tmp = got
    counts = {}
    try:
        for dump in Path(tmp).glob("callgrind.out.*"):
            text = dump.read_text(errors="replace")
            trigger = re.search(r"^desc: Trigger: Client Request: (\S+)", text, re.M)
            if trigger:
                counts[trigger[1]] = int(re.search(r"^(?:totals|summary): (\d+)", text, re.M)[1])
    finally:
        shutil.rmtree(tmp)
    return counts


def phases_child(impl, with_str, plan_file):
    """Under callgrind: build, run and print a school, dumping the counts after each step."""
    sys.path.insert(0, str(FLOOR_DIR))
    import bench_floor

    api = bench_floor if impl == "floor" else IMPLS[impl]
    with open(plan_file, "rb") as f:
        plan = pickle.load(f)
    gc.collect()
    gc.disable()
    b = gen.Build(api, plan)
    calls = {}
    bench_floor.callgrind_zero()
    for step in gen.Build.STEPS:
        calls[step] = getattr(b, step)()
        bench_floor.callgrind_dump(step)
    b.school.generate_substitutions()
    bench_floor.callgrind_dump("run")
    if impl != "floor" and with_str == "str":
        str(b.school)
        bench_floor.callgrind_dump("str")
    print(json.dumps(calls))


def callgrind_counts(impl, plan_file, out_dir, with_str):
    """Instructions per step of one build and run, and the run's parts by function."""
    prefix = Path(out_dir) / impl
    done = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={prefix}.%p",
            "--dump-instr=no",
            sys.executable,
            __file__,
            "--phases-child",
            impl,
            "str" if with_str else "-",
            plan_file,
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    calls = json.loads(done.stdout.strip().splitlines()[-1])
    steps, run_file = {}, None
    for dump in Path(out_dir).glob(f"{impl}.*"):
        text = dump.read_text(errors="replace")
        trigger = re.search(r"^desc: Trigger: Client Request: (\S+)", text, re.M)
        if not trigger:
            continue
        steps[trigger[1]] = int(re.search(r"^(?:totals|summary): (\d+)", text, re.M)[1])
        if trigger[1] == "run":
            run_file = dump
    parts = {}
    if run_file is not None and impl != "floor":
        listing = subprocess.run(
            ["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(run_file)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        for line in listing.splitlines():
            m = re.match(r"\s*([\d,]+) \([^)]*\)\s+\S*?:(.*)", line)
            if not m:
                continue
            for name, _ in RUN_PARTS:
                if m[2].startswith(name) and name not in parts:
                    parts[name] = int(m[1].replace(",", ""))
    return calls, steps, parts


def fmt_count(n):
    return f"{n / 1e6:.2f} M" if n >= 1e6 else f"{n:,.0f}"


def callgrind_report(plan, label, with_str=True):
    if shutil.which("valgrind") is None:
        print("\n(valgrind not found: no instruction counts)")
        return
    build_floor()
    print(f"\n## Instructions (callgrind), {label}: {plan.describe()}")
    with tempfile.TemporaryDirectory() as tmp:
        plan_file = str(Path(tmp) / "plan.pickle")
        with open(plan_file, "wb") as f:
            pickle.dump(plan, f)
        _, floor, _ = callgrind_counts("floor", plan_file, tmp, False)
        calls, got, parts = callgrind_counts("rotavel", plan_file, tmp, with_str)
    print(
        "Each step as the Python loops of bench/gen.py make it, interpreter included; the floor is the same"
        " loops calling bench/floor.c, whose functions do nothing.\n"
    )
    print(
        f"| {'step':<22} | {'calls':>7} | {'floor / call':>12} | {'rotavel / call':>14} | {'ratio':>6} |"
    )
    print(f"|{'-' * 24}|{'-' * 9}|{'-' * 14}|{'-' * 16}|{'-' * 8}|")
    for step in gen.Build.STEPS:
        n = calls[step]
        print(
            f"| {STEP_LABELS[step]:<22} | {n:>7,} | {floor[step] / n:>12,.0f} | {got[step] / n:>14,.0f} | "
            f"{got[step] / floor[step]:>5.2f}x |"
        )
    build_floor_total = sum(floor[s] for s in gen.Build.STEPS)
    build_total = sum(got[s] for s in gen.Build.STEPS)
    print(
        f"| {'whole build':<22} | {'':>7} | {fmt_count(build_floor_total):>12} | {fmt_count(build_total):>14} | "
        f"{build_total / build_floor_total:>5.2f}x |"
    )
    print(f"\n| {'run and text':<40} | {'instructions':>12} |")
    print(f"|{'-' * 42}|{'-' * 14}|")
    print(f"| {'generate_substitutions() from Python':<40} | {fmt_count(got['run']):>12} |")
    for name, text in RUN_PARTS:
        if name in parts:
            print(f"| {text:<40} | {fmt_count(parts[name]):>12} |")
    if "str" in got:
        print(f"| {'str(school)':<40} | {fmt_count(got['str']):>12} |")
    driven = driver_counts(plan)
    if driven is not None:
        print(
            f"\nThe same school built and run from C++ (bench/driver.cpp): build {fmt_count(driven['build'])}, "
            f"run {fmt_count(driven['run'])}; the run from Python costs {got['run'] / driven['run']:.2f}x "
            f"those instructions (goal <= 1.3x)"
        )


def bytes_child(plan_file):
    """In a fresh process: heap bytes the School holds once the Python objects are gone."""
    with open(plan_file, "rb") as f:
        plan = pickle.load(f)

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2

    def used():
        gc.collect()
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    before = used()
    school, teachers, classes = gen.build(rotavel, plan)
    del teachers, classes
    print(used() - before)
    del school


def school_bytes(plan):
    return int(in_child(plan, "--bytes-child"))


def bytes_report(teachers, classes, periods, seed, label):
    """Bytes per teacher from a school of teachers only; the rest of a full school per lesson."""
    plan = gen.generate(teachers, 20, classes, periods, 0.08, seed)
    full = school_bytes(plan)
    bare = school_bytes(gen.Plan(plan.teachers, plan.classes, [], plan.periods))
    per_teacher = bare / teachers
    per_lesson = (full - bare) / len(plan.lessons)
    print(
        f"\n## Heap held by the School once the Python objects are gone (malloc's count), {label}"
    )
    print(
        f"{fmt_bytes(full)} for {teachers} teachers and {len(plan.lessons)} lessons: {per_teacher:.0f} B per teacher "
        f"(the same school without lessons; floor about 48 B), {per_lesson:.0f} B per lesson (the rest; floor "
        f"about 16 B)"
    )


def sweep(title, sizes, repeats, seed):
    print(f"\n## {title}")
    print(
        "rotavel's generate_substitutions only: the model would take too long at these "
        f"sizes. Median of {repeats} runs, each on a freshly built school.\n"
    )
    print(
        f"| {'teachers':>8} | {'classes':>7} | {'lessons':>7} | {'median':>9} | {'x per doubling':>14} |"
    )
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
        print(
            f"| {teachers:>8} | {classes:>7} | {len(plan.lessons):>7} | {fmt(median):>9} | {growth:>14} |"
        )
        previous = median


def scaled_plan(args, scale=1):
    """The main school of the arguments, `scale` times larger in teachers and classes."""
    return gen.generate(
        args.teachers * scale,
        args.subjects,
        args.classes * scale,
        args.periods,
        args.absent,
        args.seed,
    )


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
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
    ap.add_argument("--no-callgrind", action="store_true", help="no instruction counts")
    ap.add_argument(
        "--callgrind-only",
        action="store_true",
        help="only the instruction counts and bytes per record, at 1x (and 16x with --scale 16)",
    )
    ap.add_argument(
        "--wall-only",
        action="store_true",
        help="only rotavel's build and run times, at 1x (and larger with --scale)",
    )
    ap.add_argument(
        "--scale",
        type=int,
        default=1,
        help="with --callgrind-only or --wall-only: also a school this many times larger",
    )
    ap.add_argument("--memory-child", nargs=2, metavar=("IMPL", "PLAN"), help=argparse.SUPPRESS)
    ap.add_argument(
        "--phases-child", nargs=3, metavar=("IMPL", "STR", "PLAN"), help=argparse.SUPPRESS
    )
    ap.add_argument("--bytes-child", metavar="PLAN", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        return memory_child(*args.memory_child)
    if args.phases_child:
        return phases_child(*args.phases_child)
    if args.bytes_child:
        return bytes_child(args.bytes_child)

    if args.quick:
        args.teachers, args.classes, args.repeats, args.sweep_repeats = 250, 100, 2, 3
        class_sizes, teacher_sizes = [250, 500], [625, 1250]
    else:
        class_sizes, teacher_sizes = [250, 500, 1000, 2000, 4000], [625, 1250, 2500, 5000, 10000]
    print(
        f"# rotavel benchmark: Python {platform.python_version()}, {os.cpu_count()} cores, "
        f"{platform.machine()}, seed {args.seed}"
    )
    if args.wall_only:
        print(
            f"\n| {'scale':>5} | {'lessons':>7} | {'build':>9} | {'run':>9} | {'run from C++':>12} | "
            f"{'Python / C++':>12} |"
        )
        print(f"|{'-' * 7}|{'-' * 9}|{'-' * 11}|{'-' * 11}|{'-' * 14}|{'-' * 14}|")
        for scale in sorted({1, args.scale}):
            plan = scaled_plan(args, scale)
            builds, runs = [], []
            for _ in range(args.repeats):
                seconds, (school, teachers, classes) = timed(
                    functools.partial(gen.build, rotavel, plan)
                )
                builds.append(seconds)
                runs.append(timed(school.generate_substitutions)[0])
                del school, teachers, classes
            run = statistics.median(runs)
            driven = driver_runs(plan, args.repeats)
            from_cpp = statistics.median(driven[0]) if driven else None
            print(
                f"| {scale:>4}x | {len(plan.lessons):>7} | {fmt(statistics.median(builds)):>9} | "
                f"{fmt(run):>9} | {fmt(from_cpp) if from_cpp else '-':>12} | "
                f"{f'{run / from_cpp:.2f}x' if from_cpp else '-':>12} |"
            )
        return
    if args.callgrind_only:
        for scale in sorted({1, args.scale}):
            # str() is slow under valgrind: counted at 1x only.
            callgrind_report(scaled_plan(args, scale), f"{scale}x", with_str=scale == 1)
            bytes_report(
                args.teachers * scale, args.classes * scale, args.periods, args.seed, f"{scale}x"
            )
        return
    str_repeats = max(1, min(3, args.repeats))
    main_plan = scaled_plan(args)
    r = compare(main_plan, args.repeats, str_repeats, not args.no_memory)
    driver_wall(main_plan, args.repeats, r["run"], r["report"])
    if not args.no_callgrind:
        callgrind_report(scaled_plan(args), "1x")
        bytes_report(args.teachers, args.classes, args.periods, args.seed, "1x")
    if not args.no_small:
        compare(
            gen.generate(100, min(args.subjects, 20), 40, 8, args.absent, args.seed),
            args.repeats,
            str_repeats,
            not args.no_memory,
        )
    if not args.no_sweeps:
        sweep(
            "Doubling classes (teachers = 2.5 x classes, 20 subjects, 10 periods, 8% absent)",
            [(5 * c // 2, c, 10) for c in class_sizes],
            args.sweep_repeats,
            args.seed,
        )
        sweep(
            "Doubling teachers (250 classes, 20 subjects, 10 periods, 8% absent)",
            [(t, 250, 10) for t in teacher_sizes],
            args.sweep_repeats,
            args.seed,
        )


if __name__ == "__main__":
    main()
