"""The day's plan: every lesson of every absent teacher, with its substitute or none.

Every rule the command knows is expressed as the school it hands the module,
never applied to the module's answer: a part-day absence is a teacher away
in some periods and in, but busy, in the others; staff not in school that
day are absent with no lessons; a teacher who may not cover (a flag, a cap
reached) is in but busy all day; fair shares are the order in which the
teachers are handed over; covers already decided are lessons left out and
periods made busy. The plan is the module's answer to that school, and a
`Round` keeps the school it was given, so any plan can be replayed.

The module returns its plan as text in which names are not escaped, so a
name or class holding the report's own syntax (a comma, a line break, the
words of an uncovered line) could not be read back. The command gives the
module stand-in names that cannot be ambiguous (`t0`, `c0`) and maps the
answer back onto its own lessons. The `report` format, the module's own
text, comes from the same schools with the real names; the run depends only
on the order of teachers and lessons, never on the text of a name, so both
make the same plan.

Fair shares (the cover desk's rule, `Rules.margin` set) are planned a
period at a time: only the teachers free in the period (those its run could
reach) are handed over, at equal load, in the order of their covers (in the window and earlier today,
pro rata to their days in school), then their load that day, so that the
module's own stable sort by load keeps that order; the teachers of an absent
subject more than `margin` covers above the least-covered free teacher are
handed under another subject, so the module's same-subject search passes
them by and its walk of all teachers takes the least-covered one. When a
cover taken in the run changes who is within the margin, the run is cut
there and the rest of the period planned again. Without `margin` the day is
planned as the command always has (the module's own rule, load first).

Most days take one run. More are needed only when a rule cannot be said in
one school: a cap reached part-way (the run is cut where the cap is passed
and the rest planned again without that teacher), last-resort staff (asked
only for what nobody else could take), and a day whose absent teachers have
more subjects between them than the module's catalogue has places (planned
a group of subjects at a time, in order of their first lesson).
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from fractions import Fraction

import rotavel

from rotavel_app.language import _
from rotavel_app.school.day import Lesson, SchoolDay
from rotavel_app.school.subjects import PLACES, places

# The module's answer, in the words it uses (the command's own outputs take
# them from here): its table's columns, the start of the line on each
# lesson nobody could take, and of the line with the time the run took.
REPORT_HEADER = ("Teacher", "Period", "Subject", "Substitution", "Classroom", "Reason")
UNCOVERED_LEAD = "Couldnt find a substitution for "  # spelt so by the module
TIMING_PREFIX = "Time taken to generate subs: "

_ROW = re.compile(r"t(\d+),(-?\d+),[^,\n]*,t(\d+),c\d+,")
# Compiled (and kept by re) at the first report with a lesson nobody could cover.
_UNRESOLVED = re.escape(UNCOVERED_LEAD) + r't(\d+) at (-?\d+)-\\"c\d+\\"\\n'

# How an absent lesson was settled.
PLANNED = "planned"
BY_HAND = "by hand"
NO_COVER = "no cover needed"
TEAM = "taught by"  # a colleague of the same lesson is in


def settled_words(how: str) -> str:
    """How a lesson was settled (PLANNED, BY_HAND or NO_COVER) in the language in use."""
    words = {PLANNED: _("planned"), BY_HAND: _("by hand"), NO_COVER: _("no cover needed")}
    return words.get(how, how)


class PlanError(Exception):
    """The module's answer does not fit the school the command gave it."""


@dataclass(frozen=True)
class AbsentLesson:
    """One lesson of an absent teacher, as planned."""

    lesson: Lesson
    subject: str  # the absent teacher's subject, as the school writes it
    reason: str  # "" when nobody gave one
    substitute: str | None  # None when nobody takes it
    how: str = PLANNED
    taught_by: tuple[str, ...] = ()  # for a team's lesson: who still gives it
    why: str = ""  # why this substitute, under fair shares; "" from the command

    @property
    def covered(self) -> bool:
        return self.substitute is not None

    @property
    def note(self) -> str:
        """How it was settled, when not by the plan: "taught by Ann", "by hand"."""
        if self.how == TEAM:
            return _("taught by %(names)s") % {"names": _(" and ").join(self.taught_by)}
        return "" if self.how == PLANNED else settled_words(self.how)

    @property
    def needs_cover(self) -> bool:
        """Not covered, and it should have been."""
        return self.substitute is None and self.how == PLANNED


