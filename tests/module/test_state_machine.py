"""Random call sequences driven through rotavel and the plain-Python model at once.

Every call goes to both sides; results, exception types and messages, and the
str() of every object made so far must agree after each step.  The model does
not convert arguments, so the conversions the module makes before an operation
runs (text, exact bool, 16-bit period) are replayed here in the module's order.
Calls with bad arguments go to rotavel alone and must leave it unchanged.
"""

import operator
from functools import partial

import rotavel
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    Bundle,
    RuleBasedStateMachine,
    initialize,
    invariant,
    multiple,
    precondition,
    rule,
)
from support import model
from support.calls import HYPOTHESIS_PROFILE, outcome

PANIC = "pyo3_runtime.PanicException"
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"

NAMES = [
    "Ann",
    "ann",
    "Bob",
    "Cy",
    "",
    "a\x00b",
    "Zoë",
    'O"Neil',
    "Lee, Jo",
    "Kim\nPark",
    "e\u0301",
    "x\ud800",
]
SUBJECTS = [
    "maths",
    "MATHS",
    "Bio",
    "p.E",
    "english",
    "finfance",
    "SANS\u212aRIT",
    "poetry",
    "Geo",
    "finance",
    " maths",
    "",
    "ΣΑΣ",
    "\u0130",
]
REASONS = ["Sick", "a,b", 'said "no"', "", "µ\u2028", "\udc80"]
PERIODS = st.one_of(
    st.integers(-2, 4),
    st.sampled_from(
        [True, False, -32768, 32767, 32768, -32769, 70000, 2**63 - 1, -(2**63) - 1, 2**70]
    ),
)


def panic_named(result):
    """The outcome with either side's PanicException shown by the module's full name."""
    kind, value = result
    if kind is model.PanicException or (
        kind != "ok" and f"{kind.__module__}.{kind.__qualname__}" == PANIC
    ):
        return PANIC, value
    return result


def text(arg, value):
    if not isinstance(value, str):
        raise TypeError(
            f"argument '{arg}': '{type(value).__qualname__}' object cannot be "
            "converted to 'PyString'"
        )
    value.encode()  # lone surrogates: the interpreter's UnicodeEncodeError
    return value


def flag(arg, value):
    if type(value) is not bool:
        raise TypeError(
            f"argument '{arg}': '{type(value).__qualname__}' object cannot be converted to 'PyBool'"
        )
    return value


def period(value):
    p = operator.index(value)
    if not -(2**63) <= p < 2**63:
        raise OverflowError(TOO_LARGE)
    if not -32768 <= p <= 32767:
        raise OverflowError(OUT_OF_RANGE)
    return p


class Pair:
    def __init__(self, r, m):
        self.r, self.m = r, m


# Calls with bad arguments, on rotavel objects t, s, c: (call, exception type, message).
BAD_CALLS = [
    (
        lambda t, s, c: s.add_class(c, **{"class": c}),
        TypeError,
        "School.add_class() got multiple values for argument 'class'",
    ),
    (
        lambda t, s, c: s.add_to_hashmap(t, "k"),
        TypeError,
        "argument 'name': 'Teacher' object cannot be converted to 'PyString'",
    ),
    (
        lambda t, s, c: t.add_period(1, "g", Period=2),
        TypeError,
        "Teacher.add_period() got an unexpected keyword argument 'Period'",
    ),
    (
        lambda t, s, c: rotavel.School.add_class(c, c),
        TypeError,
        "descriptor 'add_class' for 'builtins.School' objects doesn't apply to a 'builtins.Class' object",
    ),
]


