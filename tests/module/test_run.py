import re

import pytest
from rotavel import Class, School, Teacher, register_period
from support.calls import compact_teacher as ct
from support.calls import grouping

HEADER = "Teacher,Period,Subject,Substitution,Classroom,Reason\n"
TIMING = re.compile(r'"Time taken to generate subs: (0|[1-9]\d*)(\.\d*[1-9])?(s|ms|\u00b5s|ns)"')


def run(school):
    """The report without its timing line, which is checked on its own."""
    text = school.generate_substitutions()
    body, sep, timing = text.rpartition("\n")
    assert sep and TIMING.fullmatch(timing), text
    return body


def row(absent, period, subject, substitute, cls="9B", reason="Planned Absense"):
    return f"{absent},{period},{subject},{substitute},{cls},{reason}"


def report(rows=(), unresolved=()):
    lines = "".join(
        f'Couldnt find a substitution for {name} at {period}-\\"{cls}\\"\\n'
        for name, period, cls in unresolved
    )
    return HEADER + "".join(r + "\n" for r in rows) + '\n"' + lines + '"'


def build(teachers, classes=()):
    """teachers: (name, subject, present, periods taken before add_teacher);
    classes: (class name, [(teacher name, period), ...]), registered, then added."""
    s = School()
    for name, sub, present, busy in teachers:
        t = Teacher(name, sub, present)
        for p in busy:
            t.add_period(p, "x")
        s.add_teacher(t)
    for cname, lessons in classes:
        c = Class(cname)
        for tname, p in lessons:
            register_period(Teacher(tname, "maths", True), p, s, c)
        s.add_class(c)
    return s


ANN = ("Ann", "maths", False, [])


@pytest.mark.parametrize(
    "teachers, lessons, rows, unresolved",
    [
        pytest.param(  # after add_class the order is Dan, Cat, Ann, Bob; the tie at 5 goes to Cat
            [
                ANN,
                ("Bob", "maths", True, [10, 11, 12, 13]),
                ("Cat", "maths", True, [10, 11]),
                ("Dan", "english", True, []),
            ],
            [("Ann", 3), ("Ann", 4), ("Ann", 5), ("Ann", 6)],
            [
                row("Ann", 3, "Maths", "Cat"),
                row("Ann", 4, "Maths", "Cat"),
                row("Ann", 5, "Maths", "Cat"),
                row("Ann", 6, "Maths", "Bob"),
            ],
            [],
            id="least-loaded",
        ),
        pytest.param(  # order Dan, Eve, Ann, Bob: Dan stays first however loaded
            [
                ANN,
                ("Bob", "maths", True, [3, 4, 5]),
                ("Eve", "english", True, [9]),
                ("Dan", "art", True, []),
            ],
            [("Ann", 3), ("Ann", 4), ("Ann", 5)],
            [
                row("Ann", 3, "Maths", "Dan"),
                row("Ann", 4, "Maths", "Dan"),
                row("Ann", 5, "Maths", "Dan"),
            ],
            [],
            id="any-subject",
        ),
        pytest.param(
            [ANN, ("Bob", "maths", True, [3]), ("Eve", "english", False, [])],
            [("Ann", 3)],
            [],
            [("Ann", 3, "9B")],
            id="nobody-free",
        ),
        pytest.param(
            [ANN, ("Bob", "maths", True, [5]), ("Dan", "art", True, [])],
            [("Ann", 3), ("Ann", 5)],
            [row("Ann", 3, "Maths", "Bob"), row("Ann", 5, "Maths", "Dan")],
            [],
            id="periods-3-and-5-fallback",
        ),
        pytest.param(  # periods outside 0..63 are as busy as any other
            [ANN, ("Bob", "maths", True, [64, 32767]), ("Cat", "maths", True, [-32768, 100, 101])],
            [("Ann", 64), ("Ann", -32768), ("Ann", 32767)],
            [
                row("Ann", 64, "Maths", "Cat"),
                row("Ann", -32768, "Maths", "Bob"),
                row("Ann", 32767, "Maths", "Cat"),
            ],
            [],
            id="outside-the-day",
        ),
        pytest.param(  # each lesson is handled once per class, whatever was covered in between
            [ANN, ("Bob", "maths", True, []), ("Cat", "maths", True, [])],
            [("Ann", 3), ("Ann", 5), ("Ann", 3)],
            [row("Ann", 3, "Maths", "Bob"), row("Ann", 5, "Maths", "Cat")],
            [],
            id="lesson-once",
        ),
        pytest.param(
            [ANN, ("Bea", "bio", False, []), ("Bob", "maths", True, []), ("Cy", "bio", True, [])],
            [("Bob", 3), ("Bea", 3), ("Ann", 4)],
            [row("Bea", 3, "Biology", "Cy"), row("Ann", 4, "Maths", "Bob")],
            [],
            id="two-absent-teachers",
        ),
    ],
)
def test_run(teachers, lessons, rows, unresolved):
    assert run(build(teachers, [("9B", lessons)])) == report(rows, unresolved)


@pytest.mark.parametrize(
    "make",
    [
        lambda: build([ANN, ("Bob", "maths", True, [])], [("9B", [])]),
        lambda: build(
            [("Bob", "maths", True, []), ("Cat", "art", True, [])],
            [("9B", [("Bob", 3), ("Cat", 4)])],
        ),
        lambda: build([("Ann", "maths", False, [3]), ("Bob", "maths", True, [])], [("9B", [])]),
    ],
    ids=["empty-class", "nobody-absent", "lesson-only-in-teacher"],
)
def test_empty_report_changes_nothing(make):
    s = make()
    before = str(s)
    assert run(s) == HEADER + '\n""'
    assert str(s) == before


