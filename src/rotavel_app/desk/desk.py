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

Every change is one transaction begun with BEGIN IMMEDIATE, so two commands
at once are put one after the other, and a crash mid-write leaves the record
as it was before that change. A publish plans inside its own transaction: a
second publisher waits and plans on top of the first (or, after the busy
timeout, is refused with a message), never in between.

A `Desk` holds one connection and is meant for one thread; a web server
opens one per request.
"""

from __future__ import annotations

import csv
import datetime
import io
import os
import re
import sqlite3
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, replace
from fractions import Fraction
from types import TracebackType
from typing import TYPE_CHECKING

from rotavel_app.desk import publishing
from rotavel_app.messages import InputError, did_you_mean, shown
from rotavel_app.output import OutputError, write_file
from rotavel_app.pages.wording import name_key, plural
from rotavel_app.planning.plan import (
    BY_HAND,
    NO_COVER,
    PLANNED,
    TEAM,
    AbsentLesson,
    Decision,
    Plan,
    Rules,
    ask_order,
    make_plan,
)
from rotavel_app.school.day import (
    Absence,
    Calendar,
    DayWanted,
    Lesson,
    SchoolDay,
    StaffMember,
    _Days,
    apply_absences,
    check_periods,
    choose_day,
    school_calendar,
    school_periods,
)
from rotavel_app.school.folder import read_folder, school_version
from rotavel_app.school.importers import read_export
from rotavel_app.school.settings import SETTINGS_FILE, Settings, load_settings
from rotavel_app.school.week import Week
from rotavel_app.school.weekdays import WEEKDAYS

if TYPE_CHECKING:
    from typing import Any

    from rotavel_app.files import StrPath

DB_NAME = "rotavel.db"
# Marks the file as a rotavel record, so another program's database is refused, not migrated.
APPLICATION_ID = 0x526F7456  # "RotV"

# Each step takes the record from one version to the next; a new database runs
# them all. Steps are never edited once released: a change is a new step.
MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (  # 1: absences of whole days, covers, staff flags and a daily cap
        """CREATE TABLE absence (
            id INTEGER PRIMARY KEY,
            teacher TEXT NOT NULL,
            first_day TEXT NOT NULL,  -- ISO dates, both included
            last_day TEXT NOT NULL,
            reason TEXT NOT NULL DEFAULT '',
            entered_at TEXT NOT NULL,
            CHECK (first_day <= last_day)
        )""",
        "CREATE INDEX absence_by_day ON absence (first_day, last_day)",
        """CREATE TABLE cover (
            day TEXT NOT NULL,
            teacher TEXT NOT NULL,  -- the absent teacher
            period INTEGER NOT NULL,
            classes TEXT NOT NULL,  -- as the plan shows them, e.g. 9A+9B
            room TEXT NOT NULL DEFAULT '',
            substitute TEXT,  -- NULL: nobody (not covered, or no cover needed)
            how TEXT NOT NULL
                CHECK (how IN ('planned', 'by hand', 'no cover needed', 'taught by')),
            decided_at TEXT NOT NULL,
            PRIMARY KEY (day, teacher, period)
        )""",
        "CREATE INDEX cover_by_substitute ON cover (substitute, day)",
        """CREATE TABLE published_day (
            day TEXT PRIMARY KEY,
            published_at TEXT NOT NULL,
            revision INTEGER NOT NULL
        )""",
        """CREATE TABLE staff_rule (
            name TEXT PRIMARY KEY,
            never INTEGER NOT NULL DEFAULT 0,
            last_resort INTEGER NOT NULL DEFAULT 0,
            cap_day INTEGER,  -- NULL: the school's setting
            cap_week INTEGER
        )""",
    ),
    (  # 2: absences of part of a day, and the weekdays a teacher may cover on
        "ALTER TABLE absence ADD COLUMN periods TEXT",  # NULL: the whole day; else "1,2,5"
        "ALTER TABLE staff_rule ADD COLUMN days TEXT",  # NULL: every day; else "0,2" (Monday 0)
    ),
    (  # 3: covers per substitute over a range of days read from an index alone
        # (a term of a large school is some 50,000 covers, counted for every plan)
        "CREATE INDEX cover_by_day ON cover (day, substitute)",
    ),
    # 4: the day as published kept apart from the desk's draft, its revisions and
    # their changes, each substitute's covers as told (seen, cancelled), set work,
    # personal links and the e-mail still to send (see publishing.py)
    publishing.SCHEMA,
)
SCHEMA_VERSION = len(MIGRATIONS)
TABLES = ("absence", "cover", "published_day", "staff_rule", *publishing.TABLES)

# Test hook: seconds to sleep in the middle of a publish, between its writes,
# so tests can run a second publisher against it or kill the process there.
PAUSE_ENV = "ROTAVEL_DESK_TEST_PAUSE"


class DeskError(Exception):
    """A refused action or a record that cannot be used; one line for the user."""


@dataclass(frozen=True)
class AbsenceRecord:
    id: int
    name: str
    first: datetime.date
    last: datetime.date
    periods: frozenset[int] | None  # None for the whole day
    reason: str


@dataclass(frozen=True)
class CoverRecord:
    """One absent lesson as the record holds it."""

    date: datetime.date
    teacher: str  # the absent teacher
    period: int
    classes: str
    room: str
    substitute: str | None
    how: str  # plan.PLANNED, BY_HAND, NO_COVER or TEAM


@dataclass(frozen=True)
class StaffRule:
    never: bool = False  # never asked to cover
    last_resort: bool = False  # asked only for what nobody else can take
    cap_day: int | None = None  # None: the school's setting
    cap_week: int | None = None
    days: frozenset[int] | None = None  # weekdays they may cover on (Monday 0); None: every day

    def never_on(self, date: datetime.date) -> bool:
        return self.never or (self.days is not None and date.weekday() not in self.days)


@dataclass(frozen=True)
class FreeTeacher:
    name: str
    subject: str
    covers_today: int
    covers_in_window: int
    load: int = 0  # lessons and covers that day
    # "last resort", "at a cap of 2 a day", "not on Fridays", "never covers"; "" for a candidate
    note: str = ""
    first: bool = False  # of the lesson's subject, asked before the rest (within the margin)


@dataclass(frozen=True)
class WhyMe:
    """One teacher's covers against fair shares, for "why me?"."""

    name: str
    window_start: datetime.date
    covers_in_window: int  # before the day asked about
    fair_share: Fraction  # the window's covers shared pro rata among the staff
    days_in: Fraction  # share of the week in school
    cap_left: int | None  # covers the day's caps still allow; None: no cap
    flags: tuple[str, ...]
    today: tuple[AbsentLesson, ...]  # the day's covers, each with its reason
    earlier: tuple[
        tuple[datetime.date, str, int, str, str], ...
    ]  # day, teacher, period, classes, how


# Unset arguments of set_staff_rule keep what the record has.
_KEEP: Any = object()


# The longest cycle of school days a window may count back over: a school year
# and more. A longer one is a typing slip, and counting it back day by day
# would run for minutes and off the calendar.
MAX_CYCLE_DAYS = 400


def window_start(
    settings: Settings,
    date: datetime.date,
    where: StrPath = SETTINGS_FILE,
    calendar: Calendar | None = None,
) -> datetime.date:
    """The first day of the school's window for fair shares that ends with `date`:
    the first day of its school week, the first of the last `cycle_days` school
    days (its weekdays, less closures), or the start of term."""
    calendar = calendar or Calendar(frozenset(range(5)), settings.closed)
    if settings.window == "week":
        return calendar.week_start(date)
    if settings.window == "cycle":
        if settings.cycle_days > MAX_CYCLE_DAYS:
            raise DeskError(
                f"{where}: cycle_days = {settings.cycle_days} is longer than a school year "
                f"(at most {MAX_CYCLE_DAYS} school days)"
            )
        return calendar.back(date, settings.cycle_days)
    if settings.term_start is None:
        raise DeskError(f'{where}: window = "term" needs term_start (e.g. "2026-01-05")')
    try:
        start = datetime.date.fromisoformat(settings.term_start)
    except ValueError:
        raise DeskError(
            f"{where}: term_start {shown(settings.term_start)} is not a date written YYYY-MM-DD"
        ) from None
    return min(start, date)


