"""What the web desk's pages show of a day, worked out from the desk's record.

Nothing here knows of Flask or of a request: a view is made from a Desk and a
date, so the pages only read it, and the same view is kept for every visit
while the record stays as it was.
"""

from __future__ import annotations

import base64
import datetime
import hashlib
from dataclasses import astuple, dataclass, field
from typing import Any

from rotavel_app.desk.desk import Desk, DeskError
from rotavel_app.desk.feed import clock
from rotavel_app.desk.publishing import Duty, Queued, changed_keys
from rotavel_app.language import _, ngettext
from rotavel_app.pages.board import notes_of
from rotavel_app.pages.webpage import class_pieces
from rotavel_app.pages.wording import by_period, explain
from rotavel_app.planning.plan import BY_HAND, NO_COVER, TEAM, AbsentLesson, Plan
from rotavel_app.school.day import SchoolDay

# A cover not seen this many minutes before its period starts is flagged on the desk.
SEEN_WARNING = 30


def lesson_key(teacher: str, period: int) -> str:
    """A lesson as forms and addresses name it: the period, then the teacher's
    name in URL-safe base64, so that any name at all survives, in few bytes."""
    name = base64.urlsafe_b64encode(teacher.encode("utf-8", "surrogatepass")).rstrip(b"=")
    return f"{period}-{name.decode('ascii')}"


def window_words(window: str, cycle_days: int) -> str:
    if window == "cycle":
        return ngettext("in %(n)s school day", "in %(n)s school days", cycle_days) % {
            "n": cycle_days
        }
    return {"week": _("this week"), "term": _("this term")}.get(window, _("in the window"))


@dataclass(frozen=True)
class SeenMark:
    """Whether a cover's substitute has seen it, and that in words."""

    text: str  # "seen 07:52", "not seen"
    seen: bool


def seen_mark(duty: Duty) -> SeenMark:
    if duty.seen_at:
        return SeenMark(_("seen %(time)s") % {"time": duty.seen_at[11:16]}, True)
    return SeenMark(_("not seen"), False)


def board_version(desk: Desk, date: datetime.date) -> str:
    """Changes whenever what the board shows changes: a publish, or a decision
    written to the record since."""
    try:
        records = desk.published(date)
        publication = desk.publication(date)
    except DeskError as error:
        return trouble_version(error)
    digest = hashlib.sha256(repr(publication).encode())
    for cover in records:
        digest.update(repr(astuple(cover)).encode("utf-8", "surrogatepass"))
    return digest.hexdigest()[:32]


def trouble_version(error: DeskError) -> str:
    """The board's version while the record or the school's files cannot be read:
    new when the problem changes, without saying it (the link is public)."""
    return "error-" + hashlib.sha256(str(error).encode("utf-8", "surrogatepass")).hexdigest()[:16]


@dataclass(frozen=True)
class Published:
    """The day as published: the record's absent lessons as a plan, so the
    board and the slips read it as they read any plan."""

    plan: Plan
    published_at: str
    revision: int
    work: dict[tuple[str, int], str] = field(default_factory=dict)  # the set work published
    changed: frozenset[tuple[str, int]] = frozenset()  # changed after the first publication

    @classmethod
    def of(cls, desk: Desk, date: datetime.date) -> Published | None:
        publication = desk.publication(date)
        plan = desk.published_plan(date)
        if publication is None or plan is None:
            return None
        told = desk.published_lessons(date)
        return cls(
            plan,
            *publication,
            work={key: shown.work for key, (shown, _) in told.items()},
            changed=changed_keys((key, revision) for key, (_, revision) in told.items()),
        )


@dataclass(frozen=True)
class Row:
    item: AbsentLesson
    key: str  # how the forms name the lesson

    @property
    def anchor(self) -> str:
        return "lesson-" + self.key

    @property
    def state(self) -> str:
        if self.item.substitute is not None:
            return "by-hand" if self.item.how == BY_HAND else "covered"
        if self.item.how == NO_COVER:
            return "no-cover"
        if self.item.how == TEAM:
            return "team"
        return "uncovered"

    @property
    def decided(self) -> bool:
        return self.item.how in (BY_HAND, NO_COVER)


