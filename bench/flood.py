"""Hash flooding: no family of names makes the name lookups collide.

Files 3,125 to 200,000 names (distinct, sharing a long prefix, sharing a long suffix) through
add_teacher, register_period, add_to_hashmap and add_period, and checks that each 4x step in
names slows the work at most 3x more than it slows a CPython dict given the same names.
Timed, so it lives here and runs in `make check`, not in the test suite. Exits 1 on failure.
"""

import itertools
import sys
import time

from rotavel import Class, School, Teacher, register_period


def dict_yardstick(names):
    d = {}
    start = time.perf_counter()
    for name in names:
        d.setdefault(name, name)
    for name in names:
        d[name]
    return time.perf_counter() - start


def assert_linear(prepare, family, sizes=(3_125, 12_500, 50_000, 200_000)):
    """Each 4x step in names may slow the work at most 3x more than it slows a dict.

    Both are timed in turns, best of several repeats; a step that fails is measured
    once more. Small sizes come first, so a quadratic case fails before it gets slow.
    """

    def measure(n):
        names = [family(i) for i in range(n)]
        run = prepare(names)
        pairs = [(run(), dict_yardstick(names)) for _ in range(max(3, 50_000 // n + 1))]
        return min(p[0] for p in pairs), min(p[1] for p in pairs)

    small = measure(sizes[0])
    for n_small, n in itertools.pairwise(sizes):
        large = measure(n)
        if large[0] / small[0] >= 3 * large[1] / small[1]:
            small, large = measure(n_small), measure(n)
            mine, dicts = large[0] / small[0], large[1] / small[1]
            assert mine < 3 * dicts, (
                f"{n_small} -> {n} names: {mine:.1f}x the time, a dict {dicts:.1f}x"
            )
        print(
            f"  {n_small:>7} -> {n:>7} names: {large[0] / small[0]:5.1f}x the time, a dict {large[1] / small[1]:5.1f}x"
        )
        small = large


NAME_FAMILIES = {
    "distinct": lambda i: f"T{i}",
    "shared prefix": lambda i: "teacher-" * 8 + f"{i:07d}",
    "shared suffix": lambda i: f"{i:07d}" + "-teacher" * 8,
}


def many_names_stay_linear(family):
    def prepare(names):
        teachers = [Teacher(name, "maths", True) for name in names]

        def run():
            s, c, t = School(), Class("9B"), Teacher("Ann", "maths", True)
            start = time.perf_counter()
            for teacher in teachers:
                s.add_teacher(teacher)
            for teacher in teachers:
                register_period(teacher, 1, s, c)
            for name in names:
                s.add_to_hashmap(name, t)
            for name in names:
                t.add_period(1, name)
            return time.perf_counter() - start

        return run

    assert_linear(prepare, family)


if __name__ == "__main__":
    failed = False
    for label, family in NAME_FAMILIES.items():
        print(f"{label}:")
        try:
            many_names_stay_linear(family)
        except AssertionError as e:
            print(f"  FAILED: {e}")
            failed = True
    sys.exit(1 if failed else 0)