def record_names(path: StrPath | None) -> tuple[str, ...]:
    """The names in the school folder that are the record's, not the school's: the
    usual record and its journals, and the record at `path` when it is elsewhere
    named (every commit changes them)."""
    names = [DB_NAME]
    if path is not None:
        names.append(os.path.basename(os.fspath(path)))
    return tuple(names)


def _read_only_uri(path: str) -> str:
    """SQLite's URI opening `path` for reading only. The characters a URI gives
    a meaning are escaped by hand: urllib.parse would cost every reading
    command its import."""
    escaped = os.path.abspath(path)
    for char, code in (("%", "%25"), ("?", "%3f"), ("#", "%23")):
        escaped = escaped.replace(char, code)
    return f"file:{escaped}?mode=ro"


def _writable(path: str) -> bool:
    """Whether the record and its folder (where SQLite keeps its -wal and -shm
    files) can both be written."""
    return os.access(path, os.W_OK) and os.access(os.path.dirname(os.path.abspath(path)), os.W_OK)


def _create_private(path: str) -> None:
    """A new record is made readable by its owner alone (absence reasons are
    private); SQLite gives its -wal and -shm files the record's own mode."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
    except FileExistsError:
        pass
    except OSError as error:
        raise DeskError(f"{path}: cannot make the record: {error.strerror}") from None


def _now() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def _day_text(date: datetime.date) -> str:
    return date.isoformat()


def _out(member: StaffMember, period: int) -> bool:
    return member.out_in(period)


class Desk:
    """A school's record, with the folder it belongs to."""

    def __init__(
        self, folder: str, path: str | None, connection: sqlite3.Connection, settings: Settings
    ) -> None:
        self.folder = folder
        self.path = path  # None for an empty record kept in memory
        self.settings = settings
        self._db = connection
        self._week_key: object = None
        self._week: Week | None = None
        self._calendar: tuple[Week, Calendar] | None = None
        self._shares: tuple[Week, dict[str, Fraction]] | None = None

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
        folder = os.fspath(folder)
        if not os.path.isdir(folder):
            raise DeskError(f"{folder}: not a school folder (no such folder)")
        try:
            settings = load_settings(folder)
        except InputError as error:
            raise DeskError(str(error)) from None
        path = os.fspath(db) if db is not None else os.path.join(folder, DB_NAME)
        if os.path.isdir(path):
            raise DeskError(f"{path}: is a folder; give the record's file name")
        memory = not create and not os.path.exists(path)
        if not create and not memory and not _writable(path):
            # A reading command reads: a read-only folder or record is no obstacle.
            # (Where both can be written it opens the record as a writer does: a
            # read-only connection would leave the -wal and -shm files behind.)
            desk = cls._open_read_only(folder, path, settings, timeout)
            if desk is not None:
                return desk
        if create:
            _create_private(path)
        try:
            connection = sqlite3.connect(
                ":memory:" if memory else path, timeout=timeout, isolation_level=None
            )
        except sqlite3.Error as error:
            raise DeskError(f"{path}: cannot open the record: {error}") from None
        desk = cls(folder, None if memory else path, connection, settings)
        try:
            with desk._errors():
                # The timeout is the wait for another command's write to finish.
                connection.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
                # Recognised (or made) first: another program's database is left as it was.
                desk._migrate()
                if not memory:
                    # Readers go on while a publish writes, and a crash rolls back cleanly.
                    connection.execute("PRAGMA journal_mode = WAL")
        except BaseException:
            connection.close()
            raise
        return desk

    @classmethod
    def _open_read_only(
        cls, folder: str, path: str, settings: Settings, timeout: float
    ) -> Desk | None:
        """The record opened for reading only, or None when it must first be
        brought to this version (which writes). A WAL record read where its
        -shm file cannot be made (a read-only folder) is read as immutable:
        nobody can write it there either."""
        uri = _read_only_uri(path)
        where = os.path.dirname(os.path.abspath(path))
        if not os.access(where, os.W_OK) and not os.path.exists(path + "-wal"):
            uri += "&immutable=1"
        try:
            connection = sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
        except sqlite3.Error as error:
            raise DeskError(f"{path}: cannot open the record: {error}") from None
        desk = cls(folder, path, connection, settings)
        try:
            with desk._errors():
                connection.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
                version = connection.execute("PRAGMA user_version").fetchone()[0]
                if version < SCHEMA_VERSION:
                    connection.close()
                    return None
                desk._migrate()  # at this version: checks that it is a rotavel record
        except BaseException:
            connection.close()
            raise
        return desk

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

    @property
    def _where(self) -> str:
        return str(self.path) if self.path is not None else "the record"

    # -- transactions ---------------------------------------------------------

    @contextmanager
    def _errors(self) -> Iterator[None]:
        """SQLite's errors as one line for the user."""
        try:
            yield
        except sqlite3.OperationalError as error:
            text = str(error)
            if "locked" in text or "busy" in text:
                raise DeskError(
                    f"{self._where} is busy: another rotavel command is writing to it; "
                    "nothing was changed, try again"
                ) from None
            if "readonly" in text:
                raise DeskError(f"{self._where}: cannot write the record: read-only") from None
            if "unable to open" in text and self.path is not None:
                where = os.path.dirname(os.path.abspath(self.path))
                if not os.access(where, os.W_OK):  # SQLite makes its -wal and -shm files there
                    raise DeskError(
                        f"{self._where}: cannot write the record: its folder is read-only "
                        "(commands that only read still work)"
                    ) from None
            if "disk is full" in text or ("disk I/O error" in text and self._disk_full()):
                raise DeskError(
                    f"{self._where}: cannot write the record: the disk is full; nothing was changed"
                ) from None
            raise DeskError(f"{self._where}: {text}") from None
        except sqlite3.ProgrammingError:
            raise  # the program's fault (a closed desk), not the record's: not "not a record"
        except sqlite3.DatabaseError as error:
            raise DeskError(f"{self._where}: not a rotavel record ({error})") from None

    def _disk_full(self) -> bool:
        """Whether the record's disk has no room left: SQLite tells a full disk met
        while writing its -wal or -shm file as an I/O error."""
        try:
            info = os.statvfs(os.path.dirname(os.path.abspath(self.path or ".")))
        except OSError:
            return False
        return info.f_bavail * info.f_frsize < 64 * 1024

    # -- backup and restore ---------------------------------------------------

    def backup(self, target: StrPath) -> None:
        """A copy of the whole record into `target`, taken with SQLite's online
        backup in one step, so one consistent snapshot even while others
        publish; made beside `target` (readable by its owner alone) and put in
        its place only once complete."""
        target = os.fspath(target)
        if self.path is None:
            raise DeskError(f"{self.folder}: no record to back up yet")
        if os.path.isdir(target):
            raise DeskError(f"{target}: is a folder; give the backup's file name")
        if os.path.exists(target) and os.path.samefile(target, self.path):
            raise DeskError(f"{target}: is the record itself; give another file")
        folder, name = os.path.split(os.path.abspath(target))
        temporary = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
        try:
            _create_private(temporary)
            copy = sqlite3.connect(temporary, isolation_level=None)
            try:
                with self._errors():
                    self._db.backup(copy)
                    # One file, readable without its -wal beside it.
                    copy.execute("PRAGMA journal_mode = DELETE")
            finally:
                copy.close()
            with open(temporary, "rb") as written:
                os.fsync(written.fileno())
            os.replace(temporary, target)
        except OSError as error:
            raise DeskError(f"{target}: cannot write the backup: {error.strerror}") from None
        finally:
            if os.path.exists(temporary):
                os.unlink(temporary)

    def restore(self, source: StrPath) -> None:
        """The record replaced by the backup in `source`, which must be a whole
        rotavel record; all of it in one transaction (with SQLite's backup), so
        that if anything fails the record stays as it was, and readers see the
        old record or the new one."""
        source = os.fspath(source)
        if self.path is None:
            raise DeskError(f"{self.folder}: no record to restore into")
        if not os.path.isfile(source):
            raise DeskError(f"{source}: no such backup file")
        if os.path.samefile(source, self.path):
            raise DeskError(f"{source}: is the record itself; give the backup's file")
        uri = _read_only_uri(source)
        try:
            backup = sqlite3.connect(uri, uri=True, isolation_level=None)
        except sqlite3.Error as error:
            raise DeskError(f"{source}: cannot open the backup: {error}") from None
        try:
            try:
                application, version, check = (
                    backup.execute("PRAGMA application_id").fetchone()[0],
                    backup.execute("PRAGMA user_version").fetchone()[0],
                    backup.execute("PRAGMA integrity_check").fetchone()[0],
                )
            except sqlite3.DatabaseError as error:
                raise DeskError(f"{source}: not a rotavel record ({error})") from None
            if application != APPLICATION_ID or not 0 < version <= SCHEMA_VERSION:
                raise DeskError(f"{source}: not a rotavel record (or one of a newer rotavel)")
            if check != "ok":
                raise DeskError(f"{source}: the backup is damaged ({check})")
            with self._errors():
                backup.backup(self._db)
        finally:
            backup.close()
        self._week_key = None
        with self._errors():
            self._migrate()  # a backup of an older version is brought to this one

    @contextmanager
    def _transaction(self, write: bool) -> Iterator[None]:
        """One transaction: all of its writes or none, and one snapshot for its reads."""
        with self._errors():
            self._db.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            try:
                yield
            except BaseException:
                if self._db.in_transaction:  # a full disk has SQLite roll back itself
                    self._db.execute("ROLLBACK")
                raise
            try:
                self._db.execute("COMMIT")
            except BaseException:
                if self._db.in_transaction:
                    self._db.execute("ROLLBACK")
                raise

    def _migrate(self) -> None:
        version = self._db.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise DeskError(
                f"{self._where} was written by a newer rotavel (record version {version}; "
                f"this one reads up to {SCHEMA_VERSION})"
            )
        if version == SCHEMA_VERSION:
            self._check_application()
            return
        with self._transaction(write=True):
            # Another command may have migrated it while this one waited.
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            if version == 0:
                if self._db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                    raise DeskError(f"{self._where}: not a rotavel record (it has other tables)")
                # PRAGMAs take no parameters; the values are the code's own integers.
                self._db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            else:
                self._check_application()
            for step in MIGRATIONS[version:]:
                for statement in step:
                    self._db.execute(statement)
            self._db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")

    def _check_application(self) -> None:
        if self._db.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
            raise DeskError(f"{self._where}: not a rotavel record")

    def _reading(self) -> Any:
        return self._transaction(write=False)

    def _writing(self) -> Any:
        return self._transaction(write=True)

    # -- the school -----------------------------------------------------------

    def _school_week(self) -> Week:
        """The folder's week (its CSV files, or a timetabling program's export
        in it), read again only when the contents of one of its files changed:
        the same version of the files as the web pages' (one function for both)."""
        try:
            key = school_version(self.folder, record_names(self.path))
        except OSError as error:
            raise DeskError(f"{self.folder}: cannot read the folder: {error.strerror}") from None
        if self._week is None or key != self._week_key:
            try:
                imported = read_export(self.folder)
                self._week = imported if imported is not None else read_folder(self.folder)
            except InputError as error:
                raise DeskError(str(error)) from None
            self._week_key = key
        return self._week

    def window_start(self, date: datetime.date) -> datetime.date:
        """The first day of the school's window for fair shares that ends with `date`."""
        where = os.path.join(self.folder, SETTINGS_FILE)
        return window_start(self.settings, date, where, self.calendar())

    def calendar(self) -> Calendar:
        """The school's calendar: its weekdays, closures and cycle."""
        week = self._school_week()
        if self._calendar is None or self._calendar[0] is not week:
            self._calendar = (week, school_calendar(week, self.settings))
        return self._calendar[1]

    def school_periods(self) -> tuple[int, int] | None:
        """The first and last period of the school's day."""
        return school_periods(self._school_week(), self.settings)

    @property
    def school_name(self) -> str:
        return self.settings.name or self._school_week().name

    def staff_names(self) -> list[str]:
        """The teacher list's names, in its order."""
        return [row.name for row in self._school_week().staff]

    def _known(self, name: str, what: str = "teacher") -> str:
        names = self.staff_names()
        if name not in names:
            raise DeskError(
                f"unknown {what} {shown(name)} (not in {self._school_week().source})"
                + did_you_mean(name, names)
            )
        return name

    def day(self, date: datetime.date) -> SchoolDay:
        """The school's day for `date`, with the record's absences applied."""
        with self._reading():
            return self._day(date)

    def _day(self, date: datetime.date, timetable_day: str | None = None) -> SchoolDay:
        """The day `date` (on the timetable's `timetable_day` when given, for
        looking at a day of a school whose days the calendar cannot tell)."""
        try:
            wanted = DayWanted(day=timetable_day, date=date)
            day = choose_day(self._school_week(), wanted, self.settings)
        except InputError as error:
            # The record is kept by date, so the desk plans the date's weekday
            # and has no --day to choose another; the hint would mislead.
            raise DeskError(
                str(error)
                .replace(" (choose one with --day)", "")
                .replace(" (choose a day with --day)", "")
            ) from None
        notes = list(day.notes)
        absences = []
        left_out: set[str] = set()
        for entry in self._absences(date, date):
            if entry.name not in day.staff:
                if entry.name not in left_out:
                    left_out.add(entry.name)
                    notes.append(
                        f"absence #{entry.id} of {shown(entry.name)} left out: "
                        f"not in {day.teacher_file}"
                    )
                continue
            absences.append(
                Absence(entry.name, entry.reason or None, f"absence #{entry.id}", entry.periods)
            )
        # Absences on one day add up, as the command's own options do. Periods a
        # changed timetable no longer has were checked when entered: not again.
        periods = day.school_periods
        day = apply_absences(replace(day, school_periods=None), absences)
        return replace(day, notes=tuple(notes), school_periods=periods)

    # -- absences -------------------------------------------------------------

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

    def add_absences(
        self,
        absences: Iterable[tuple[str, datetime.date, datetime.date, frozenset[int] | None, str]],
    ) -> list[int]:
        """Enter several absences at once: all of them, or none when one is wrong."""
        return self.enter_absences(absences)[0]

    def enter_absences(
        self,
        absences: Iterable[tuple[str, datetime.date, datetime.date, frozenset[int] | None, str]],
    ) -> tuple[list[int], list[str]]:
        """`add_absences`, with what is worth telling: an absence merged into
        one it overlaps, or kept for the school days of its range. A single day
        the school is shut, a range with no school day, or periods outside the
        school day are refused."""
        absences = list(absences)
        calendar = self.calendar()
        school = self.school_periods()
        notes = []
        for name, first, last, periods, _ in absences:
            self._known(name)
            if last < first:
                raise DeskError(
                    f"the absence of {shown(name)} ends ({last}) before it starts ({first})"
                )
            if periods is not None and not periods:
                raise DeskError(f"the absence of {shown(name)} names no period")
            try:
                check_periods(periods, school, f"the absence of {shown(name)}")
            except InputError as error:
                raise DeskError(str(error)) from None
            days = calendar.school_days(first, last)
            if first == last and not days:
                problem = calendar.refusal(first, f"the absence of {shown(name)} on {first}")
                assert problem is not None
                raise DeskError(problem.replace(" (choose a day with --day)", ""))
            if not days:
                raise DeskError(
                    f"the absence of {shown(name)} from {first} to {last} has no school day "
                    f"(the school days are {calendar.days_text()})"
                )
            if len(days) <= (last - first).days:
                notes.append(
                    f"the absence of {shown(name)} from {first} to {last} counts its "
                    f"{len(days)} school day{'s' if len(days) > 1 else ''} only"
                )
        numbers = []
        with self._writing():
            for absence in absences:
                number, merged, apart = self._enter(*absence)
                numbers.append(number)
                who = shown(absence[0])
                if merged:
                    notes.append(f"the absence of {who} is merged into absence #{number}")
                if apart:
                    others = ", ".join(f"#{n}" for n in apart)
                    notes.append(
                        f"absence #{number} of {who} overlaps {others} with other periods; "
                        "on the days they share, the periods of both are away"
                    )
        return numbers, notes

    def _enter(
        self,
        name: str,
        first: datetime.date,
        last: datetime.date,
        periods: frozenset[int] | None,
        reason: str,
    ) -> tuple[int, bool, list[int]]:
        """Record one absence, merged into those of the teacher it overlaps;
        its number, whether it was merged, and the numbers of those it
        overlaps but cannot be one with (other periods over other days)."""
        rows = self._db.execute(
            "SELECT id, teacher, first_day, last_day, periods, reason FROM absence "
            "WHERE teacher = ? AND first_day <= ? AND last_day >= ? ORDER BY id",
            (name, _day_text(last), _day_text(first)),
        ).fetchall()
        entered = AbsenceRecord(0, name, first, last, periods, reason)
        target: int | None = None
        apart = []
        for row in rows:
            recorded = _absence_record(row)
            combined = _combined(entered, recorded)
            if combined is None:
                # Other periods over other days: two absences, adding up on the days they share.
                apart.append(recorded)
                continue
            entered = combined
            if target is None:
                target = recorded.id
            else:
                self._db.execute("DELETE FROM absence WHERE id = ?", (recorded.id,))
        values = (
            _day_text(entered.first),
            _day_text(entered.last),
            _numbers(entered.periods),
            entered.reason,
        )
        if target is not None:
            self._db.execute(
                "UPDATE absence SET first_day = ?, last_day = ?, periods = ?, reason = ? "
                "WHERE id = ?",
                (*values, target),
            )
            return target, True, [r.id for r in apart]
        cursor = self._db.execute(
            "INSERT INTO absence (teacher, first_day, last_day, periods, reason, entered_at) "
            "VALUES (?, ?, ?, ?, ?, ?)",
            (name, *values, _now()),
        )
        assert cursor.lastrowid is not None
        return cursor.lastrowid, False, [r.id for r in apart]

    def end_absence(self, absence_id: int, last: datetime.date) -> None:
        """Make `last` the absence's last day (shorter or longer)."""
        with self._writing():
            absence = self._absence(absence_id)
            if last < absence.first:
                raise DeskError(
                    f"absence #{absence_id} starts on {absence.first}; it cannot end on {last} "
                    "(cancel it instead)"
                )
            self._db.execute(
                "UPDATE absence SET last_day = ? WHERE id = ?", (_day_text(last), absence_id)
            )

    def cancel_absence(self, absence_id: int) -> None:
        with self._writing():
            self._absence(absence_id)
            self._db.execute("DELETE FROM absence WHERE id = ?", (absence_id,))

    def absence(self, absence_id: int) -> AbsenceRecord:
        with self._reading():
            return self._absence(absence_id)

    def _absence(self, absence_id: int) -> AbsenceRecord:
        row = self._db.execute(
            "SELECT id, teacher, first_day, last_day, periods, reason FROM absence WHERE id = ?",
            (absence_id,),
        ).fetchone()
        if row is None:
            raise DeskError(f"no absence #{absence_id} in {self._where}")
        return _absence_record(row)

    def absences_on(self, date: datetime.date) -> list[AbsenceRecord]:
        return self.absences(date, date)

    def absences(self, first: datetime.date, last: datetime.date) -> list[AbsenceRecord]:
        """Every absence with a day from `first` to `last`, in the order entered."""
        with self._reading():
            return self._absences(first, last)

    def _absences(self, first: datetime.date, last: datetime.date) -> list[AbsenceRecord]:
        rows = self._db.execute(
            "SELECT id, teacher, first_day, last_day, periods, reason FROM absence "
            "WHERE first_day <= ? AND last_day >= ? ORDER BY id",
            (_day_text(last), _day_text(first)),
        )
        return [_absence_record(row) for row in rows]

    # -- staff rules ----------------------------------------------------------

    def staff_rules(self) -> dict[str, StaffRule]:
        with self._reading():
            return self._staff_rules()

    def _staff_rules(self) -> dict[str, StaffRule]:
        rows = self._db.execute(
            "SELECT name, never, last_resort, cap_day, cap_week, days FROM staff_rule ORDER BY name"
        )
        return {
            name: StaffRule(bool(never), bool(last_resort), cap_day, cap_week, _read_numbers(days))
            for name, never, last_resort, cap_day, cap_week, days in rows
        }

    def set_staff_rule(
        self,
        name: str,
        never: bool = _KEEP,
        last_resort: bool = _KEEP,
        cap_day: int | None = _KEEP,
        cap_week: int | None = _KEEP,
        days: frozenset[int] | None = _KEEP,
    ) -> StaffRule:
        """Change a teacher's rule; what is not given stays. Returns the rule now."""
        self._known(name)
        for label, cap in (("cap_day", cap_day), ("cap_week", cap_week)):
            if cap is not _KEEP and cap is not None and (not isinstance(cap, int) or cap < 0):
                raise DeskError(f"{label} must be a whole number, 0 or more, not {cap!r}")
        if days is not _KEEP and days is not None and not set(days) <= set(range(7)):
            raise DeskError(
                f"days must be weekday numbers from 0 (Monday) to 6, not {sorted(days)}"
            )
        with self._writing():
            rule = self._staff_rules().get(name, StaffRule())
            changes: dict[str, Any] = {
                key: value
                for key, value in (
                    ("never", never),
                    ("last_resort", last_resort),
                    ("cap_day", cap_day),
                    ("cap_week", cap_week),
                    ("days", days),
                )
                if value is not _KEEP
            }
            rule = replace(rule, **changes)
            if rule == StaffRule():
                self._db.execute("DELETE FROM staff_rule WHERE name = ?", (name,))
            else:
                self._db.execute(
                    "INSERT INTO staff_rule (name, never, last_resort, cap_day, cap_week, days) "
                    "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (name) DO UPDATE SET "
                    "never = excluded.never, last_resort = excluded.last_resort, "
                    "cap_day = excluded.cap_day, cap_week = excluded.cap_week, days = excluded.days",
                    (
                        name,
                        int(rule.never),
                        int(rule.last_resort),
                        rule.cap_day,
                        rule.cap_week,
                        _numbers(rule.days),
                    ),
                )
        return rule

    def clear_staff_rule(self, name: str) -> None:
        with self._writing():
            self._db.execute("DELETE FROM staff_rule WHERE name = ?", (name,))

    # -- the rules handed to the module ---------------------------------------

    def rules(self, date: datetime.date) -> Rules:
        """What the record adds to planning `date`."""
        with self._reading():
            return self._rules(self._day(date))[0]

    def _counts(
        self, first: datetime.date, last: datetime.date, leave_out: datetime.date | None = None
    ) -> dict[str, int]:
        """Covers per substitute from `first` to `last`, without the day `leave_out`."""
        rows = self._db.execute(
            "SELECT substitute, count(*) FROM cover WHERE day >= ? AND day <= ? AND day != ? "
            "AND substitute IS NOT NULL GROUP BY substitute",
            (_day_text(first), _day_text(last), _day_text(leave_out) if leave_out else ""),
        )
        return dict(rows.fetchall())

    def _rules(self, day: SchoolDay) -> tuple[Rules, list[str]]:
        date = day.date
        assert date is not None
        settings = self.settings
        before = date - datetime.timedelta(1)
        window = self._counts(self.window_start(date), before)
        rules = self._staff_rules()
        monday = self.calendar().week_start(date)  # the school week's first day
        week: dict[str, int] | None = None
        cap_day: dict[str, int] = {}
        for name in day.staff:
            rule = rules.get(name, StaffRule())
            day_cap = rule.cap_day if rule.cap_day is not None else settings.cap_day
            week_cap = rule.cap_week if rule.cap_week is not None else settings.cap_week
            caps = [] if day_cap is None else [day_cap]
            if week_cap is not None:
                if week is None:  # the week's other days, published before or after this one
                    week = self._counts(monday, monday + datetime.timedelta(6), leave_out=date)
                caps.append(max(0, week_cap - week.get(name, 0)))
            if caps:
                cap_day[name] = min(caps)
        staff = day.staff
        never = frozenset(n for n, r in rules.items() if n in staff and r.never_on(date))
        last_resort = frozenset(n for n, r in rules.items() if n in staff and r.last_resort)
        decided, notes = self._decided(day)
        # Fair shares need a record to remember them; without one the desk
        # plans as the command does.
        fair = self.path is not None
        return Rules(
            covers_in_window={n: c for n, c in window.items() if n in staff},
            cap_day=cap_day,
            never=never,
            last_resort=last_resort - never,
            decided=decided,
            margin=settings.margin if fair else None,
            days_in=self._days_in() if fair else {},
        ), notes

    def _days_in(self) -> dict[str, Fraction]:
        """Each part-timer's share of the timetable's days (3 days of 5 is
        3/5), read again only when the folder changes; full-timers are left out."""
        week = self._school_week()
        if self._shares is not None and self._shares[0] is week:
            return self._shares[1]
        # The teacher list's days, else the days taught (staff who teach no
        # day are in every day), as the planned day tells who is in.
        days = _Days(week)
        if days.single:
            shares: dict[str, Fraction] = {}
        else:
            first = {s: d for d, spellings in days.groups.items() for s in spellings}
            taught: dict[str, set[str]] = {}
            for row in week.rows():
                taught.setdefault(row.teacher, set()).add(first[row.day])
            shares = {}
            for member in week.staff:
                listed = [d.strip() for d in re.split(r"[,;/+]", member.days) if d.strip()]
                if member.days:
                    days_in = sum(days.matches(day, listed, _member_stub) for day in days.groups)
                elif member.name in taught:
                    days_in = len(taught[member.name])
                else:
                    continue
                if 0 < days_in < len(days.groups):
                    shares[member.name] = Fraction(days_in, len(days.groups))
        self._shares = (week, shares)
        return shares

    def _decided(self, day: SchoolDay) -> tuple[dict[tuple[str, int], Decision], list[str]]:
        """The record's decisions for the day that still hold, and a note for
        each that does not (it is planned again, and dropped when published)."""
        assert day.date is not None
        lessons = {(lesson.teacher, lesson.period): lesson for lesson in day.lessons}
        staff = day.staff
        teaching = _teaching(day)
        used: dict[tuple[str, int], CoverRecord] = {}
        decided: dict[tuple[str, int], Decision] = {}
        notes: list[str] = []
        # Hand decisions first: if two decisions ever give one teacher the same
        # period, the one made by hand stands.
        for cover in sorted(self._covers(day.date), key=lambda r: r.how != BY_HAND):
            if cover.how == TEAM or (cover.how == PLANNED and cover.substitute is None):
                continue  # settled again by every plan
            key = (cover.teacher, cover.period)
            lesson = lessons.get(key)
            what = f"{cover.teacher}'s {cover.classes} in period {cover.period}"
            if (
                lesson is None
                or cover.teacher not in staff
                or not _out(staff[cover.teacher], cover.period)
            ):
                notes.append(
                    f"{what} no longer needs cover; the record's "
                    f"{'cover' if cover.substitute else 'decision'} is dropped when "
                    "the day is published"
                )
                continue
            substitute = cover.substitute
            if substitute is not None:
                problem = _cannot_cover(staff, teaching, used, substitute, cover.period)
                if problem:
                    notes.append(f"{what} is planned again: {substitute} {problem}")
                    continue
                used[substitute, cover.period] = cover
            decided[key] = Decision(substitute, cover.how)
        return decided, notes

    # -- plans ----------------------------------------------------------------

    def _plan(self, date: datetime.date, timetable_day: str | None = None) -> tuple[Plan, Rules]:
        day = self._day(date, timetable_day)
        rules, notes = self._rules(day)
        if notes:
            day = replace(day, notes=day.notes + tuple(notes))
        return make_plan(day, rules), rules

    def plan(self, date: datetime.date, timetable_day: str | None = None) -> Plan:
        """The day's plan: what the record decided kept, the rest planned now
        (nothing is stored). `timetable_day` plans the date on that day of the
        timetable, for looking only: the record keeps plans by the calendar's day."""
        with self._reading():
            return self._plan(date, timetable_day)[0]

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
        with self._writing():
            if shown is not None and still_current is not None and still_current():
                plan = shown
            else:
                plan, _ = self._plan(date)
            self._store(date, plan, by)
        return plan

    def others_wrote(self) -> int:
        """A number that changes whenever another connection, in this process or any
        other, commits to the record, and never for this desk's own commits: equal
        before and after a change of ours, it says the change was the only one."""
        with self._errors():
            return int(self._db.execute("PRAGMA data_version").fetchone()[0])

    def _store(self, date: datetime.date, plan: Plan, by: str = "command") -> None:
        day = _day_text(date)
        old = {(r.teacher, r.period): r for r in self._covers(date)}
        now = _now()
        wanted = [
            CoverRecord(
                date,
                a.lesson.teacher,
                a.lesson.period,
                a.lesson.class_label,
                a.lesson.room,
                a.substitute,
                a.how,
            )
            for a in plan.absent_lessons
        ]
        changed = [r for r in wanted if old.get((r.teacher, r.period)) != r]
        gone = old.keys() - {(r.teacher, r.period) for r in wanted}
        shown = publishing.wanted(self._db, day, plan)
        if not changed and not gone and self._published_revision(day) is not None:
            told = {key: lesson for key, (lesson, _) in publishing.published(self._db, day).items()}
            if told == shown:
                return  # published as it is already: nothing to store, nothing for others to see
        pause = float(os.environ.get(PAUSE_ENV) or 0)
        half = len(changed) // 2
        for number, cover in enumerate(changed):
            if number == half and pause:
                print(f"{PAUSE_ENV}: pausing for {pause:g} s", file=sys.stderr, flush=True)
                time.sleep(pause)
            self._db.execute(
                "INSERT INTO cover (day, teacher, period, classes, room, substitute, how, "
                "decided_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (day, teacher, period) DO UPDATE SET classes = excluded.classes, "
                "room = excluded.room, substitute = excluded.substitute, how = excluded.how, "
                "decided_at = excluded.decided_at",
                (
                    day,
                    cover.teacher,
                    cover.period,
                    cover.classes,
                    cover.room,
                    cover.substitute,
                    cover.how,
                    now,
                ),
            )
        self._db.executemany(
            "DELETE FROM cover WHERE day = ? AND teacher = ? AND period = ?",
            [(day, teacher, period) for teacher, period in sorted(gone)],
        )
        # What people are shown, and whom to tell, changes only with what they are shown.
        publishing.store(self._db, day, shown, now, by, tell=self.settings.mail is not None)

    def _published_revision(self, day: str) -> int | None:
        row = self._db.execute(
            "SELECT revision FROM published_day WHERE day = ?", (day,)
        ).fetchone()
        return None if row is None else int(row[0])

    def published(self, date: datetime.date) -> list[CoverRecord]:
        """The day's absent lessons as last published: what people are shown."""
        with self._reading():
            rows = publishing.published(self._db, _day_text(date))
        return [
            CoverRecord(date, teacher, period, s.classes, s.room, s.substitute, s.how)
            for (teacher, period), (s, _) in rows.items()
        ]

    def recorded(self, date: datetime.date) -> list[CoverRecord]:
        """The record's absent lessons of the day as the desk has them now: the
        plan last stored and the decisions made by hand since (the draft)."""
        with self._reading():
            return self._covers(date)

    def publication(self, date: datetime.date) -> tuple[str, int] | None:
        """When the day was last published and how many times, or None."""
        with self._reading():
            row = self._db.execute(
                "SELECT published_at, revision FROM published_day WHERE day = ?",
                (_day_text(date),),
            ).fetchone()
        return None if row is None else (row[0], row[1])

    def published_days(self, first: datetime.date, last: datetime.date) -> list[datetime.date]:
        """The days from `first` to `last` that have a published plan."""
        with self._reading():
            rows = self._db.execute(
                "SELECT day FROM published_day WHERE day >= ? AND day <= ? ORDER BY day",
                (_day_text(first), _day_text(last)),
            ).fetchall()
        return [datetime.date.fromisoformat(day) for (day,) in rows]

    def _covers(self, date: datetime.date) -> list[CoverRecord]:
        rows = self._db.execute(
            "SELECT teacher, period, classes, room, substitute, how FROM cover WHERE day = ? "
            "ORDER BY rowid",
            (_day_text(date),),
        )
        return [CoverRecord(date, *row) for row in rows]

    # -- decisions by hand ----------------------------------------------------

    def _absent_lesson(self, day: SchoolDay, teacher: str, period: int) -> Lesson:
        self._known(teacher)
        when = f"on {day.date}"
        lesson = next((x for x in day.lessons if x.teacher == teacher and x.period == period), None)
        if lesson is None:
            taught = sorted({x.period for x in day.lessons if x.teacher == teacher})
            has = (
                f"; {teacher} teaches in periods {', '.join(map(str, taught))}"
                if taught
                else (f"; {teacher} teaches no lesson that day")
            )
            raise DeskError(f"{teacher} has no lesson in period {period} {when}{has}")
        if not _out(day.staff[teacher], period):
            raise DeskError(
                f"{teacher} is not absent in period {period} {when}; enter the absence first "
                "(rotavel absent)"
            )
        return lesson

    def assign(
        self, date: datetime.date, absent_teacher: str, period: int, substitute: str
    ) -> None:
        """Give an absent teacher's lesson to `substitute` by hand. Refused when
        the substitute is busy then: teaching, absent, or covering another lesson."""
        with self._writing():
            day = self._day(date)
            lesson = self._absent_lesson(day, absent_teacher, period)
            self._known(substitute, "substitute")
            staff = day.staff
            teaching = _teaching(day)
            covering = {
                (r.substitute, r.period): r
                for r in self._covers(date)
                if r.substitute is not None
                and (r.teacher, r.period) != (absent_teacher, period)
                and r.teacher in staff
                and _out(staff[r.teacher], r.period)
            }
            problem = _cannot_cover(staff, teaching, covering, substitute, period)
            if problem:
                raise DeskError(
                    f"cannot give {substitute} {absent_teacher}'s {lesson.class_label} in period "
                    f"{period} on {date}: {substitute} {problem}"
                )
            self._decide(date, lesson, substitute, BY_HAND)

    def no_cover(self, date: datetime.date, absent_teacher: str, period: int) -> None:
        """Mark an absent teacher's lesson as needing no cover."""
        with self._writing():
            lesson = self._absent_lesson(self._day(date), absent_teacher, period)
            self._decide(date, lesson, None, NO_COVER)

    def release(self, date: datetime.date, absent_teacher: str, period: int) -> CoverRecord:
        """Take back the record's cover (or no-cover decision) of a lesson, which
        is then planned again. Returns what was released."""
        with self._writing():
            self._known(absent_teacher)
            row = next(
                (
                    r
                    for r in self._covers(date)
                    if (r.teacher, r.period) == (absent_teacher, period)
                    and (r.substitute is not None or r.how == NO_COVER)
                ),
                None,
            )
            if row is None:
                raise DeskError(
                    f"nothing to release: the record has no cover of {absent_teacher}'s lesson "
                    f"in period {period} on {date}"
                )
            self._db.execute(
                "DELETE FROM cover WHERE day = ? AND teacher = ? AND period = ?",
                (_day_text(date), absent_teacher, period),
            )
        return row

    def _decide(
        self, date: datetime.date, lesson: Lesson, substitute: str | None, how: str
    ) -> None:
        self._db.execute(
            "INSERT INTO cover (day, teacher, period, classes, room, substitute, how, decided_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (day, teacher, period) DO UPDATE SET "
            "classes = excluded.classes, room = excluded.room, substitute = excluded.substitute, "
            "how = excluded.how, decided_at = excluded.decided_at",
            (
                _day_text(date),
                lesson.teacher,
                lesson.period,
                lesson.class_label,
                lesson.room,
                substitute,
                how,
                _now(),
            ),
        )

    # -- what people are told (publishing.py) -----------------------------------

    def changes(self, date: datetime.date, plan: Plan | None = None) -> list[publishing.Change]:
        """What publishing the day now (or `plan`) would change for people; [] for
        a day not published yet."""
        day = _day_text(date)
        with self._reading():
            if self._published_revision(day) is None:
                return []
            if plan is None:
                plan = self._plan(date)[0]
            told = {key: lesson for key, (lesson, _) in publishing.published(self._db, day).items()}
            return publishing.diff(told, publishing.wanted(self._db, day, plan))

    def published_plan(self, date: datetime.date) -> Plan | None:
        """The day as published, as a plan, so the board, the slips, GPU014 and the
        e-mail read it as they read any plan; None for a day not published."""
        if self.publication(date) is None:
            return None
        day = self.day(date)
        lessons = {(x.teacher, x.period): x for x in day.lessons}
        items = []
        for cover in self.published(date):
            member = day.staff.get(cover.teacher)
            lesson = lessons.get((cover.teacher, cover.period)) or Lesson(
                cover.teacher, cover.period, (cover.classes,), cover.room
            )
            team: tuple[str, ...] = ()
            if cover.how == TEAM:
                team = tuple(
                    t
                    for t in lesson.team
                    if t in day.staff and not _out(day.staff[t], cover.period)
                )
            items.append(
                AbsentLesson(
                    lesson,
                    member.subject if member else "",
                    member.reason if member else "",
                    cover.substitute,
                    cover.how,
                    team,
                )
            )
        return Plan(day, tuple(items))

    def published_lessons(
        self, date: datetime.date
    ) -> dict[tuple[str, int], tuple[publishing.Shown, int]]:
        """The day as published: each lesson as shown, and the revision that last changed it."""
        with self._reading():
            return publishing.published(self._db, _day_text(date))

    def publications(
        self, first: datetime.date, last: datetime.date
    ) -> list[publishing.Publication]:
        """Every publish of the days from `first` to `last`: when, by whom, what changed."""
        with self._reading():
            return publishing.publications(self._db, _day_text(first), _day_text(last))

    def set_work(self, date: datetime.date, teacher: str, period: int, work: str) -> None:
        """The work an absent teacher sets for a lesson ("" takes it away); people
        are shown it when the day is next published."""
        # A textarea sends its lines as CRLF; the record keeps line feeds.
        work = work.replace("\r\n", "\n").strip()
        if len(work) > publishing.WORK_LIMIT:
            raise DeskError(f"set work is longer than {publishing.WORK_LIMIT} characters")
        if not work.replace("\n", " ").isprintable():
            raise DeskError("set work holds control characters; write plain text or a link")
        with self._writing():
            self._absent_lesson(self._day(date), teacher, period)
            if work:
                self._db.execute(
                    "INSERT INTO set_work (day, teacher, period, work) VALUES (?, ?, ?, ?) "
                    "ON CONFLICT (day, teacher, period) DO UPDATE SET work = excluded.work",
                    (_day_text(date), teacher, period, work),
                )
            else:
                self._db.execute(
                    "DELETE FROM set_work WHERE day = ? AND teacher = ? AND period = ?",
                    (_day_text(date), teacher, period),
                )

    def work(self, date: datetime.date) -> dict[tuple[str, int], str]:
        """The day's set work as the desk has it now (the draft)."""
        with self._reading():
            return publishing.set_work(self._db, _day_text(date))

    def personal_link(self, name: str, renew: bool = False) -> str:
        """The secret of a teacher's personal link (made on first use); renewed,
        the old link opens nothing."""
        self._known(name)
        with self._writing():
            return publishing.link_token(self._db, name, _now(), renew)

    def teacher_of_link(self, token: str) -> str | None:
        with self._reading():
            return publishing.name_of_token(self._db, token)

    def duties(self, name: str, first: datetime.date, last: datetime.date) -> list[publishing.Duty]:
        """A substitute's covers from `first` to `last` as they were told of them."""
        with self._reading():
            return publishing.duties_of(self._db, name, _day_text(first), _day_text(last))

    def duties_on(self, date: datetime.date) -> list[publishing.Duty]:
        with self._reading():
            return publishing.duties_on(self._db, _day_text(date))

    def mark_seen(self, name: str, date: datetime.date) -> int:
        """A substitute has seen the day's covers; returns how many were new to them."""
        with self._writing():
            return publishing.mark_seen(self._db, name, _day_text(date), _now())

    def emails(self) -> dict[str, str]:
        """Teacher -> e-mail address, for those the teacher list gives one."""
        return {row.name: row.email for row in self._school_week().staff if row.email}

    def queued_mail(self, date: datetime.date | None = None) -> list[publishing.Queued]:
        """E-mail still to send (of `date`, or every day), failed tries included."""
        with self._reading():
            return publishing.queued(self._db, None if date is None else _day_text(date))

    def mail_tried(self, number: int, error: str | None) -> None:
        with self._writing():
            publishing.tried(self._db, number, _now(), error)

    def last_sent(self, date: datetime.date, name: str) -> int:
        with self._reading():
            return publishing.last_sent(self._db, _day_text(date), name)

    # -- who is free, history, export ------------------------------------------

    def free(self, date: datetime.date, plan: Plan | None = None) -> dict[int, list[FreeTeacher]]:
        """For each period of the day, the teachers in school and free once the
        day's plan is made (or once `plan`, made already, is), in the order the
        planner asks them: those it may still ask, by fewer covers (in the
        window and today, pro rata), then by load; then last-resort staff,
        those at their cap, those not covering on this weekday, and those never asked."""
        plan, rules = self._plan_and_rules(date, plan)
        lists = _FreeLists(plan, rules, self._staff_rules())
        return {period: lists.ranked(period) for period in plan.day.periods}

    def offers(
        self, date: datetime.date, plan: Plan | None = None
    ) -> dict[tuple[int, str], list[FreeTeacher]]:
        """(period, absent subject) -> the free teachers as the planner would ask
        them for a lesson of that subject: its own teachers first while within
        the margin (their `first` set), then the rest by fewer covers."""
        plan, rules = self._plan_and_rules(date, plan)
        lists = _FreeLists(plan, rules, self._staff_rules())
        staff = plan.day.staff
        keys = dict.fromkeys(
            (a.lesson.period, staff[a.lesson.teacher].subject_key) for a in plan.absent_lessons
        )
        return {(p, key): lists.ranked(p, key) for p, key in keys}

    def suggestions(
        self, date: datetime.date, teacher: str, period: int, plan: Plan | None = None
    ) -> list[FreeTeacher]:
        """Whom the planner would ask for `teacher`'s lesson in `period`, were
        it open: the free teachers (its present substitute among them, its
        cover not counted) in the planner's order for its subject."""
        plan, rules = self._plan_and_rules(date, plan)
        item = next(
            (
                a
                for a in plan.absent_lessons
                if (a.lesson.teacher, a.lesson.period) == (teacher, period)
            ),
            None,
        )
        if item is None:
            raise DeskError(f"{teacher} has no absent lesson in period {period} on {date}")
        lists = _FreeLists(plan, rules, self._staff_rules(), leave_out=item)
        return lists.ranked(period, plan.day.staff[teacher].subject_key)

    def window_counts(self, date: datetime.date) -> dict[str, int]:
        """Covers per teacher in the window before `date`."""
        with self._reading():
            return self._counts(self.window_start(date), date - datetime.timedelta(1))

    def _plan_and_rules(self, date: datetime.date, plan: Plan | None) -> tuple[Plan, Rules]:
        with self._reading():
            if plan is None:
                return self._plan(date)
            # a publish changes the decisions, not the window, caps or flags
            return plan, self._rules(plan.day)[0]

    def why(self, date: datetime.date, name: str, plan: Plan | None = None) -> WhyMe:
        """Why `name` covers what they cover on `date`: their covers in the
        window against the school's fair share for them, what their caps leave,
        their flags, and each cover's reason."""
        self._known(name)
        plan, rules = self._plan_and_rules(date, plan)
        staff_rule = self.staff_rules().get(name, StaffRule())
        with self._reading():
            start = self.window_start(date)
            before = date - datetime.timedelta(1)
            window = self._counts(start, before)
            rows = self._db.execute(
                "SELECT day, teacher, period, classes, how FROM cover WHERE substitute = ? "
                "AND day >= ? AND day <= ? ORDER BY day, period",
                (name, _day_text(start), _day_text(before)),
            ).fetchall()
        names = list(plan.day.staff)
        days_in = dict(rules.days_in)
        weight = sum(days_in.get(n, Fraction(1)) for n in names) or Fraction(1)
        total = sum(window.get(n, 0) for n in names)
        today = [a for a in plan.covers if a.substitute == name]
        cap = rules.cap_day.get(name)
        given_today = sum(1 for a in plan.covers if a.substitute == name)
        flags = []
        if staff_rule.never:
            flags.append("never covers")
        elif staff_rule.never_on(date):
            flags.append("does not cover on " + _weekday_name(date) + "s")
        if staff_rule.last_resort:
            flags.append("last resort")
        return WhyMe(
            name=name,
            window_start=start,
            covers_in_window=window.get(name, 0),
            fair_share=Fraction(total) * days_in.get(name, Fraction(1)) / weight,
            days_in=days_in.get(name, Fraction(1)),
            cap_left=None if cap is None else max(0, cap - given_today),
            flags=tuple(flags),
            today=tuple(today),
            earlier=tuple(
                (datetime.date.fromisoformat(d), t, p, c, how) for d, t, p, c, how in rows
            ),
        )

    def history(self, first: datetime.date, last: datetime.date) -> list[tuple[str, int]]:
        """Covers per teacher from `first` to `last`: everyone on the teacher
        list (and anyone the record names who is not on it any more), most
        covers first."""
        if last < first:
            raise DeskError(f"the range ends ({last}) before it starts ({first})")
        names = self.staff_names()
        with self._reading():
            counts = self._counts(first, last)
        every = dict.fromkeys(names, 0) | counts
        return sorted(every.items(), key=lambda item: (-item[1], name_key(item[0])))

    def export_csv(self, folder: StrPath) -> list[str]:
        """The whole record as CSV, one file per table (`cover.csv`, ...), read
        in one snapshot; each file is replaced only once written in full."""
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as error:
            raise DeskError(f"{folder}: cannot make the folder: {error.strerror}") from None
        from rotavel_app.pages.formats import spreadsheet_safe

        texts = {}
        with self._reading():
            for table in TABLES:
                # The table names are the code's own; only values come from outside.
                cursor = self._db.execute(f"SELECT * FROM {table} ORDER BY rowid")
                columns = [column[0] for column in cursor.description]
                days = columns.index("days") if table == "staff_rule" else -1
                out = io.StringIO()
                writer = csv.writer(out, lineterminator="\n")
                writer.writerow(columns)
                for row in cursor:
                    cells = list(row)
                    if days >= 0 and cells[days] is not None:
                        cells[days] = _weekday_names(cells[days])
                    # Opened in a spreadsheet: a name or a reason is text, never a formula.
                    writer.writerow(spreadsheet_safe(c) if isinstance(c, str) else c for c in cells)
                texts[table] = out.getvalue()
        paths = []
        for table, text in texts.items():
            path = os.path.join(folder, f"{table}.csv")
            try:
                # With a byte order mark, which spreadsheets need to read UTF-8 as UTF-8.
                write_file(path, text.encode("utf-8-sig"), private=True)
            except OutputError as error:
                raise DeskError(str(error)) from None
            paths.append(path)
        return paths


