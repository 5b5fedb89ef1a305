"""The desk's modules behind `Desk`: the transaction helper's rollback, and the
people-facing words it builds read from the language in use without changing
who is asked."""

import re
import sqlite3

import pytest
from support.desk import FAIR
from support.schools import MON, TUE, shorthand_school

from rotavel_app import language
from rotavel_app.desk.desk import Desk, FreeTeacher


class _FailingRollback:
    """The desk's connection, but its ROLLBACK fails (a connection gone bad)."""

    def __init__(self, connection):
        self.connection = connection

    def execute(self, sql, *args):
        if sql == "ROLLBACK":
            raise sqlite3.OperationalError("disk I/O error")
        return self.connection.execute(sql, *args)

    def __getattr__(self, name):
        return getattr(self.connection, name)


@pytest.mark.parametrize("write", [True, False])
def test_a_failing_rollback_does_not_hide_the_error_that_called_for_it(tmp_path, write):
    folder = shorthand_school(tmp_path / "s", *FAIR)
    with Desk.open(folder) as desk:
        real = desk._db
        desk._db = _FailingRollback(real)
        with pytest.raises(KeyError) as caught, desk._transaction(write):
            desk._db.execute("INSERT INTO staff_rule (name, never) VALUES ('Bob', 1)")
            raise KeyError("the caller's own error")
        assert caught.value.args == ("the caller's own error",)
        real.execute("ROLLBACK")  # what closing the connection would do
        desk._db = real
        assert desk.staff_rules() == {}


class _Shouting:
    """A catalogue that writes every message in capitals: shows which words
    were looked up, and that nothing compares the words it returns."""

    def gettext(self, message):
        # The placeholders stay as they are: they name what is put in.
        return "".join(
            part if part.startswith("%(") else part.upper()
            for part in re.split(r"(%\([a-z]+\)s)", message)
        )

    def ngettext(self, singular, plural, number):
        return self.gettext(singular if number == 1 else plural)


@pytest.fixture
def shouting():
    token = language._active.set(("xx", _Shouting()))
    try:
        yield
    finally:
        language._active.reset(token)


def _ask_order(free):
    return {period: [(t.name, t.first) for t in teachers] for period, teachers in free.items()}


def test_the_free_list_reads_its_notes_from_the_language_and_asks_in_the_same_order(
    tmp_path, shouting
):
    # Ann away Monday and Tuesday: Bob covers on Monday. On Tuesday Dan is
    # last resort, Eve never covers, Cat has a cap of none left, and Fay
    # covers on Mondays only.
    staff = [*FAIR[0], "Eve:english", "Fay:english"]
    folder = shorthand_school(tmp_path / "s", staff, FAIR[1])
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", MON, TUE, None, "")
        desk.publish(MON)
        desk.set_staff_rule("Dan", last_resort=True)
        desk.set_staff_rule("Eve", never=True)
        desk.set_staff_rule("Cat", cap_day=0)
        desk.set_staff_rule("Fay", days=frozenset({0}))
        free = desk.free(TUE)
        why = desk.why(TUE, "Fay")
    language._active.set(None)
    with Desk.open(folder) as desk:
        assert _ask_order(desk.free(TUE)) == _ask_order(free)
    assert free[2] == [
        FreeTeacher("Dan", "english", 0, 0, 1, "LAST RESORT"),
        FreeTeacher("Cat", "maths", 0, 0, 1, "AT A CAP"),
        FreeTeacher("Fay", "english", 0, 0, 0, "NOT ON TUESDAYS", asked=False),
        FreeTeacher("Eve", "english", 0, 0, 0, "NEVER COVERS", asked=False),
    ]
    assert why.flags == ("DOES NOT COVER ON TUESDAYS",)


def test_changes_and_planned_again_notes_read_from_the_language(tmp_path, shouting):
    folder = shorthand_school(tmp_path / "s", *FAIR)
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", TUE, TUE, None, "")
        desk.publish(TUE)
        desk.assign(TUE, "Ann", 1, "Cat")
        assert [c.text for c in desk.changes(TUE)] == ["Ann'S 9A IN PERIOD 1 MOVES FROM Bob TO Cat"]
        desk.add_absence("Cat", TUE, TUE, frozenset({1}), "Course")
        assert desk.plan(TUE).day.notes[-1] == (
            "Ann'S 9A IN PERIOD 1 IS PLANNED AGAIN: Cat IS ABSENT IN PERIOD 1 (Course)"
        )


def test_the_day_as_published_is_read_in_one_snapshot(tmp_path, monkeypatch):
    from rotavel_app.desk import absences

    folder = shorthand_school(tmp_path / "s", *FAIR)
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", TUE, TUE, None, "")
        first = desk.publish(TUE).absent_lessons[0].substitute
    other = {"Bob": "Cat", "Cat": "Bob"}[first]
    real = absences.day
    reading = []

    def day_while_another_publishes(desk, date, timetable_day=None):
        if not reading:  # another desk publishes a new revision meanwhile
            reading.append(desk)
            with Desk.open(folder) as elsewhere:
                elsewhere.assign(TUE, "Ann", 1, other)
                elsewhere.publish(TUE)
        return real(desk, date, timetable_day)

    monkeypatch.setattr(absences, "day", day_while_another_publishes)
    with Desk.open(folder) as desk:
        plan = desk.published_plan(TUE)
        assert [a.substitute for a in plan.absent_lessons] == [first]
        monkeypatch.undo()
        assert [a.substitute for a in desk.published_plan(TUE).absent_lessons] == [other]
