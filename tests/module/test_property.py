"""Random schools driven through rotavel and through the plain-Python model.

Both sides must give the same substitution reports (timing masked), the same
internal failures, and the same str() of every School, Teacher and Class.
"""

import pytest
import rotavel
from hypothesis import given
from hypothesis import strategies as st
from support import model
from support.calls import outcome

NAMES = [
    "Ann",
    "Bob",
    "Cara",
    "Dev",
    "ann",
    "Ann ",
    "O'Neil",
    "Lee, Jo",
    'Sam "Sly"',
    "Kim\nPark",
    "Zoë",
    "e\u0301",
    "\t\u00a0",
    "",
]
KEYWORDS = ["maths", "MATHS", "Bio", "biology", "p.e", "english", "finfance", "Physics"]
REASONS = ["Sick", "flu, cold", 'said "no"', "train\r\nstrike", "", "µ\u2028x"]
CLASS_NAMES = ["9B", "10A", 'x"y', "c,d", "back\\slash", "", "9B"]
PERIODS = st.one_of(st.integers(-2, 4), st.sampled_from([-32768, 0, 32767]))


@st.composite
def schools(draw):
    """A plan: teachers, class names and a list of calls, as plain data."""
    crowded = draw(st.booleans())  # one or two subjects and three periods: ties and busy teachers
    keywords = draw(
        st.lists(st.sampled_from(KEYWORDS), min_size=1, max_size=2 if crowded else 4, unique=True)
    )
    periods = st.integers(0, 2) if crowded else PERIODS
    teacher = st.tuples(
        st.sampled_from(NAMES),
        st.sampled_from(keywords),
        st.booleans() if not crowded else st.sampled_from([True, True, True, False]),
        st.none() | st.sampled_from(REASONS),
        st.lists(st.tuples(periods, st.sampled_from(CLASS_NAMES)), max_size=2),
    )
    teachers = draw(st.lists(teacher, min_size=5 if crowded else 3, max_size=12 if crowded else 8))
    classes = draw(st.lists(st.sampled_from(CLASS_NAMES), min_size=1, max_size=4))
    ti = st.integers(0, len(teachers) - 1)
    ci = st.integers(0, len(classes) - 1)
    setup = [("add_teacher", i) for i in draw(st.permutations(range(len(teachers))))]
    setup = setup[: draw(st.integers(len(setup) // 2, len(setup)))]
    register = st.tuples(st.just("register"), ti, periods, ci)
    other = st.one_of(
        st.tuples(st.just("add_class"), ci),
        st.tuples(st.just("add_teacher"), ti),
        st.tuples(st.just("add_to_hashmap"), st.sampled_from(NAMES), ti),
        st.tuples(st.just("set_present"), ti, st.booleans()),
    )
    lessons = st.builds(
        lambda r, o: r + o,
        st.lists(register, min_size=6, max_size=30),
        st.lists(other, max_size=10),
    ).flatmap(st.permutations)
    calls = setup + draw(lessons)
    calls += [("add_class", i) for i in draw(st.permutations(range(len(classes))))]
    calls += [("add_class", i) for i in draw(st.lists(ci, max_size=2))]
    calls.append(("run",))
    if draw(st.booleans()):
        calls += draw(lessons) + [("run",)]
    return teachers, classes, calls


def drive(api, plan):
    """Replay a plan against one implementation and return what it showed."""
    teacher_rows, class_names, calls = plan
    teachers = []
    for name, keyword, present, reason, pairs in teacher_rows:
        t = api.Teacher(name, keyword, present)
        if reason is not None:
            t.reason_of_absentee = reason
        for period, grade in pairs:
            t.add_period(period, grade)
        teachers.append(t)
    classes = [api.Class(name) for name in class_names]
    school = api.School()
    seen = []
    for call in calls:
        kind, args = call[0], call[1:]
        if kind == "register":
            raised, value = outcome(
                api.register_period, teachers[args[0]], args[1], school, classes[args[2]]
            )
            if raised != "ok":  # the module's PanicException is not exported: compare by name
                seen.append((raised.__name__, value))
        elif kind == "add_teacher":
            school.add_teacher(teachers[args[0]])
        elif kind == "add_class":
            school.add_class(classes[args[0]])
        elif kind == "add_to_hashmap":
            school.add_to_hashmap(args[0], teachers[args[1]])
        elif kind == "set_present":
            teachers[args[0]].present = args[1]
        else:
            seen.append(model.mask_timing(school.generate_substitutions()))
    seen.append(str(school))
    seen += [str(t) for t in teachers] + [str(c) for c in classes]
    return seen


@given(schools())
def test_module_matches_model(plan):
    assert drive(rotavel, plan) == drive(model, plan)


@pytest.mark.parametrize(
    "ops",
    [  # a shape hypothesis may reach only rarely
        # two absent records with one name in one class: the lesson is handled once
        [
            ("add_teacher", 0),
            ("add_teacher", 2),
            ("add_to_hashmap", "Bob", 3),
            ("register", 2, 1, 0),
            ("register", 1, 1, 0),
            ("add_class", 0),
            ("run",),
        ],
    ],
)
def test_module_matches_model_on_shapes(ops):
    plan = (
        [
            ("Ann", "english", True, None, []),
            ("Bob", "bio", False, "a,b", []),
            ("Cy", "maths", False, 'x"y', []),
            ("Cy", "maths", False, "dup", []),
        ],
        ["9B"],
        ops,
    )
    assert drive(rotavel, plan) == drive(model, plan)
