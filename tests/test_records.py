"""Records behave as the dataclasses they replace, for what the package uses of them."""

import dataclasses

import pytest

from rotavel_cli.records import FrozenError, field, record, replace, values


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
def test_a_record_is_made_compared_and_shown_as_a_dataclass(frozen, slots):
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


def test_replace_makes_a_changed_copy_through_the_constructor():
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
def test_any_field_name_and_no_field_at_all(slots):
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
