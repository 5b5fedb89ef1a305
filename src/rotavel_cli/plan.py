"""The day's plan: every lesson of every absent teacher, with its substitute or none.

The module returns its plan as text in which names are not escaped, so a
name or class holding the report's own syntax (a comma, a line break, the
words of an uncovered line) could not be read back. The command built the
school itself, so it gives the module stand-in names that cannot be
ambiguous (`t0`, `c0`) and maps the answer back onto its own lessons. The
`report` format, which is the module's own text, comes from a second run on
the real names; the run depends only on the order of the teachers and
lessons, never on the text of a name, so both runs make the same plan.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import rotavel

from rotavel_cli.school_files import Lesson, SchoolDay

TIMING_PREFIX = "Time taken to generate subs: "

_ROW = re.compile(r"t(\d+),(-?\d+),[^,\n]*,t(\d+),c\d+,")
_UNRESOLVED = re.compile(r'Couldnt find a substitution for t(\d+) at (-?\d+)-\\"c\d+\\"\\n')


class PlanError(Exception):
    """The module's answer does not fit the school the command gave it."""


@dataclass(frozen=True)
class AbsentLesson:
    """One lesson of an absent teacher, as planned."""

    lesson: Lesson
    subject: str  # the absent teacher's subject, as the module names it
    reason: str
    substitute: str | None  # None when nobody could take it

    @property
    def covered(self) -> bool:
        return self.substitute is not None


@dataclass(frozen=True)
class Plan:
    day: SchoolDay
    absent_lessons: tuple[AbsentLesson, ...]  # in the order the module planned them
    duration: str  # the module's time taken, e.g. "41.7µs"

    @property
    def covers(self) -> list[AbsentLesson]:
        return [a for a in self.absent_lessons if a.substitute is not None]

    @property
    def uncovered(self) -> list[AbsentLesson]:
        return [a for a in self.absent_lessons if a.substitute is None]


def planning_order(day: SchoolDay) -> list[list[Lesson]]:
    """The module's classes, in the order it walks them: one per class (or
    combined classes, e.g. 9A+9B) in order of first appearance, each with its
    lessons in file order. An earlier lesson gets the first pick of free teachers."""
    groups: dict[str, list[Lesson]] = {}
    for lesson in day.lessons:
        groups.setdefault(lesson.class_label, []).append(lesson)
    return list(groups.values())


def make_plan(day: SchoolDay) -> Plan:
    """Plan the day through the module and read its answer back."""
    names = list(day.staff)
    text = _build(day, real_names=False).generate_substitutions()
    table, _, rest = text.partition("\n\n")
    rows, unresolved, timing = table.split("\n")[1:], *rest.split("\n")

    assigned: dict[tuple[str, int], str] = {}
    for row in rows:
        match = _ROW.fullmatch(row)
        if match is None:
            raise PlanError(f"unexpected row {row!r}")
        assigned[names[int(match[1])], int(match[2])] = names[int(match[3])]
    missed = {(names[int(t)], int(p)) for t, p in _UNRESOLVED.findall(unresolved)}

    absent_lessons = []
    for group in planning_order(day):
        for lesson in group:
            member = day.staff[lesson.teacher]
            if member.present:
                continue
            key = (lesson.teacher, lesson.period)
            substitute = assigned.pop(key, None)
            if substitute is None and key not in missed:
                raise PlanError(f"no outcome for {lesson.teacher!r} in period {lesson.period}")
            absent_lessons.append(AbsentLesson(lesson, member.subject, member.reason, substitute))
    if assigned:
        raise PlanError(f"covers for lessons the school does not have: {sorted(assigned)!r}")
    if not (timing.startswith('"' + TIMING_PREFIX) and timing.endswith('"')):
        raise PlanError(f"unexpected timing line {timing!r}")
    return Plan(day, tuple(absent_lessons), timing[len(TIMING_PREFIX) + 1 : -1])


def module_report(day: SchoolDay) -> str:
    """The module's own report for the day, with the real names."""
    return _build(day, real_names=True).generate_substitutions()


def _build(day: SchoolDay, real_names: bool) -> rotavel.School:
    """Create the School through the module: teachers, then each class with
    its lessons, then the classes themselves."""
    school = rotavel.School()
    teachers = {}
    for number, member in enumerate(day.staff.values()):
        teacher = rotavel.Teacher(
            member.name if real_names else f"t{number}", member.keyword, member.present
        )
        teacher.reason_of_absentee = member.reason if real_names else ""
        school.add_teacher(teacher)
        teachers[member.name] = teacher
    classes = []
    for number, group in enumerate(planning_order(day)):
        klass = rotavel.Class(group[0].class_label if real_names else f"c{number}")
        for lesson in group:
            rotavel.register_period(teachers[lesson.teacher], lesson.period, school, klass)
        classes.append(klass)
    for klass in classes:
        school.add_class(klass)
    return school