def test_lessons_registered_after_add_class_are_not_covered():
    s = build([ANN, ("Bob", "maths", True, [])])
    c = Class("9B")
    s.add_class(c)
    register_period(Teacher("Ann", "maths", True), 3, s, c)
    assert run(s) == report()


def test_consecutive_runs_need_new_substitutes():
    s = build([ANN, ("Bob", "maths", True, []), ("Cat", "maths", True, [])], [("9B", [("Ann", 3)])])
    assert run(s) == report([row("Ann", 3, "Maths", "Bob")])
    assert run(s) == report([row("Ann", 3, "Maths", "Cat")])
    assert run(s) == report([], [("Ann", 3, "9B")])
    assert grouping(s) == (
        '{"Maths": [' + ct("Bob", '(3, "9B")') + ", " + ct("Cat", '(3, "9B")') + "]}"
    )


@pytest.mark.parametrize("period", [0, 63, 64, -5])
def test_class_added_twice_is_covered_per_record(period):
    # The run's own assignment makes Bob busy for the second record, in or out of the day.
    s = build([ANN, ("Bob", "maths", True, [])])
    c = Class("9B")
    register_period(Teacher("Ann", "maths", True), period, s, c)
    s.add_class(c)
    s.add_class(c)
    assert run(s) == report([row("Ann", period, "Maths", "Bob")], [("Ann", period, "9B")])


@pytest.mark.parametrize("first", [0, 40, 100], ids=["in-the-day", "across-its-end", "outside"])
@pytest.mark.parametrize("count", [17, 40])
def test_big_class_added_twice_is_covered_per_record(count, first):
    # The lessons a class remembers as handled are forgotten before the next class, also once
    # there are enough to be indexed: the second record finds Bob busy at every period.
    periods = range(first, first + count)
    s = build([ANN, ("Bob", "maths", True, [])])
    c = Class("9B")
    for p in periods:
        register_period(Teacher("Ann", "maths", True), p, s, c)
    s.add_class(c)
    s.add_class(c)
    assert run(s) == report(
        [row("Ann", p, "Maths", "Bob") for p in periods], [("Ann", p, "9B") for p in periods]
    )


def test_many_absent_lessons_in_one_class_are_each_handled_once():
    # Two absent teachers with twenty lessons each, every lesson registered twice: each is
    # covered once, by whichever of the two free teachers is less loaded at that moment.
    ann = [("Ann", p) for p in range(20)]
    eve = [("Eve", p) for p in range(20)]
    s = build(
        [ANN, ("Eve", "maths", False, []), ("Bob", "maths", True, []), ("Cat", "maths", True, [])],
        [("9B", ann + eve + ann + eve)],
    )
    # Ann's even periods go to Bob and odd ones to Cat; Eve then gets whichever is free.
    assert run(s) == report(
        [
            row(name, p, "Maths", "Bob" if (k + p) % 2 == 0 else "Cat")
            for k, name in enumerate(["Ann", "Eve"])
            for p in range(20)
        ]
    )


@pytest.mark.parametrize(
    "others, rows, unresolved",
    [
        ([("Bob", "maths", True)], [row("Ann", 3, "Hindi", "Bob")], []),
        ([], [], [("Ann", 3, "9B")]),
    ],
)
def test_subject_known_to_no_teacher_falls_back(others, rows, unresolved):
    s, c = School(), Class("9B")
    s.add_to_hashmap("Ann", Teacher("Ann", "hindi", False))
    for args in others:
        s.add_teacher(Teacher(*args))
    register_period(Teacher("Ann", "maths", True), 3, s, c)
    s.add_class(c)
    assert run(s) == report(rows, unresolved)


def test_csv_fields_with_special_characters_are_quoted():
    s, c = School(), Class("9,B")
    ann = Teacher('Ann "A"', "maths", False)
    ann.reason_of_absentee = "sick\rflu"
    for t in (ann, Teacher("Bo\nb", "maths", True), Teacher("Cy", "maths", True)):
        s.add_teacher(t)
    register_period(ann, 3, s, c)
    register_period(ann, 4, s, c)
    s.add_class(c)
    assert run(s) == report(
        [
            '"Ann ""A""",3,Maths,"Bo\nb","9,B","sick\rflu"',
            '"Ann ""A""",4,Maths,Cy,"9,B","sick\rflu"',
        ]
    )


@pytest.mark.parametrize(
    "name, cls, section",
    [
        ("Ann", 'a"b', r'"Couldnt find a substitution for Ann at 3-\"a\\\"b\"\n"'),
        ('A,"n\t', "9B", r'"Couldnt find a substitution for A,\"n\t at 3-\"9B\"\n"'),
    ],
)
def test_unresolved_lines_are_quoted_not_csv_escaped(name, cls, section):
    s = build([(name, "maths", False, [])], [(cls, [(name, 3)])])
    assert run(s) == HEADER + "\n" + section


def test_reason_column_uses_the_schools_copy():
    s, c = School(), Class("9B")
    ann = Teacher("Ann", "maths", False)
    ann.reason_of_absentee = "Sick"
    s.add_teacher(ann)
    s.add_teacher(Teacher("Bob", "maths", True))
    ann.reason_of_absentee = "Later"
    register_period(ann, 3, s, c)
    s.add_class(c)
    assert run(s) == report([row("Ann", 3, "Maths", "Bob", reason="Sick")])