@dataclass(frozen=True)
class Decision:
    """A lesson settled before the run: a substitute chosen (by hand, or
    published earlier), or None for a lesson that needs no cover."""

    substitute: str | None
    how: str = BY_HAND


@dataclass(frozen=True)
class Rules:
    """What the cover desk adds to the day; the defaults plan as the command
    always has."""

    covers_in_window: Mapping[str, int] = field(default_factory=dict)  # fewer first
    covers_today: Mapping[str, int] = field(default_factory=dict)  # given before this plan
    cap_day: Mapping[str, int] = field(default_factory=dict)  # covers allowed today, in all
    never: frozenset[str] = frozenset()
    last_resort: frozenset[str] = frozenset()
    # (absent teacher, period) -> the lesson's settlement
    decided: Mapping[tuple[str, int], Decision] = field(default_factory=dict)
    # Fair shares: a same-subject teacher is asked first while within `margin`
    # covers of the least-covered free teacher. None: the command's own rule.
    margin: int | None = None
    days_in: Mapping[str, Fraction] = field(
        default_factory=dict
    )  # share of the week; 1 if not given

    def covers(self, name: str, today: Mapping[str, int]) -> Fraction:
        """Covers in the window and today, per full week in school: what fair shares compare."""
        given = self.covers_in_window.get(name, 0) + today.get(name, 0)
        return Fraction(given) / self.days_in.get(name, 1)

    def weighed(self, names: Iterable[str], today: Mapping[str, int]) -> tuple[dict[str, int], int]:
        """`covers` of each of `names` as whole numbers, all times one scale
        (compared exactly, and quickly, by a large school's every period),
        and that scale: a margin of m covers is m times it."""
        scale = math.lcm(1, *(share.numerator for share in self.days_in.values()))
        window, days_in = self.covers_in_window, self.days_in
        weights = {}
        for name in names:
            given = window.get(name, 0) + today.get(name, 0)
            share = days_in.get(name)
            if share is None:
                weights[name] = given * scale
            else:
                weights[name] = given * share.denominator * (scale // share.numerator)
        return weights, scale


@dataclass(frozen=True)
class HandedTeacher:
    """A teacher as the module is given it; one member of staff away part of
    the day is two: away in those periods, in for the rest."""

    member: str  # the member of staff it stands for
    keyword: str
    present: bool
    busy: tuple[tuple[int, str], ...] = ()  # lessons given and periods made busy


@dataclass(frozen=True)
class HandedSchool:
    """A school exactly as handed to the module: rebuilding it gives the same plan."""

    teachers: tuple[HandedTeacher, ...]  # in the order added
    classes: tuple[tuple[str, tuple[tuple[int, int], ...]], ...]  # label, (teacher, period)

    def build(
        self, names: list[str] | None = None, reasons: list[str] | None = None
    ) -> rotavel.School:
        school = rotavel.School()
        teachers = []
        for number, handed in enumerate(self.teachers):
            name = names[number] if names else f"t{number}"
            teacher = rotavel.Teacher(name, handed.keyword, handed.present)
            if reasons is None:
                teacher.reason_of_absentee = ""
            elif reasons[number]:
                teacher.reason_of_absentee = reasons[number]
            for period, grade in handed.busy:
                teacher.add_period(period, grade)
            school.add_teacher(teacher)
            teachers.append(teacher)
        classes = []
        for number, (label, lessons) in enumerate(self.classes):
            klass = rotavel.Class(label if names else f"c{number}")
            for teacher_number, period in lessons:
                rotavel.register_period(teachers[teacher_number], period, school, klass)
            classes.append(klass)
        for klass in classes:
            school.add_class(klass)
        return school

    def run(self) -> str:
        return self.build().generate_substitutions()


@dataclass(frozen=True)
class Round:
    school: HandedSchool
    text: str  # the module's answer


@dataclass(frozen=True)
class Plan:
    day: SchoolDay
    absent_lessons: tuple[AbsentLesson, ...]  # in the order they were settled
    rounds: tuple[Round, ...] = ()

    @property
    def duration(self) -> str:
        """The module's time taken, e.g. "41.7µs"; runs joined with " + "."""
        return " + ".join(timing_of(r.text) for r in self.rounds) or "0ns"

    @property
    def covers(self) -> list[AbsentLesson]:
        return [a for a in self.absent_lessons if a.substitute is not None]

    @property
    def uncovered(self) -> list[AbsentLesson]:
        return [a for a in self.absent_lessons if a.needs_cover]

    @property
    def settled(self) -> list[AbsentLesson]:
        """Lessons that need nobody: no cover needed, or a team colleague is in."""
        return [a for a in self.absent_lessons if a.substitute is None and not a.needs_cover]


def planning_order(day: SchoolDay) -> list[list[Lesson]]:
    """The module's classes, in the order it walks them: one per class (or
    combined classes, e.g. 9A+9B) in order of first appearance, each with its
    lessons in file order. An earlier lesson gets the first pick of free teachers."""
    groups: dict[str, list[Lesson]] = {}
    for lesson in day.lessons:
        groups.setdefault(lesson.class_label, []).append(lesson)
    return list(groups.values())


def make_plan(day: SchoolDay, rules: Rules | None = None) -> Plan:
    """Plan the day through the module and read its answer back."""
    return Planner(day, rules or Rules()).plan()


def module_report(day: SchoolDay, rules: Rules | None = None) -> str:
    """The module's own report for the day, with the real names: the text of
    each run the plan took, one after another."""
    return report_of(make_plan(day, rules))


def report_of(plan: Plan) -> str:
    """The module's own report for a plan made already: its schools run again
    with the real names."""
    day = plan.day
    texts = []
    for handed in plan.rounds:
        names, reasons = _real_names(day, handed.school)
        texts.append(handed.school.build(names, reasons).generate_substitutions())
    if not texts:  # nothing to plan: the module's answer for a school with no absent lesson
        texts.append(HandedSchool((), ()).build([]).generate_substitutions())
    return "\n".join(texts)


def _real_names(day: SchoolDay, school: HandedSchool) -> tuple[list[str], list[str]]:
    names = []
    reasons = []
    for handed in school.teachers:
        member = day.staff[handed.member]
        split = member.part_day and handed.present
        names.append(f"{member.name} (in)" if split else member.name)
        reasons.append(member.reason)
    return names, reasons


def timing_of(text: str) -> str:
    timing = text.rpartition("\n")[2]
    if not (timing.startswith('"' + TIMING_PREFIX) and timing.endswith('"')):
        raise PlanError(_("unexpected timing line %(timing)s") % {"timing": repr(timing)})
    return timing[len(TIMING_PREFIX) + 1 : -1]


# Planner, handed_school, outcome_of, outcomes_in and timing_of are the parts fair.py's
# period-at-a-time rounds build on: public within the planning package, not beyond it.
class Planner:
    def __init__(self, day: SchoolDay, rules: Rules) -> None:
        self.day = day
        self.rules = rules
        self.settled: dict[tuple[str, int], AbsentLesson] = {}
        self.rounds: list[Round] = []
        # Covers given so far today, per substitute: (period, class) pairs that make them busy.
        self.given: dict[str, list[tuple[int, str]]] = {}
        self.counts: dict[str, int] = dict(rules.covers_today)
        self.capped: set[str] = {
            n for n, cap in rules.cap_day.items() if self.counts.get(n, 0) >= cap
        }
        self.order = order = {name: i for i, name in enumerate(day.staff)}
        self.subject_of = {name: member.subject_key for name, member in day.staff.items()}
        self.teaching: dict[str, list[tuple[int, str]]] | None = None
        self.teaching_in: dict[str, set[int]] = {}
        # Fair shares: fewer covers in the window first; the module's stable sort
        # by load keeps this order among teachers of equal load.
        self.staff_order = sorted(
            day.staff, key=lambda n: (rules.covers_in_window.get(n, 0), order[n])
        )
        self.taught: dict[str, list[tuple[int, str]]] = {}
        for lesson in day.lessons:
            self.taught.setdefault(lesson.teacher, []).append((lesson.period, lesson.class_label))

    def plan(self) -> Plan:
        pending = self._settle_without_module()
        if self.rules.last_resort:
            pending = self._phase(pending, hold_back=True)
        for lesson in self._phase(pending, hold_back=False):
            self._settle(lesson, None)
        ordered = [
            self.settled[lesson.teacher, lesson.period]
            for group in planning_order(self.day)
            for lesson in group
            if (lesson.teacher, lesson.period) in self.settled
        ]
        return Plan(self.day, tuple(ordered), tuple(self.rounds))

    def _settle(
        self,
        lesson: Lesson,
        substitute: str | None,
        how: str = PLANNED,
        team: tuple[str, ...] = (),
        why: str = "",
    ) -> None:
        member = self.day.staff[lesson.teacher]
        if not why and substitute is not None and self.rules.margin is not None:
            why = _("by hand, kept") if how == BY_HAND else _("published earlier, kept")
        self.settled[lesson.teacher, lesson.period] = AbsentLesson(
            lesson, member.subject, member.reason, substitute, how, team, why
        )
        if substitute is not None:
            self.given.setdefault(substitute, []).append((lesson.period, lesson.class_label))
            self.counts[substitute] = self.counts.get(substitute, 0) + 1
            cap = self.rules.cap_day.get(substitute)
            if cap is not None and self.counts[substitute] >= cap:
                self.capped.add(substitute)

    def _settle_without_module(self) -> list[Lesson]:
        """Settle what needs no run (decided lessons, team lessons with a
        colleague in) and return the absent lessons left, in planning order."""
        staff = self.day.staff
        pending = []
        for group in planning_order(self.day):
            for lesson in group:
                if not staff[lesson.teacher].out_in(lesson.period):
                    continue
                decision = self.rules.decided.get((lesson.teacher, lesson.period))
                in_team = tuple(t for t in lesson.team if not staff[t].out_in(lesson.period))
                if decision is not None:
                    self._settle(lesson, decision.substitute, decision.how)
                elif in_team:
                    self._settle(lesson, None, TEAM, in_team)
                else:
                    pending.append(lesson)
        return pending

    def _phase(self, pending: list[Lesson], hold_back: bool) -> list[Lesson]:
        """Runs until every pending lesson is covered or found uncoverable;
        returns the uncoverable ones."""
        nobody: list[Lesson] = []
        run = self._round
        if self.rules.margin is not None:
            from rotavel_app.planning.fair import fair_round  # it builds on this module

            def run(pending: list[Lesson], hold_back: bool) -> tuple[list[Lesson], list[Lesson]]:
                return fair_round(self, pending, hold_back)

        while pending:
            pending, missed = run(pending, hold_back)
            nobody += missed
        return nobody

    def _round(self, pending: list[Lesson], hold_back: bool) -> tuple[list[Lesson], list[Lesson]]:
        """One run of the module over the pending lessons of as many subjects
        as the catalogue has places for. Returns the lessons still pending and
        those nobody could take."""
        staff = self.day.staff
        subjects = list(dict.fromkeys(staff[lesson.teacher].subject_key for lesson in pending))
        others = {m.subject_key for m in staff.values()} - set(subjects)
        batch_subjects = subjects[: PLACES - (1 if others or len(subjects) > PLACES else 0)]
        chosen = set(batch_subjects)
        batch = [x for x in pending if staff[x.teacher].subject_key in chosen]
        later = [x for x in pending if staff[x.teacher].subject_key not in chosen]
        handed, met = self._hand(batch, batch_subjects, others | set(subjects) - chosen, hold_back)
        text = handed.run()
        self.rounds.append(Round(handed, text))
        outcomes = outcomes_in(text, handed)
        timing_of(text)  # the whole answer is read, whichever part the format shows
        still: list[Lesson] = []
        missed: list[Lesson] = []
        for teacher_record, lesson in met:
            if still:  # cut short: planned again with the capped teacher out
                still.append(lesson)
                continue
            substitute = outcome_of(outcomes, teacher_record, lesson)
            if substitute is None:
                missed.append(lesson)
            elif (name := handed.teachers[substitute].member) in self.capped:
                still.append(lesson)  # the cap was reached earlier in this run
            else:
                self._settle(lesson, name)
        if not still and outcomes:
            raise PlanError(
                _("outcomes for lessons the school does not have: %(outcomes)s")
                % {"outcomes": repr(sorted(outcomes))}
            )
        return still + later, missed

    def _hand(
        self, batch: list[Lesson], absent_subjects: list[str], others: set[str], hold_back: bool
    ) -> tuple[HandedSchool, list[tuple[int, Lesson]]]:
        """The school to hand the module for `batch`, and its absent lessons in
        the order the run meets them, with the teacher record of each."""
        day = self.day
        slot = places(absent_subjects, others)
        if slot is None:
            raise PlanError(_("more subjects than the module has places for"))
        periods = {lesson.period for lesson in batch}
        unavailable = self.rules.never | self.capped
        if hold_back:
            unavailable = unavailable | self.rules.last_resort
        teachers: list[HandedTeacher] = []
        away_record: dict[str, int] = {}
        for name in self.staff_order:
            member = day.staff[name]
            keyword = slot[member.subject_key]
            if not member.present or not member.in_school:
                away_record[name] = len(teachers)
                teachers.append(HandedTeacher(name, keyword, False))
                if member.away is None or not member.in_school:
                    continue
            # In school for (some of) the day: busy with their own lessons and
            # covers, and in every period they are away or may not cover.
            busy = [p for p in self.taught.get(name, ()) if not member.away_in(p[0])]
            busy += self.given.get(name, ())
            made_busy = set(member.away or ())
            if name in unavailable:
                made_busy |= periods
            have = {period for period, _ in busy}
            busy += [(p, "busy") for p in sorted(made_busy - have)]
            teachers.append(HandedTeacher(name, keyword, True, tuple(busy)))
        return handed_school(teachers, batch, away_record)


def handed_school(
    teachers: list[HandedTeacher], batch: list[Lesson], away_record: Mapping[str, int]
) -> tuple[HandedSchool, list[tuple[int, Lesson]]]:
    """The school handed to the module: `teachers`, and the absent lessons of
    `batch` by class; with them the lessons in the order a run meets them,
    each with its absent teacher's record."""
    classes: dict[str, list[Lesson]] = {}
    for lesson in batch:
        classes.setdefault(lesson.class_label, []).append(lesson)
    met = [(away_record[x.teacher], x) for lessons in classes.values() for x in lessons]
    handed = HandedSchool(
        tuple(teachers),
        tuple(
            (label, tuple((away_record[x.teacher], x.period) for x in lessons))
            for label, lessons in classes.items()
        ),
    )
    return handed, met


def outcome_of(
    outcomes: dict[tuple[int, int], int | None], teacher_record: int, lesson: Lesson
) -> int | None:
    """The substitute's record the run gave `lesson`, taken out of `outcomes`."""
    try:
        return outcomes.pop((teacher_record, lesson.period))
    except KeyError:
        raise PlanError(
            _("no outcome for %(teacher)s in period %(period)s")
            % {"teacher": repr(lesson.teacher), "period": lesson.period}
        ) from None


def outcomes_in(text: str, handed: HandedSchool) -> dict[tuple[int, int], int | None]:
    """(absent record, period) -> the substitute's record, or None when nobody was free."""
    table, _sep, rest = text.partition("\n\n")
    (header, *rows), unresolved = table.split("\n"), rest.split("\n")[0]
    if header != ",".join(REPORT_HEADER):
        raise PlanError(_("unexpected header %(header)s") % {"header": repr(header)})
    outcomes: dict[tuple[int, int], int | None] = {}
    count = len(handed.teachers)
    for row in rows:
        match = _ROW.fullmatch(row)
        if match is None or int(match[1]) >= count or int(match[3]) >= count:
            raise PlanError(_("unexpected row %(row)s") % {"row": repr(row)})
        outcomes[int(match[1]), int(match[2])] = int(match[3])
    for teacher, period in re.findall(_UNRESOLVED, unresolved) if unresolved else ():
        outcomes.setdefault((int(teacher), int(period)), None)
    return outcomes