# `_Days.matches` reads nothing of the member it is given.
_member_stub = StaffMember("", "", True, "", 0)


def _weekday_name(date: datetime.date) -> str:
    return WEEKDAYS[date.weekday()]


class _FreeLists:
    """Who is free in each period once a plan is made, in the planner's order;
    `leave_out` a lesson's cover, as if that lesson were open again."""

    def __init__(
        self,
        plan: Plan,
        rules: Rules,
        staff_rules: Mapping[str, StaffRule],
        leave_out: AbsentLesson | None = None,
    ) -> None:
        day = plan.day
        self.day, self.rules = day, rules
        staff = day.staff
        covers = [a for a in plan.covers if a is not leave_out]
        self.today: Counter[str] = Counter(a.substitute for a in covers if a.substitute)
        busy = {(x.teacher, x.period) for x in day.lessons if not _out(staff[x.teacher], x.period)}
        self.load: Counter[str] = Counter(teacher for teacher, _ in busy)
        for cover in covers:
            assert cover.substitute is not None
            busy.add((cover.substitute, cover.lesson.period))
            self.load[cover.substitute] += 1
        self.busy = busy
        self.order = {name: number for number, name in enumerate(staff)}
        date = day.date
        self.notes = {name: self._note(name, staff_rules.get(name), date) for name in staff}
        self.weighed, self.scale = rules.weighed(staff, self.today)
        self.subject_of = {name: member.subject_key for name, member in staff.items()}

    def _note(self, name: str, rule: StaffRule | None, date: datetime.date | None) -> str:
        rules = self.rules
        if name in rules.never:
            if rule is not None and not rule.never and date is not None:
                return f"not on {_weekday_name(date)}s"
            return "never covers"
        cap = rules.cap_day.get(name)
        if cap is not None and self.today[name] >= cap:
            # A cap of none left is the week's used up (or a day cap of 0), not today's covers.
            return f"at a cap ({plural(cap, 'cover')} today)" if cap else "at a cap"
        return "last resort" if name in rules.last_resort else ""

    def ranked(self, period: int, subject: str | None = None) -> list[FreeTeacher]:
        staff = self.day.staff
        subject_of = self.subject_of
        names = [
            n for n, m in staff.items() if not _out(m, period) and (n, period) not in self.busy
        ]
        names.sort(key=lambda n: (self.weighed[n], self.load[n], self.order[n]))
        flags = ("", "last resort")
        asked = [n for n in names if self.notes[n] == ""]
        held = [n for n in names if self.notes[n] == flags[1]]
        first: list[str] = []
        if subject is not None and self.rules.margin is not None:
            # Last-resort staff are asked the same way, once nobody else is free.
            margin = self.rules.margin * self.scale
            groups = []
            for group in (asked, held):
                mine, rest = ask_order(
                    group, lambda n: subject_of[n] == subject, self.weighed.__getitem__, margin
                )
                first += mine
                groups.append(mine + rest)
            asked, held = groups
        rank = {"never covers": 3}
        out = sorted(
            (n for n in names if self.notes[n] not in flags),
            key=lambda n: rank.get(self.notes[n], 1 if self.notes[n].startswith("at a cap") else 2),
        )
        return [
            FreeTeacher(
                n,
                staff[n].subject,
                self.today[n],
                self.rules.covers_in_window.get(n, 0),
                self.load[n],
                self.notes[n],
                n in first,
            )
            for n in asked + held + out
        ]


