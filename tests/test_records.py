"""Records behave as the dataclasses they replace, for what the package uses of them."""

import dataclasses

import pytest

from rotavel_cli import records
from rotavel_cli.records import FrozenError, field, record, replace, values


@pytest.fixture(params=["generic", "compiled"])
def constructor(request, monkeypatch):
    """Each test below runs with records made by the generic constructor, and again with
    every class's own compiled from its first instance."""
    monkeypatch.setattr(records, "_COMPILE_AFTER", 10**9 if request.param == "generic" else 0)
    return request.param


def both(frozen=False, slots=False):
    """The same class made as a dataclass and as a record."""

    class Lesson:
        teacher: str
        period: int = 1
        rooms: list[str] = field(default_factory=list)

    made = record(Lesson, frozen=frozen, slots=slots)

    @dataclasses.dataclass(frozen=frozen, slots=slots)
    class Lesson:
        teacher: str
        period: int = 1
        rooms: list[str] = dataclasses.field(default_factory=list)

    return made, Lesson


@pytest.mark.parametrize(("frozen", "slots"), [(False, False), (True, False), (True, True)])
def test_a_record_is_made_compared_and_shown_as_a_dataclass(constructor, frozen, slots):
    made, reference = both(frozen, slots)
    for args, kwargs in [
        (("Ann",), {}),
        (("Ann", 3), {}),
        ((), {"teacher": "Bob", "rooms": ["L1"]}),
    ]:
        ours, theirs = made(*args, **kwargs), reference(*args, **kwargs)
        assert repr(ours) == repr(theirs)
        assert values(ours) == dataclasses.astuple(theirs)
        assert ours == made(*args, **kwargs) and ours != made("Someone else")
        assert (ours == theirs) is False  # another class is never equal
    assert made("Ann").rooms is not made("Ann").rooms  # a factory's default is made anew
    assert made.__match_args__ == reference.__match_args__
    match made("Ann", 2):
        case made(teacher, period):
            assert (teacher, period) == ("Ann", 2)
    if frozen:
        with pytest.raises(FrozenError, match="cannot assign to field 'period'"):
            made("Ann").period = 2
        with pytest.raises(AttributeError):
            del made("Ann").teacher
    else:
        assert made.__hash__ is None  # equal by value and changeable: not hashable
        lesson = made("Ann")
        lesson.period = 4
        assert lesson.period == 4
    assert hasattr(made("Ann"), "__dict__") is not slots
    with pytest.raises(TypeError):
        made()
    with pytest.raises(TypeError):
        made("Ann", 1, [], "one too many")


def test_replace_makes_a_changed_copy_through_the_constructor(constructor):
    @record(frozen=True)
    class Day:
        name: str
        periods: int = 6
        label: str = field(default="", init=False)

        def __post_init__(self) -> None:
            object.__setattr__(self, "label", f"{self.name} ({self.periods})")

    day = Day("Mon")
    assert (day.label, replace(day, periods=7).label) == ("Mon (6)", "Mon (7)")
    assert replace(day) == day and replace(day) is not day
    assert hash(replace(day)) == hash(day) != hash(replace(day, periods=7))
    for wrong in ({"label": "x"}, {"weekday": 1}):
        with pytest.raises(TypeError, match="has no field"):
            replace(day, **wrong)


def test_a_field_without_a_default_may_not_follow_one_with():
    with pytest.raises(TypeError, match="field 'b' without a default follows one with"):

        @record
        class Wrong:
            a: int = 0
            b: int


def test_the_named_tuple_class_is_made_as_typings():
    import typing

    from rotavel_cli import records

    made = {}
    for base in (records.NamedTuple, typing.NamedTuple):

        class Row(base):
            """A row."""

            teacher: str
            period: int = 1
            room: str = ""

            def label(self) -> str:
                return f"{self.teacher}@{self.period}"

        made[base] = Row
    ours, theirs = made.values()
    for args in [("Ann",), ("Ann", 2, "L1")]:
        assert (repr(ours(*args)), tuple(ours(*args))) == (
            repr(theirs(*args)),
            tuple(theirs(*args)),
        )
    assert (ours._fields, ours._field_defaults, ours.__doc__, ours.__qualname__) == (
        theirs._fields,
        theirs._field_defaults,
        theirs.__doc__,
        theirs.__qualname__,
    )
    assert ours("Bob", 3).label() == "Bob@3" and ours("Bob")._replace(period=5) == ("Bob", 5, "")


@pytest.mark.parametrize("slots", [False, True])
def test_any_field_name_and_no_field_at_all(constructor, slots):
    @record(frozen=True, slots=slots)
    class Odd:
        self: str
        d: int = 2
        _MISSING: str = "kept"

    @record(slots=slots)
    class Empty:
        pass

    assert values(Odd("me")) == ("me", 2, "kept")
    assert (
        repr(Odd("me", d=3))
        == "test_any_field_name_and_no_field_at_all.<locals>.Odd(self='me', d=3, _MISSING='kept')"
    )
    assert Empty() == Empty() and values(Empty()) == ()


def made(fields):
    """A record class of `fields` (name -> default, or None for none), made anew."""
    namespace = {"__annotations__": dict.fromkeys(fields, "int")}
    namespace.update({name: default for name, default in fields.items() if default is not None})
    return record(type("Shape", (), namespace))


SHAPES = {
    "none": {},
    "one": {"a": None},
    "two and defaults": {"a": None, "b": None, "c": 0, "d": field(default_factory=list)},
    "all defaults": {"a": 1, "b": field(default_factory=list)},
}
CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3, 4, 5), {}),
    ((1,), {"a": 2}),
    ((), {"b": 2}),
    ((), {"z": 2}),
    ((1, 2, 3, 4, 5), {"z": 1}),
    ((1, 2, 3, 4, 5), {"a": 1}),
    ((), {"c": 1}),
]


@pytest.mark.parametrize("shape", SHAPES)
def test_the_generic_constructor_binds_and_refuses_as_the_compiled_one(monkeypatch, shape):
    """The first instances of a class are bound by a loop, later ones by compiled code: the
    same call must make the same record, or fail with Python's own words, either way."""

    def outcome(limit, args, kwargs):
        monkeypatch.setattr(records, "_COMPILE_AFTER", limit)
        try:
            return values(made(SHAPES[shape])(*args, **kwargs))
        except TypeError as error:
            return str(error)

    for args, kwargs in CALLS:
        assert outcome(10**9, args, kwargs) == outcome(0, args, kwargs)


def test_a_class_made_often_gets_its_own_constructor_compiled(monkeypatch):
    monkeypatch.setattr(records, "_COMPILE_AFTER", 3)
    shape = made({"a": None, "b": field(default_factory=list)})
    first = shape.__init__
    made_ones = [shape(n) for n in range(4)]
    assert shape.__init__ is not first and shape.__init__.__qualname__ == "Shape.__init__"
    assert [values(m) for m in made_ones] == [(n, []) for n in range(4)]
    assert made_ones[0].b is not made_ones[1].b
