import gc
import sys

import pytest
from rotavel import Class, School, Teacher, register_period
from support.calls import HYPOTHESIS_PROFILE, Index, assert_no_leak, outcome

TYPES = (Teacher, School, Class)
T = Teacher("Asha", "maths", True)
S = School()
C = Class("9B")
S.add_teacher(T)


def failing(fn):
    def op():
        assert outcome(fn)[0] != "ok", "the call did not fail"

    return op


def raise_with_cause():
    raise TypeError("inner") from ValueError("root")


def many_teachers():
    teachers = [Teacher(str(i), "maths", True) for i in range(100_000)]
    del teachers


def teacher_calls():
    t = Teacher(name="Asha", sub="P.E", present=True)
    t.add_period(3, "10A")
    t.present = False
    t.reason_of_absentee = "Sick"
    return t.name, t.present, t.reason_of_absentee, t.get_sub(), str(t)


def school_calls():
    s, c = School(), Class("9B")
    for name, present in (("Ann", False), ("Bob", True), ("Cy", True)):
        t = Teacher(name, "maths", present)
        t.add_period(1, "x")
        s.add_teacher(t)
        s.add_teacher(t)
    s.add_to_hashmap("Dee", Teacher("Dee", "art", True))
    s.add_to_hashmap("Cy", Teacher("Cy", "art", True))
    register_period(Teacher("Ann", "maths", True), 3, s, c)
    register_period(Teacher("Dee", "maths", True), 4, s, c)
    s.add_class(c)
    s.add_class(c)
    return str(s), str(c), s.generate_substitutions(), s.generate_substitutions()


OPS = {
    "100k-teachers": many_teachers,
    "teacher": teacher_calls,
    "school-and-run": school_calls,
    "missing-arguments": failing(lambda: register_period(T, 1)),
    "multiple-values": failing(lambda: S.add_teacher(T, teacher=T)),
    "unexpected-keyword": failing(lambda: Class(name="a", size=1)),
    "lossy-keyword": failing(lambda: S.add_teacher(**{"\ud800": 1})),
    "wrong-argument-type": failing(lambda: register_period(S, 1, S, C)),
    "wrong-subject": failing(lambda: Teacher("Asha", "poetry", True)),
    "period-overflow": failing(lambda: T.add_period(70000, "x")),
    "not-an-index": failing(lambda: T.add_period("1", "x")),
    "cause-carried": failing(lambda: T.add_period(Index(raise_with_cause), "x")),
    "surrogates": failing(lambda: Class("\ud800")),
    "attribute-write": failing(lambda: setattr(T, "reason_of_absentee", 1)),
    "attribute-delete": failing(lambda: delattr(T, "present")),
    "access-conflict": failing(lambda: T.add_period(Index(T.get_sub), "x")),
    "copy-conflict": failing(lambda: T.add_period(Index(lambda: S.add_to_hashmap("k", T)), "x")),
    "internal-failure": failing(lambda: register_period(Teacher("Bea", "maths", True), 1, S, C)),
    "resumed-internal-failure": failing(
        lambda: T.add_period(
            Index(lambda: register_period(Teacher("Bea", "maths", True), 1, S, C)), "x"
        )
    ),
}


# `make test` calls each operation a quarter as often as `make test-properties` (the "ci" depth):
# a leak of a block a call still grows every round by far more than the noise.
REPS = 25 if HYPOTHESIS_PROFILE == "test" else 100


@pytest.mark.long
@pytest.mark.parametrize("name", OPS)
def test_no_leak(name):
    op = OPS[name]
    op()
    gc.collect()
    refcounts = [sys.getrefcount(tp) for tp in TYPES]
    assert_no_leak(op, reps=1 if name == "100k-teachers" else REPS)
    gc.collect()
    assert [sys.getrefcount(tp) for tp in TYPES] == refcounts
