"""Fair shares: the cover desk's rule, the fair plan a period at a time.

Only the teachers free in the period (those its run could reach) are handed
over, at equal load, in fair order; see plan.py for how the rule is said as
the school handed to the module. Here too the words of a fair cover's reason.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Mapping, Sequence
from fractions import Fraction

from rotavel_app.language import _, ngettext
from rotavel_app.planning.plan import (
    HandedSchool,
    HandedTeacher,
    PlanError,
    Planner,
    Round,
    handed_school,
    outcome_of,
    outcomes_in,
    timing_of,
)
from rotavel_app.school.day import Lesson
from rotavel_app.school.subjects import KEYWORDS_BY_PLACE, PLACES, places


def ask_order(
    ranked: Sequence[str],
    same: Callable[[str], bool],
    covers: Callable[[str], Fraction | int],
    margin: int,
) -> tuple[list[str], list[str]]:
    """Free teachers as fair shares ask them for one lesson: `ranked` is the
    fair order (fewest covers, then load); the lesson's subject comes first
    while its least-covered teacher is within `margin` of the least-covered
    of all. Returns (those of the subject asked first, everyone else in order)."""
    mine = [n for n in ranked if same(n)]
    if mine and covers(mine[0]) <= covers(ranked[0]) + margin:
        return mine, [n for n in ranked if not same(n)]
    return [], list(ranked)


def covers_text(count: int, days_in: Fraction = Fraction(1)) -> str:
    """ "2 covers in the window", with a part-timer's days: "…, in 3 days of 5"."""
    if days_in == 1:
        text = ngettext("%(count)s cover in the window", "%(count)s covers in the window", count)
        return text % {"count": count}
    text = ngettext(
        "%(count)s cover in the window, in %(days)s days of %(of)s",
        "%(count)s covers in the window, in %(days)s days of %(of)s",
        count,
    )
    return text % {"count": count, "days": days_in.numerator, "of": days_in.denominator}


def why_text(
    subject: str, chosen_first: bool, free_of_subject: int, free: int, margin: int, covers: str
) -> str:
    """The reason line of a fair-shares cover, e.g. "Maths, 2 covers in the
    window: fewest of 3 free Maths teachers"."""
    if chosen_first:
        if free_of_subject == 1:
            text = _("%(subject)s, %(covers)s: the only free %(subject)s teacher")
            return text % {"subject": subject, "covers": covers}
        text = ngettext(
            "%(subject)s, %(covers)s: fewest of %(count)s free %(subject)s teacher",
            "%(subject)s, %(covers)s: fewest of %(count)s free %(subject)s teachers",
            free_of_subject,
        )
        return text % {"subject": subject, "covers": covers, "count": free_of_subject}
    if free_of_subject == 0:
        text = _("no %(subject)s teacher free: fewest covers of %(free)s free (%(covers)s)")
        return text % {"subject": subject, "free": free, "covers": covers}
    text = ngettext(
        "no %(subject)s teacher within %(margin)s cover of the fewest: "
        "fewest covers of %(free)s free (%(covers)s)",
        "no %(subject)s teacher within %(margin)s covers of the fewest: "
        "fewest covers of %(free)s free (%(covers)s)",
        margin,
    )
    return text % {"subject": subject, "margin": margin, "free": free, "covers": covers}


