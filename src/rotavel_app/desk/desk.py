"""The cover desk: a school's record of absences and covers, and the rules
it adds to each day's plan.

The record is one SQLite file per school (`FOLDER/rotavel.db` unless told
otherwise). It holds the absences as entered (a date range, once for a
multi-day absence), every absent lesson of each published plan and every
decision made by hand, and the rules the desk keeps for some staff (never
asked to cover, asked last, their own caps).

Nothing here chooses a substitute. Every rule becomes part of the school
handed to the module through `plan.Rules`: covers so far in the school's
window order the staff (fewer first), a cap or a flag makes a teacher busy,
and what is already decided (published covers, hand covers, lessons that
need no cover) is left out and keeps its substitute busy. The plan is
always the module's answer, and each `Round` of it can be replayed.

A `Desk` holds one connection and is meant for one thread; a web server
opens one per request. It is the door the commands and the web desk use;
the work is done by the package's modules, one job each: record.py (the
file, its layout, transactions), school.py (the folder it belongs to),
absences.py, rules.py (staff rules and what is handed to planning),
plans.py (planning and publishing), decisions.py (decisions by hand),
views.py (free lists, "why me?", history), transfer.py (backup, restore,
export), publishing.py (what people have been told), mail.py and feed.py.
"""

from __future__ import annotations

import datetime
import sqlite3
from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager, contextmanager
from types import TracebackType
from typing import TYPE_CHECKING

from rotavel_app.desk import (
    absences,
    decisions,
    plans,
    publishing,
    record,
    rules,
    school,
    transfer,
    views,
)
from rotavel_app.desk.absences import AbsenceRecord, Entered
from rotavel_app.desk.record import (
    APPLICATION_ID,
    DB_NAME,
    MIGRATIONS,
    SCHEMA_VERSION,
    TABLES,
    DeskError,
    Kept,
    day_text,
    now,
    record_names,
)
from rotavel_app.desk.rules import KEEP, MAX_CYCLE_DAYS, CoverRecord, StaffRule, window_start
from rotavel_app.desk.views import FreeTeacher, WhyMe
from rotavel_app.planning.plan import Plan, Rules
from rotavel_app.school.calendar import Calendar, school_periods
from rotavel_app.school.day import SchoolDay
from rotavel_app.school.settings import Settings

if TYPE_CHECKING:
    from rotavel_app.files import StrPath

# The names other modules have always imported from here.
__all__ = [
    "APPLICATION_ID",
    "DB_NAME",
    "MAX_CYCLE_DAYS",
    "MIGRATIONS",
    "SCHEMA_VERSION",
    "TABLES",
    "AbsenceRecord",
    "CoverRecord",
    "Desk",
    "DeskError",
    "FreeTeacher",
    "StaffRule",
    "WhyMe",
    "record_names",
    "window_start",
]


