"""A full day under valgrind: the sample school through the command, then every entry point's
success and failure paths, so memcheck sees all of the module's allocation and release code."""

import contextlib
import io

import rotavel

from rotavel_app.__main__ import main

with contextlib.redirect_stdout(io.StringIO()):
    for fmt in ("report", "table", "html"):
        main(["--format", fmt])

school = rotavel.School()
teachers = [rotavel.Teacher(f"T{i}", ("maths", "bio", "p.e")[i % 3], i % 4 != 0) for i in range(30)]
for t in teachers:
    t.add_period(9, "x" * 40)
    school.add_teacher(t)
school.add_to_hashmap("other", teachers[1])
for c in range(6):
    klass = rotavel.Class(f"C{c}")
    for p in range(8):
        rotavel.register_period(teachers[(c * 5 + p) % 30], p, school, klass)
    school.add_class(klass)
    str(klass)
for _ in range(2):
    school.generate_substitutions()
str(school)

failures = [
    lambda: rotavel.Teacher("A", "poetry", True),
    lambda: rotavel.Teacher("A", "maths", 1),
    lambda: rotavel.Teacher(name="A", sub="maths", present=True, extra=1),
    lambda: teachers[0].add_period(70000, "x"),
    lambda: teachers[0].add_period("1", "x"),
    lambda: rotavel.register_period(
        rotavel.Teacher("nobody", "maths", True), 1, school, rotavel.Class("z")
    ),
    lambda: school.add_teacher(),
    lambda: rotavel.Class("\ud800"),
]
for failure in failures:
    try:
        failure()
    except BaseException:
        pass