def _cannot_cover(
    staff: Mapping[str, StaffMember],
    teaching: Mapping[tuple[str, int], Lesson],
    covering: Mapping[tuple[str, int], CoverRecord],
    substitute: str,
    period: int,
) -> str:
    """Why `substitute` cannot take a lesson in `period`, or "" when free."""
    member = staff.get(substitute)
    if member is None:
        return "is not on the teacher list"
    if not member.in_school:
        return "is not in school that day"
    if member.away_in(period):
        return f"is absent in period {period}" + (f" ({member.reason})" if member.reason else "")
    lesson = teaching.get((substitute, period))
    if lesson is not None:
        return f"is teaching {lesson.class_label} in period {period}"
    other = covering.get((substitute, period))
    if other is not None:
        return f"is already covering {other.classes} for {other.teacher} in period {period}"
    return ""


def _teaching(day: SchoolDay) -> dict[tuple[str, int], Lesson]:
    """(teacher, period) -> the lesson they give then, for teachers who are in."""
    staff = day.staff
    return {(x.teacher, x.period): x for x in day.lessons if not _out(staff[x.teacher], x.period)}


def _within(inner: frozenset[int] | None, outer: frozenset[int] | None) -> bool:
    return outer is None or (inner is not None and inner <= outer)


def _combined(new: AbsenceRecord, old: AbsenceRecord) -> AbsenceRecord | None:
    """One absence for two of a teacher that overlap, or None when they are
    two different things (other periods over other days)."""
    reason = "; ".join(dict.fromkeys(r for r in (old.reason, new.reason) if r))
    if (new.first, new.last) == (old.first, old.last):
        periods = None if new.periods is None or old.periods is None else new.periods | old.periods
        return replace(old, periods=periods, reason=reason)
    if new.periods == old.periods:
        return replace(
            old, first=min(new.first, old.first), last=max(new.last, old.last), reason=reason
        )
    if old.first <= new.first and new.last <= old.last and _within(new.periods, old.periods):
        return replace(old, reason=reason)
    if new.first <= old.first and old.last <= new.last and _within(old.periods, new.periods):
        return replace(new, id=old.id, reason=reason)
    return None


def _absence_record(row: tuple[Any, ...]) -> AbsenceRecord:
    number, teacher, first, last, periods, reason = row
    return AbsenceRecord(
        number,
        teacher,
        datetime.date.fromisoformat(first),
        datetime.date.fromisoformat(last),
        _read_numbers(periods),
        reason,
    )


def _numbers(numbers: Iterable[int] | None) -> str | None:
    """A set of periods or weekdays as the record keeps it: "1,2,5"; None stays None."""
    return None if numbers is None else ",".join(map(str, sorted(numbers)))


def _weekday_names(text: str) -> str:
    """A staff rule's days ("0,2") as people read them: "Monday,Wednesday"."""
    from rotavel_app.school.weekdays import WEEKDAYS

    days = _read_numbers(text) or frozenset()
    return ",".join(WEEKDAYS[day] if 0 <= day < 7 else str(day) for day in sorted(days))


def _read_numbers(text: str | None) -> frozenset[int] | None:
    return None if text is None else frozenset(int(n) for n in text.split(",") if n)