class Desk:
    """A school's record, with the folder it belongs to."""

    def __init__(
        self, folder: str, path: str | None, connection: sqlite3.Connection, settings: Settings
    ) -> None:
        self.folder = folder
        self.path = path  # None for an empty record kept in memory
        self.settings = settings
        self._db = connection
        # The folder's week and what is worked out from it, kept while its files stay the same.
        self.kept = Kept()

    @classmethod
    def open(
        cls,
        folder: StrPath,
        db: StrPath | None = None,
        *,
        create: bool = True,
        timeout: float = 5.0,
    ) -> Desk:
        """The record of the school in `folder` (`folder/rotavel.db` unless `db`
        says), brought to the current version. Without `create`, a record that
        does not exist yet is read as empty and nothing is written to disk."""
        return record.open_desk(cls, folder, db, create, timeout)

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> Desk:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()

    # -- transactions (record.py) -----------------------------------------------

    def _errors(self) -> AbstractContextManager[None]:
        return record.errors(self)

    @contextmanager
    def _transaction(self, write: bool) -> Iterator[None]:
        with record.transaction(self, write):
            yield

    @property
    def connection(self) -> sqlite3.Connection:
        """The record's connection, for the desk's parts: used inside `reading`
        or `writing`, in this desk's thread."""
        return self._db

    def reading(self) -> AbstractContextManager[None]:
        """One transaction that reads: one snapshot for all of its reads."""
        return self._transaction(write=False)

    def writing(self) -> AbstractContextManager[None]:
        """One transaction that writes (BEGIN IMMEDIATE): all of its changes or
        none, one command's change after another's."""
        return self._transaction(write=True)

    def others_wrote(self) -> int:
        """A number that changes whenever another connection, in this process or any
        other, commits to the record, and never for this desk's own commits: equal
        before and after a change of ours, it says the change was the only one."""
        return record.others_wrote(self)

    # -- backup, restore and export (transfer.py) --------------------------------

    def backup(self, target: StrPath) -> None:
        """A copy of the whole record into `target`, one consistent snapshot."""
        transfer.backup(self, target)

    def restore(self, source: StrPath) -> None:
        """The record replaced by the backup in `source`, all or nothing."""
        transfer.restore(self, source)

    def export_csv(self, folder: StrPath) -> list[str]:
        """The whole record as CSV, one file per table, read in one snapshot."""
        return transfer.export_csv(self, folder)

    # -- the school (school.py) ---------------------------------------------------

    def window_start(self, date: datetime.date) -> datetime.date:
        """The first day of the school's window for fair shares that ends with `date`."""
        return rules.desk_window_start(self, date)

    def calendar(self) -> Calendar:
        """The school's calendar: its weekdays, closures and cycle."""
        return school.calendar(self)

    def school_periods(self) -> tuple[int, int] | None:
        """The first and last period of the school's day."""
        return school_periods(school.week(self), self.settings)

    @property
    def school_name(self) -> str:
        return self.settings.name or school.week(self).name

    def staff_names(self) -> list[str]:
        """The teacher list's names, in its order."""
        return [row.name for row in school.week(self).staff]

    def emails(self) -> dict[str, str]:
        """Teacher -> e-mail address, for those the teacher list gives one."""
        return {row.name: row.email for row in school.week(self).staff if row.email}

    def day(self, date: datetime.date) -> SchoolDay:
        """The school's day for `date`, with the record's absences applied."""
        with self.reading():
            return absences.day(self, date)

    # -- absences (absences.py) -----------------------------------------------------

    def add_absence(
        self,
        name: str,
        first: datetime.date,
        last: datetime.date,
        periods: frozenset[int] | None,
        reason: str,
    ) -> int:
        """Enter an absence from `first` to `last` (both included), for the whole
        of each day or only `periods`; returns its number. Absences of one
        teacher that share a day add up."""
        return self.add_absences([(name, first, last, periods, reason)])[0]

    def add_absences(self, absences: Iterable[Entered]) -> list[int]:
        """Enter several absences at once: all of them, or none when one is wrong."""
        return self.enter_absences(absences)[0]

    def enter_absences(self, entered: Iterable[Entered]) -> tuple[list[int], list[str]]:
        """`add_absences`, with what is worth telling: an absence merged into
        one it overlaps, or kept for the school days of its range. A single day
        the school is shut, a range with no school day, or periods outside the
        school day are refused."""
        return absences.enter(self, entered)

    def end_absence(self, absence_id: int, last: datetime.date) -> None:
        """Make `last` the absence's last day (shorter or longer)."""
        absences.end(self, absence_id, last)

    def cancel_absence(self, absence_id: int) -> None:
        absences.cancel(self, absence_id)

    def absence(self, absence_id: int) -> AbsenceRecord:
        with self.reading():
            return absences.one(self, absence_id)

    def absences_on(self, date: datetime.date) -> list[AbsenceRecord]:
        return self.absences(date, date)

    def absences(self, first: datetime.date, last: datetime.date) -> list[AbsenceRecord]:
        """Every absence with a day from `first` to `last`, in the order entered."""
        with self.reading():
            return absences.between(self, first, last)

    # -- staff rules and the rules handed to the module (rules.py) ------------------

    def staff_rules(self) -> dict[str, StaffRule]:
        with self.reading():
            return rules.staff_rules(self)

    def set_staff_rule(
        self,
        name: str,
        never: bool = KEEP,
        last_resort: bool = KEEP,
        cap_day: int | None = KEEP,
        cap_week: int | None = KEEP,
        days: frozenset[int] | None = KEEP,
    ) -> StaffRule:
        """Change a teacher's rule; what is not given stays. Returns the rule now."""
        return rules.set_staff_rule(
            self,
            name,
            never=never,
            last_resort=last_resort,
            cap_day=cap_day,
            cap_week=cap_week,
            days=days,
        )

    def clear_staff_rule(self, name: str) -> None:
        with self.writing():
            self._db.execute("DELETE FROM staff_rule WHERE name = ?", (name,))

    def rules(self, date: datetime.date) -> Rules:
        """What the record adds to planning `date`."""
        with self.reading():
            return rules.rules(self, absences.day(self, date))[0]

    def window_counts(self, date: datetime.date) -> dict[str, int]:
        """Covers per teacher in the window before `date`."""
        with self.reading():
            return rules.counts(self, self.window_start(date), date - datetime.timedelta(1))

    # -- plans and publishing (plans.py, publishing.py) -----------------------------

    def plan(self, date: datetime.date, timetable_day: str | None = None) -> Plan:
        """The day's plan: what the record decided kept, the rest planned now
        (nothing is stored). `timetable_day` plans the date on that day of the
        timetable, for looking only: the record keeps plans by the calendar's day."""
        with self.reading():
            return plans.plan(self, date, timetable_day)[0]

    def publish(
        self,
        date: datetime.date,
        shown: Plan | None = None,
        still_current: Callable[[], bool] | None = None,
        by: str = "command",
    ) -> Plan:
        """Plan the day and store the plan, in one transaction.

        `shown` is a plan made earlier (the page the cover manager looked at);
        it is stored as it is when `still_current()`, asked while this
        transaction holds the record, says nothing has changed since it was
        made: it is then exactly the plan the desk would make again. `by` is
        who published, for the day's audit."""
        with self.writing():
            if shown is not None and still_current is not None and still_current():
                plan = shown
            else:
                plan = plans.plan(self, date)[0]
            plans.store(self, date, plan, by)
        return plan

    def changes(self, date: datetime.date, plan: Plan | None = None) -> list[publishing.Change]:
        """What publishing the day now (or `plan`) would change for people; [] for
        a day not published yet."""
        day = day_text(date)
        with self.reading():
            if plans.revision(self, day) is None:
                return []
            if plan is None:
                plan = plans.plan(self, date)[0]
            return plans.against_published(self, day, plan) or []

    def published(self, date: datetime.date) -> list[CoverRecord]:
        """The day's absent lessons as last published: what people are shown."""
        with self.reading():
            return plans.published(self, date)

    def recorded(self, date: datetime.date) -> list[CoverRecord]:
        """The record's absent lessons of the day as the desk has them now: the
        plan last stored and the decisions made by hand since (the draft)."""
        with self.reading():
            return rules.covers(self, date)

    def publication(self, date: datetime.date) -> tuple[str, int] | None:
        """When the day was last published and how many times, or None."""
        with self.reading():
            row = self._db.execute(
                "SELECT published_at, revision FROM published_day WHERE day = ?",
                (day_text(date),),
            ).fetchone()
        return None if row is None else (row[0], row[1])

    def published_days(self, first: datetime.date, last: datetime.date) -> list[datetime.date]:
        """The days from `first` to `last` that have a published plan."""
        with self.reading():
            rows = self._db.execute(
                "SELECT day FROM published_day WHERE day >= ? AND day <= ? ORDER BY day",
                (day_text(first), day_text(last)),
            ).fetchall()
        return [datetime.date.fromisoformat(day) for (day,) in rows]

    def published_plan(self, date: datetime.date) -> Plan | None:
        """The day as published, as a plan, so the board, the slips, GPU014 and the
        e-mail read it as they read any plan; None for a day not published."""
        return plans.published_plan(self, date)

    def published_lessons(
        self, date: datetime.date
    ) -> dict[tuple[str, int], tuple[publishing.Shown, int]]:
        """The day as published: each lesson as shown, and the revision that last changed it."""
        with self.reading():
            return publishing.published(self._db, day_text(date))

    def publications(
        self, first: datetime.date, last: datetime.date
    ) -> list[publishing.Publication]:
        """Every publish of the days from `first` to `last`: when, by whom, what changed."""
        with self.reading():
            return publishing.publications(self._db, day_text(first), day_text(last))

    # -- decisions by hand and set work (decisions.py) -------------------------------

    def assign(
        self, date: datetime.date, absent_teacher: str, period: int, substitute: str
    ) -> None:
        """Give an absent teacher's lesson to `substitute` by hand. Refused when
        the substitute is busy then: teaching, absent, or covering another lesson."""
        decisions.assign(self, date, absent_teacher, period, substitute)

    def no_cover(self, date: datetime.date, absent_teacher: str, period: int) -> None:
        """Mark an absent teacher's lesson as needing no cover."""
        decisions.no_cover(self, date, absent_teacher, period)

    def release(self, date: datetime.date, absent_teacher: str, period: int) -> CoverRecord:
        """Take back the record's cover (or no-cover decision) of a lesson, which
        is then planned again. Returns what was released."""
        return decisions.release(self, date, absent_teacher, period)

    def set_work(self, date: datetime.date, teacher: str, period: int, work: str) -> None:
        """The work an absent teacher sets for a lesson ("" takes it away); people
        are shown it when the day is next published."""
        decisions.set_work(self, date, teacher, period, work)

    def work(self, date: datetime.date) -> dict[tuple[str, int], str]:
        """The day's set work as the desk has it now (the draft)."""
        with self.reading():
            return publishing.set_work(self._db, day_text(date))

    # -- what people are told (publishing.py) -----------------------------------------

    def personal_link(self, name: str, renew: bool = False) -> str:
        """The secret of a teacher's personal link (made on first use); renewed,
        the old link opens nothing."""
        school.known(self, name)
        with self.writing():
            return publishing.link_token(self._db, name, now(), renew)

    def teacher_of_link(self, token: str) -> str | None:
        with self.reading():
            return publishing.name_of_token(self._db, token)

    def duties(self, name: str, first: datetime.date, last: datetime.date) -> list[publishing.Duty]:
        """A substitute's covers from `first` to `last` as they were told of them."""
        with self.reading():
            return publishing.duties_of(self._db, name, day_text(first), day_text(last))

    def duties_on(self, date: datetime.date) -> list[publishing.Duty]:
        with self.reading():
            return publishing.duties_on(self._db, day_text(date))

    def mark_seen(self, name: str, date: datetime.date) -> int:
        """A substitute has seen the day's covers; returns how many were new to them."""
        with self.writing():
            return publishing.mark_seen(self._db, name, day_text(date), now())

    def queued_mail(self, date: datetime.date | None = None) -> list[publishing.Queued]:
        """E-mail still to send (of `date`, or every day), failed tries included."""
        with self.reading():
            return publishing.queued(self._db, None if date is None else day_text(date))

    def mail_tried(self, number: int, error: str | None) -> None:
        with self.writing():
            publishing.tried(self._db, number, now(), error)

    def last_sent(self, date: datetime.date, name: str) -> int:
        with self.reading():
            return publishing.last_sent(self._db, day_text(date), name)

    # -- who is free, why, history (views.py) -------------------------------------------

    def free(self, date: datetime.date, plan: Plan | None = None) -> dict[int, list[FreeTeacher]]:
        """For each period of the day, the teachers in school and free once the
        day's plan is made (or once `plan`, made already, is), in the order the
        planner asks them: those it may still ask, by fewer covers (in the
        window and today, pro rata), then by load; then last-resort staff,
        those at their cap, those not covering on this weekday, and those never asked."""
        return views.free(self, date, plan)

    def offers(
        self, date: datetime.date, plan: Plan | None = None
    ) -> dict[tuple[int, str], list[FreeTeacher]]:
        """(period, absent subject) -> the free teachers as the planner would ask
        them for a lesson of that subject: its own teachers first while within
        the margin (their `first` set), then the rest by fewer covers."""
        return views.offers(self, date, plan)

    def suggestions(
        self, date: datetime.date, teacher: str, period: int, plan: Plan | None = None
    ) -> list[FreeTeacher]:
        """Whom the planner would ask for `teacher`'s lesson in `period`, were
        it open: the free teachers (its present substitute among them, its
        cover not counted) in the planner's order for its subject."""
        return views.suggestions(self, date, teacher, period, plan)

    def why(self, date: datetime.date, name: str, plan: Plan | None = None) -> WhyMe:
        """Why `name` covers what they cover on `date`: their covers in the
        window against the school's fair share for them, what their caps leave,
        their flags, and each cover's reason."""
        return views.why(self, date, name, plan)

    def history(self, first: datetime.date, last: datetime.date) -> list[tuple[str, int]]:
        """Covers per teacher from `first` to `last`: everyone on the teacher
        list (and anyone the record names who is not on it any more), most
        covers first."""
        return views.history(self, first, last)