@dataclass(frozen=True)
class TodayView:
    day: SchoolDay
    plan: Plan
    absences: list[Any]
    periods: list[tuple[int, list[Row]]]
    free: dict[int, list[Any]]  # period -> the free teachers, best first
    # (period, absent subject) -> the free teachers in the order the plan asks them
    offers: dict[tuple[int, str], list[Any]]
    covers_in_window: dict[str, int]  # covers before today in the window, per teacher
    notes: list[Any]
    staff_names: list[str]
    window: str
    publication: tuple[str, int] | None  # when last published, and how many times
    unpublished: int  # absent lessons whose cover differs from the published one
    changes: list[str] = field(default_factory=list)  # what publishing would change, in words
    seen: dict[tuple[str, int], SeenMark] = field(default_factory=dict)  # lesson -> "seen 07:52"
    work: dict[tuple[str, int], str] = field(default_factory=dict)  # the set work (draft)
    duties: list[Duty] = field(default_factory=list)  # the day's covers as told
    mail_failed: list[Queued] = field(default_factory=list)  # e-mail of the day not sent

    @property
    def class_chars(self) -> int:
        """The longest piece of a class label the day's lessons show, in
        characters (at most 16): the class column is as wide, so that a code such
        as 0TBIOF-01 is kept whole and beside, not over, the subject."""
        pieces = (
            piece
            for item in self.plan.absent_lessons
            for piece in class_pieces(item.lesson.class_label)
        )
        return min(max(map(len, pieces), default=4), 16)

    def offer(self, item: AbsentLesson) -> tuple[str, list[Any]]:
        """The id of the list a lesson's Assign box offers, and the list: the
        free teachers as the plan asks them for its subject."""
        key = (item.lesson.period, self.day.staff[item.lesson.teacher].subject_key)
        number = list(self.offers).index(key) if key in self.offers else -1
        return f"offer-{number}", self.offers.get(key, [])

    @classmethod
    def of(cls, desk: Desk, date: datetime.date) -> TodayView:
        publication = desk.publication(date)
        plan = desk.plan(date)
        changes = desk.changes(date, plan)
        duties = desk.duties_on(date)
        told = {(d.teacher, d.period, d.substitute): d for d in duties if not d.cancelled}
        free = desk.free(date, plan)  # who is free once this plan is made: no second plan
        offers = desk.offers(date, plan)
        day = plan.day
        grouped: dict[int, list[Row]] = {}
        for item in by_period(plan.absent_lessons):
            grouped.setdefault(item.lesson.period, []).append(
                Row(item, lesson_key(item.lesson.teacher, item.lesson.period))
            )
        return cls(
            day=day,
            plan=plan,
            absences=desk.absences_on(date),
            periods=sorted(grouped.items()),
            free=free,
            offers=offers,
            covers_in_window=desk.window_counts(date),
            notes=notes_of(day, explain(plan, reasons=True)),
            staff_names=list(day.staff),
            window=window_words(day.settings.window, day.settings.cycle_days),
            publication=publication,
            unpublished=len(changes),
            changes=[change.text for change in changes],
            seen={
                (a.lesson.teacher, a.lesson.period): seen_mark(duty)
                for a in plan.covers
                if (duty := told.get((a.lesson.teacher, a.lesson.period, a.substitute or "")))
            },
            work=desk.work(date),
            duties=duties,
            mail_failed=[q for q in desk.queued_mail(date) if q.tries],
        )

    def telling(self, date: datetime.date, today: datetime.date) -> dict[str, Any]:
        """What the Today page says of telling people, worked out on every visit from
        the view kept for the record's version (no desk opened): the e-mail that
        could not be sent, and today's covers their substitute has not seen though
        their period starts soon (or has started)."""
        late = []
        if date == today:
            now = datetime.datetime.now()
            soon = now + datetime.timedelta(minutes=SEEN_WARNING)
            times = self.day.settings.times
            for duty in self.duties:
                period = clock(times.get(duty.period), date)
                if duty.cancelled or duty.seen_at or period is None:
                    continue
                if period[0] <= soon and period[1] > now:
                    late.append((duty, times.get(duty.period, "")))
        return {"mail_failed": self.mail_failed, "not_seen": late}
