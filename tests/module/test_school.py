import gc
import re

import pytest
from rotavel import Class, School, Teacher, register_period
from support.calls import PANIC_NOT_FOUND, grouping, outcome
from support.calls import compact_teacher as ct

ONE_TEACHER_SCHOOL = """\
List of teachers: [
    Mutex {
        data: Teacher {
            name: "Asha",
            periods: {
                (
                    3,
                    "9B",
                ),
            },
            sub: Maths,
            present: true,
            reason_of_absentee: "Planned Absense",
        },
    },
]
List of classes:[
    Mutex {
        data: Class {
            class_name: "8A",
            list_of_periods: [],
        },
    },
]
Teacher_hashtable {"Maths": [Mutex { data: Teacher { name: "Asha", periods: {(3, "9B")}, \
sub: Maths, present: true, reason_of_absentee: "Planned Absense" } }]}"""

CLASS_ENTRY = """\
    (
        Mutex {
            data: Teacher {
                name: "Asha",
                periods: {
                    (
                        3,
                        "9B",
                    ),
                },
                sub: Maths,
                present: true,
                reason_of_absentee: "Planned Absense",
            },
        },
        3,
    ),
"""


def names(school):
    return re.findall(r'name: "([^"]*)"', grouping(school))


def setup(name="Asha", sub="maths", present=True):
    t, s, c = Teacher(name, sub, present), School(), Class("9B")
    s.add_teacher(t)
    return t, s, c


def test_school_text_shows_pairs_registered_through_the_map():
    t, s, c = setup()
    register_period(t, 3, s, c)
    s.add_class(Class("8A"))
    assert str(s) == ONE_TEACHER_SCHOOL
    assert str(s) == ONE_TEACHER_SCHOOL  # rendering changes nothing
    assert "periods: [] " in str(t)  # the Python object is not the School's copy


def test_a_namesake_registers_into_the_filed_record():
    # Another Teacher object with the same name (its own copy of the text) finds the record
    # filed under that name, whatever its own fields say.
    _, s, c = setup()
    register_period(Teacher("Asha", "art", False), 3, s, c)
    s.add_class(Class("8A"))
    assert str(s) == ONE_TEACHER_SCHOOL


def test_class_text_shows_the_schools_copy_twice_per_registration():
    t, s, c = setup()
    register_period(t, 3, s, c)
    t.present = False
    t.add_period(1, "x")
    assert str(c) == '"9B" [\n' + CLASS_ENTRY * 2 + "]"


def test_class_names_are_quoted():
    name, text = "9\nB\u00a0", '"9\\nB\\u{a0}" []'
    assert str(Class(name)) == text
    assert str(Class(name=name)) == text


def test_python_changes_do_not_reach_the_school():
    t, s, _ = setup()
    t.present = False
    t.reason_of_absentee = "Sick"
    t.add_period(1, "x")
    assert grouping(s) == '{"Maths": [' + ct("Asha") + "]}"


def test_absent_teachers_leave_an_empty_subject_list():
    _, s, _ = setup(present=False)
    assert grouping(s) == '{"Maths": []}'


def test_duplicate_names_are_ignored_and_case_matters():
    t, s, _ = setup()
    assert s.add_teacher(t) is None
    s.add_teacher(Teacher("Asha", "bio", True))
    s.add_teacher(Teacher("asha", "bio", False))
    s.add_teacher(Teacher("ASHA", "bio", True))
    assert grouping(s) == (
        '{"Maths": [' + ct("Asha") + '], "Biology": [' + ct("ASHA", sub="Biology") + "]}"
    )


def test_add_to_hashmap_under_another_key():
    t, s, c = Teacher("Asha", "maths", True), School(), Class("9B")
    s.add_to_hashmap("Bob", t)
    s.add_teacher(Teacher("Bob", "art", True))  # the key is taken: ignored
    assert grouping(s) == "{}"
    assert outcome(register_period, t, 1, s, c)[1] == PANIC_NOT_FOUND
    register_period(Teacher("Bob", "history", False), 2, s, c)
    text = str(c)
    assert text.count('name: "Asha"') == 2 and "Bob" not in text
    assert text.count("        2,\n") == 4  # the pair (2, "9B") and the entry's period, twice


def test_add_to_hashmap_replaces_the_map_entry_only():
    t, s, c = setup()
    replacement = Teacher("Asha", "bio", False)
    s.add_to_hashmap("Asha", replacement)
    replacement.present = True  # copied at the call: not seen
    register_period(t, 3, s, c)
    assert grouping(s) == '{"Maths": [' + ct("Asha") + "]}"
    assert (
        str(c)
        == '"9B" [\n' + (CLASS_ENTRY.replace("Maths", "Biology").replace("true", "false")) * 2 + "]"
    )