class Differential(RuleBasedStateMachine):
    teachers = Bundle("teachers")
    classes = Bundle("classes")
    schools = Bundle("schools")

    def __init__(self):
        super().__init__()
        self.objects = []
        self.steps = 0
        self.big_class_added = False
        self.lessons_given = 0

    def keep(self, r, m):
        self.objects.append(Pair(r, m))
        return self.objects[-1]

    def same(self, r_call, m_call):
        """Run one call on each side and require the same outcome; return both."""
        r, m = panic_named(outcome(r_call)), panic_named(outcome(m_call))
        if r[0] == m[0] == "ok" and isinstance(r[1], str):  # a report
            assert model.mask_timing(r[1]) == model.mask_timing(m[1])
        elif r[0] == m[0] == "ok":
            assert (r[1] is None) == (m[1] is None)
        else:
            assert r == m
        return r, m

    @initialize(target=schools)
    def first_school(self):
        return self.keep(rotavel.School(), model.School())

    @initialize(target=teachers)
    def first_teacher(self):
        return self.keep(
            rotavel.Teacher("Ann", "maths", False), model.Teacher("Ann", "maths", False)
        )

    @initialize(target=classes)
    def first_class(self):
        return self.keep(rotavel.Class("9B"), model.Class("9B"))

    @rule(target=schools)
    def new_school(self):
        return self.keep(rotavel.School(), model.School())

    @rule(
        target=teachers,
        name=st.sampled_from(NAMES),
        sub=st.sampled_from(SUBJECTS),
        present=st.sampled_from([True, False, True, 1]),
        by_keyword=st.booleans(),
    )
    def new_teacher(self, name, sub, present, by_keyword):
        def r_call():
            if by_keyword:
                return rotavel.Teacher(present=present, sub=sub, name=name)
            return rotavel.Teacher(name, sub, present)

        def m_call():
            return model.Teacher(text("name", name), text("sub", sub), flag("present", present))

        r, m = self.same(r_call, m_call)
        return self.keep(r[1], m[1]) if r[0] == "ok" else multiple()

    @rule(target=classes, name=st.sampled_from(NAMES + ["9B", "9B", 'x"y']))
    def new_class(self, name):
        r, m = self.same(lambda: rotavel.Class(name=name), lambda: model.Class(text("name", name)))
        return self.keep(r[1], m[1]) if r[0] == "ok" else multiple()

    @rule(t=teachers, value=st.sampled_from([True, False, 1, None]))
    def set_present(self, t, value):
        self.same(lambda: setattr(t.r, "present", value), lambda: setattr(t.m, "present", value))

    @rule(t=teachers, value=st.sampled_from(REASONS))
    def set_reason(self, t, value):
        self.same(
            lambda: setattr(t.r, "reason_of_absentee", value),
            lambda: (value.encode(), setattr(t.m, "reason_of_absentee", value))[1],
        )

    @rule(t=teachers)
    def read_teacher(self, t):
        assert [t.r.name, t.r.present, t.r.reason_of_absentee, t.r.get_sub()] == [
            t.m.name,
            t.m.present,
            t.m.reason_of_absentee,
            t.m.get_sub(),
        ]

    @rule(
        t=teachers,
        p=PERIODS,
        grade=st.sampled_from(["9B", "10A", "", "9B ", "\ud800"]),
        by_keyword=st.booleans(),
    )
    def add_period(self, t, p, grade, by_keyword):
        r_call = (
            (lambda: t.r.add_period(grade=grade, period=p))
            if by_keyword
            else (lambda: t.r.add_period(p, grade))
        )
        self.same(r_call, lambda: t.m.add_period(period(p), text("grade", grade)))

    @rule(s=schools, t=teachers)
    def add_teacher(self, s, t):
        self.same(lambda: s.r.add_teacher(teacher=t.r), lambda: s.m.add_teacher(t.m))

    @rule(s=schools, c=classes, twice=st.booleans())
    def add_class(self, s, c, twice):
        for _ in range(1 + twice):
            self.same(lambda: s.r.add_class(**{"class": c.r}), lambda: s.m.add_class(c.m))

    @rule(s=schools, name=st.sampled_from(NAMES), t=teachers)
    def add_to_hashmap(self, s, name, t):
        self.same(
            lambda: s.r.add_to_hashmap(name, t.r),
            lambda: s.m.add_to_hashmap(text("name", name), t.m),
        )

    @rule(t=teachers, p=PERIODS, s=schools, c=classes, by_keyword=st.booleans())
    def register_period(self, t, p, s, c, by_keyword):
        def r_call():
            if by_keyword:
                return rotavel.register_period(school=s.r, period=p, teacher=t.r, **{"class": c.r})
            return rotavel.register_period(t.r, p, s.r, c.r)

        self.same(r_call, lambda: model.register_period(t.m, period(p), s.m, c.m))

    # One big class a sequence, in its second half: more add nothing new, and a School that
    # holds one takes most of the time the texts of each step take.
    @precondition(lambda self: not self.big_class_added and self.steps >= 30)
    @rule(
        s=schools,
        shape=st.sampled_from([(17, 1), (9, 2), (6, 3), (4, 5)]),
        sub=st.sampled_from(["maths", "bio"]),
        first=st.sampled_from([-3, 0, 61, 100]),
    )
    def big_class(self, s, shape, sub, first):
        """A class of 17 or more absent lessons (absent teachers x periods), added twice, and
        a run: past 16, a run indexes the lessons of a class it handled, and must forget them
        before the next. The class and its teachers are seen through the School only."""
        teachers, periods = shape
        r_class, m_class = rotavel.Class("big"), model.Class("big")
        for i in range(teachers):
            r_t, m_t = rotavel.Teacher(f"T{i}", sub, False), model.Teacher(f"T{i}", sub, False)
            self.same(partial(s.r.add_teacher, r_t), partial(s.m.add_teacher, m_t))
            for p in range(first, first + periods):
                self.same(
                    partial(rotavel.register_period, r_t, p, s.r, r_class),
                    partial(model.register_period, m_t, p, s.m, m_class),
                )
        for _ in range(2):
            self.same(partial(s.r.add_class, r_class), partial(s.m.add_class, m_class))
        self.same(s.r.generate_substitutions, s.m.generate_substitutions)
        self.big_class_added = True

    @rule(
        s=schools,
        t=teachers,
        pick=st.integers(0, 7),
        steps=st.lists(
            st.tuples(st.booleans(), st.integers(0, 7), st.integers(0, 7)), min_size=1, max_size=5
        ),
    )
    def sort_around_replacements(self, s, t, pick, steps):
        """A listed teacher's name refiled with add_to_hashmap, again and again, with sorts
        by load between: the replaced teacher stays listed but no longer owns its name, and
        the sorts move others into places it held, which must not stick to its name. Before
        each sort a teacher that owns its name gains lessons until it passes another."""
        for n in range(len(s.m.teachers), 4):  # enough listed teachers to move around
            r_staff, m_staff = (
                rotavel.Teacher(f"S{n}", "art", True),
                model.Teacher(f"S{n}", "art", True),
            )
            self.same(partial(s.r.add_teacher, r_staff), partial(s.m.add_teacher, m_staff))
        listed = s.m.teachers
        name = listed[pick % len(listed)].name
        for replace, mover, passed in [(True, 0, 0), *steps]:
            if replace:
                self.same(
                    partial(s.r.add_to_hashmap, name, t.r), partial(s.m.add_to_hashmap, name, t.m)
                )
            owners = [x for x in listed if s.m.teacher_map.get(x.name) is x]
            if owners:
                gaining = owners[mover % len(owners)]
                lessons = max(0, listed[passed % len(listed)].load() + 1 - gaining.load())
                r_namesake = rotavel.Teacher(gaining.name, "art", True)
                m_namesake = model.Teacher(gaining.name, "art", True)
                for _ in range(lessons):
                    self.lessons_given += 1  # a new period each time, so the load grows
                    p = 1000 + self.lessons_given
                    self.same(
                        partial(rotavel.register_period, r_namesake, p, s.r, rotavel.Class("L")),
                        partial(model.register_period, m_namesake, p, s.m, model.Class("L")),
                    )
            self.same(
                lambda: s.r.add_class(rotavel.Class("x")), lambda: s.m.add_class(model.Class("x"))
            )

    @rule(s=schools, twice=st.booleans())
    def generate_substitutions(self, s, twice):
        for _ in range(1 + twice):
            self.same(s.r.generate_substitutions, s.m.generate_substitutions)

    @rule(t=teachers, s=schools, c=classes, bad=st.integers(0, len(BAD_CALLS) - 1))
    def bad_arguments(self, t, s, c, bad):
        call, kind, message = BAD_CALLS[bad]
        before = str(t.r), str(s.r), str(c.r)
        assert outcome(call, t.r, s.r, c.r) == (kind, message)
        assert (str(t.r), str(s.r), str(c.r)) == before

    @invariant()
    def same_texts(self):
        self.steps += 1
        with model.record_texts_reused():
            for pair in self.objects:
                assert outcome(str, pair.r) == outcome(str, pair.m)

    def teardown(self):
        low = self.steps // 20 * 20
        event(f"steps {low}-{low + 19}")


# The quick run of `make test` tries a sixth of the sequences `make check` tries; "dev" searches
# longer sequences, unrepeatably.
EXAMPLES, STEPS = {"test": (100, 60), "ci": (600, 60), "dev": (3000, 100)}[HYPOTHESIS_PROFILE]
Differential.TestCase.settings = settings(
    derandomize=HYPOTHESIS_PROFILE != "dev",
    database=None,
    max_examples=EXAMPLES,
    stateful_step_count=STEPS,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)

TestDifferential = Differential.TestCase
