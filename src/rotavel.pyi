"""Plans cover for a school day.

Describe the school with `Teacher`, `Class` and `School`, record who teaches
which class when with `register_period`, then call
`School.generate_substitutions()` for the day's cover plan as text.
"""

from typing import SupportsIndex, final

__all__ = ["Class", "School", "Teacher", "register_period"]

@final
class Teacher:
    """One teacher: a name, a subject, whether present today, and lessons.

    `sub` is a subject keyword such as "maths", "bio", "P.E", "geography",
    "accountancy", "art" or "finfance" (matched without regard to case); any
    other text raises TypeError "Wrong subject <text lower-cased>".
    """

    def __new__(cls, name: str, sub: str, present: bool) -> Teacher: ...
    @property
    def name(self) -> str: ...
    # Only an exact bool is accepted on assignment; deleting raises AttributeError.
    present: bool
    # Shown in the Reason column of the cover plan; "Planned Absense" until set.
    reason_of_absentee: str
    def add_period(self, period: SupportsIndex, grade: str) -> None:
        """Add the lesson (period, grade); the period is a signed 16-bit integer."""

    def get_sub(self) -> str:
        """The subject's display name, for example "Maths" or "PhysicalEdu"."""

@final
class Class:
    """One class of pupils; its lessons come from `register_period`."""

    def __new__(cls, name: str) -> Class: ...

@final
class School:
    """The registry a cover plan is worked out from.

    It keeps copies of the teachers and classes it is given: later changes to
    the Python objects do not reach it.
    """

    def __new__(cls) -> School: ...
    def add_teacher(self, teacher: Teacher) -> None:
        """Copy the teacher in, unless a teacher of that name is already there."""
    # The parameter is called `class` at run time, which no stub can spell,
    # so the stub only admits the positional form.
    def add_class(self, klass: Class, /) -> None:
        """Copy the class with its lessons in, and re-sort the teachers by load."""

    def add_to_hashmap(self, name: str, teacher: Teacher) -> None:
        """File a copy of the teacher under `name` for `register_period` to find."""

    def generate_substitutions(self) -> str:
        """Cover every lesson of every absent teacher; return the plan as text.

        The text is a CSV table headed
        "Teacher,Period,Subject,Substitution,Classroom,Reason", a blank line,
        one quoted line listing the lessons nobody could cover, and a quoted
        line with the time the run took.
        """

# As with `School.add_class`, the last parameter is called `class`; the stub
# admits only positional calls.
def register_period(
    teacher: Teacher, period: SupportsIndex, school: School, klass: Class, /
) -> None:
    """Record that `teacher` teaches `klass` in `period` (a signed 16-bit integer).

    The teacher must already be in `school` under its name.
    """