def test_add_class_sorts_teachers_by_load_stably_every_time():
    s = School()
    for name, load in [("A", 3), ("B", 1), ("C", 2), ("D", 1)]:
        t = Teacher(name, "maths", True)
        for p in range(load):
            t.add_period(p, "x")
        s.add_teacher(t)
    assert names(s) == ["A", "B", "C", "D"]
    s.add_class(Class("x"))
    assert names(s) == ["B", "D", "C", "A"]
    other = Class("y")  # never added: only the shared record gains pairs
    for p in (10, 11, 12):
        register_period(Teacher("B", "maths", True), p, s, other)
    str(s)
    assert names(s) == ["B", "D", "C", "A"]
    s.add_class(Class("x"))
    assert names(s) == ["D", "C", "A", "B"]


def test_replacing_a_listed_teacher_twice_leaves_the_others_in_the_sort():
    # A replaced teacher stays in the list but no longer owns its name, so its place must be
    # forgotten by the map: replaced again after a sort, it must not take the teacher that
    # now stands where it stood out of later sorts.
    s, c = School(), Class("9B")
    teacher = {name: Teacher(name, "maths", True) for name in "ABC"}
    for t in teacher.values():
        s.add_teacher(t)
    register_period(teacher["A"], 1, s, c)
    s.add_to_hashmap("A", Teacher("A", "maths", True))
    s.add_class(Class("x"))
    assert names(s) == ["B", "C", "A"]  # B now stands where A stood
    s.add_to_hashmap("A", Teacher("A", "maths", True))
    for p in (1, 2):
        register_period(teacher["B"], p, s, c)
    s.add_class(Class("x"))
    assert names(s) == ["C", "A", "B"]  # loads 0, 1, 2
    for p in (3, 4, 5, 6):
        register_period(teacher["B"], p, s, c)
    for p in (1, 2, 3):
        register_period(teacher["C"], p, s, c)
    s.add_class(Class("x"))
    assert names(s) == ["A", "C", "B"]  # loads 1, 3, 6


def test_class_copy_is_taken_at_add_class_but_shares_teacher_records():
    t, s, c = setup()
    register_period(t, 1, s, c)
    s.add_class(c)
    register_period(t, 2, s, c)
    classes = str(s).split("\nList of classes:")[1].split("\nTeacher_hashtable")[0]
    assert classes.count("data: Teacher {") == 2  # Python's Class now has four
    # The class name, then both pairs of the shared record in each of the two entries.
    assert classes.count('"9B",\n') == 5
    assert str(c).count("data: Teacher {") == 4


def test_registration_is_a_set_of_pairs_with_two_entries_per_call():
    t, s, c = setup()
    other = Class("8A")
    register_period(t, 3, s, c)
    register_period(teacher=t, period=3, school=s, **{"class": c})
    register_period(t, 3, s, other)
    register_period(t, 32767, s, other)
    assert grouping(s) == '{"Maths": [' + ct("Asha", '(3, "9B"), (3, "8A"), (32767, "8A")') + "]}"
    assert (str(c).count("data: Teacher {"), str(other).count("data: Teacher {")) == (4, 4)


def test_registration_stays_a_set_past_many_lessons():
    t, s, c = setup()
    periods = [*range(10), 64, -1]
    for p in periods + periods:
        register_period(t, p, s, c)
    assert (
        grouping(s) == '{"Maths": [' + ct("Asha", ", ".join(f'({p}, "9B")' for p in periods)) + "]}"
    )
    assert str(c).count("data: Teacher {") == 4 * len(periods)


def test_records_outlive_their_school():
    t, s, c = setup()
    register_period(t, 3, s, c)
    text = str(c)
    del s
    gc.collect()
    assert str(c) == text == '"9B" [\n' + CLASS_ENTRY * 2 + "]"


@pytest.mark.parametrize(
    "call, expected",
    [
        (
            lambda t, s, c: register_period(Teacher("asha", "maths", True), 1, s, c),
            ("PanicException", PANIC_NOT_FOUND),
        ),
        (
            lambda t, s, c: register_period(t, 1, s, t),
            ("TypeError", "argument 'class': 'Teacher' object cannot be converted to 'Class'"),
        ),
    ],
)
def test_failed_registration_changes_nothing(call, expected):
    t, s, c = setup()
    register_period(t, 5, s, c)
    s.add_class(c)
    before = (str(t), str(s), str(c))
    kind, message = outcome(call, t, s, c)
    assert (kind.__name__, message) == expected
    assert (str(t), str(s), str(c)) == before