def fair_round(
    planner: Planner, pending: list[Lesson], hold_back: bool
) -> tuple[list[Lesson], list[Lesson]]:
    """One run of the module over the pending lessons of the earliest
    period among them (of as many subjects as the catalogue has places
    for), the school handed so that the module's own choice is the fair
    one. Returns the lessons still pending and those nobody could take."""
    staff = planner.day.staff
    rules = planner.rules
    margin = rules.margin
    assert margin is not None
    period = min(lesson.period for lesson in pending)
    subjects = list(
        dict.fromkeys(planner.subject_of[x.teacher] for x in pending if x.period == period)
    )[: PLACES - 1]  # one place kept for every other subject
    chosen = set(subjects)
    batch: list[Lesson] = []
    later: list[Lesson] = []
    for x in pending:
        inside = x.period == period and planner.subject_of[x.teacher] in chosen
        (batch if inside else later).append(x)
    unavailable = rules.never | planner.capped
    if hold_back:
        unavailable = unavailable | rules.last_resort
    busy_now = {name for name, given in planner.given.items() for p, _ in given if p == period}
    if planner.teaching is None:  # each teacher's own lessons while in, read once a plan
        planner.teaching = {
            name: [p for p in planner.taught.get(name, ()) if not member.away_in(p[0])]
            for name, member in staff.items()
            if member.in_school
        }
        planner.teaching_in = {
            name: {p for p, _ in lessons} for name, lessons in planner.teaching.items()
        }
    real: dict[str, list[tuple[int, str]]] = {}
    for name, lessons in planner.teaching.items():
        if (
            period in planner.teaching_in[name]
            or name in unavailable
            or name in busy_now
            or staff[name].away_in(period)
        ):
            continue
        real[name] = lessons + planner.given.get(name, []) if name in planner.given else lessons

    subject_of = planner.subject_of
    # Covers as fair shares weigh them; a teacher's do not change within
    # the run but by a cover in this period, which takes them out of it.
    weighed, scale = rules.weighed(real, planner.counts)
    order = planner.order
    ranked = sorted(real, key=lambda n: (weighed[n], len(real[n]), order[n]))
    within = margin * scale

    def first_of(subject: str, free: list[str]) -> str | None:
        """The subject's teacher asked first, when within the margin."""
        for name in free:  # the least-covered of the subject is the first met
            if subject_of[name] == subject:
                return name if weighed[name] <= weighed[free[0]] + within else None
        return None

    asked = {subject: first_of(subject, ranked) is not None for subject in subjects}
    handed, met = _hand_fair(
        planner, batch, subjects, asked, _reachable(ranked, batch, asked, subject_of)
    )
    text = handed.run()
    planner.rounds.append(Round(handed, text))
    outcomes = outcomes_in(text, handed)
    timing_of(text)
    free = list(ranked)
    free_of = Counter(subject_of[name] for name in free)
    still: list[Lesson] = []
    missed: list[Lesson] = []
    for teacher_record, lesson in met:
        subject = subject_of[lesson.teacher]
        first = first_of(subject, free)
        if still or (first is not None) != asked[subject]:
            still.append(lesson)  # the margin moved: planned again from here
            continue
        substitute = outcome_of(outcomes, teacher_record, lesson)
        expected = first or (free[0] if free else None)
        picked = None if substitute is None else handed.teachers[substitute].member
        if picked != expected:
            raise PlanError(
                _(
                    "period %(period)s: the module chose %(picked)s where fair shares ask %(expected)s"
                )
                % {"period": period, "picked": repr(picked), "expected": repr(expected)}
            )
        if picked is None:
            missed.append(lesson)
            continue
        name = picked
        member = staff[lesson.teacher]
        why = why_text(
            member.subject,
            first is not None,
            free_of[subject],
            len(free),
            margin,
            covers_text(
                rules.covers_in_window.get(name, 0) + planner.counts.get(name, 0),
                rules.days_in.get(name, Fraction(1)),
            ),
        )
        if name in rules.last_resort:
            why = _("last resort, nobody else free: %(why)s") % {"why": why}
        planner._settle(lesson, name, why=why)
        free.remove(name)
        free_of[subject_of[name]] -= 1
    if not still and outcomes:
        raise PlanError(
            _("outcomes for lessons the school does not have: %(outcomes)s")
            % {"outcomes": repr(sorted(outcomes))}
        )
    return still + later, missed


def _hand_fair(
    planner: Planner,
    batch: list[Lesson],
    subjects: list[str],
    asked: Mapping[str, bool],
    ranked: list[str],
) -> tuple[HandedSchool, list[tuple[int, Lesson]]]:
    """The school for one period's `batch`: its absent teachers, then the
    teachers free in the period in fair order, all at the same load; a
    subject's teachers beyond the margin under the spare subject."""
    staff = planner.day.staff
    slot = places(subjects, set())
    assert slot is not None
    spare = next(k for k in KEYWORDS_BY_PLACE if k not in slot.values())
    teachers: list[HandedTeacher] = []
    away_record: dict[str, int] = {}
    for lesson in batch:
        if lesson.teacher not in away_record:
            away_record[lesson.teacher] = len(teachers)
            member = staff[lesson.teacher]
            teachers.append(
                HandedTeacher(lesson.teacher, slot[planner.subject_of[member.name]], False)
            )
    # Equal loads (no lessons of their own are needed to say that they are
    # free in the period): the module's stable sort by load keeps this order.
    for name in ranked:
        subject = planner.subject_of[name]
        keyword = slot[subject] if asked.get(subject) else spare
        teachers.append(HandedTeacher(name, keyword, True))
    return handed_school(teachers, batch, away_record)


def _reachable(
    ranked: list[str], batch: list[Lesson], asked: Mapping[str, bool], subject_of: Mapping[str, str]
) -> list[str]:
    """The teachers of `ranked` that a run over `batch` can reach, in order.

    A run of k lessons takes at most k teachers. Its walk of all teachers
    never passes the first k of the order; the search of a subject asked
    first takes the first free teacher of it, and before it at most those of
    the subject among the first k and one for each earlier lesson of the
    subject. The others would be passed by, and are left out of the school.
    """
    k = len(batch)
    left = Counter(subject_of[x.teacher] for x in batch)
    reached = []
    for number, name in enumerate(ranked):
        subject = subject_of[name]
        if number < k:
            reached.append(name)
        elif asked.get(subject) and left[subject] > 0:
            reached.append(name)
            left[subject] -= 1
    return reached
