"""The record itself: one SQLite file per school, its layout and the steps that
bring an older one to this version, opening it (for reading only where it
cannot be written), one transaction per change, and SQLite's errors said as
one line for the user.

Every change is one transaction begun with BEGIN IMMEDIATE, so two commands
at once are put one after the other, and a crash mid-write leaves the record
as it was before that change.
"""

from __future__ import annotations

import datetime
import os
import sqlite3
from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol

from rotavel_app.language import _
from rotavel_app.messages import InputError
from rotavel_app.school.settings import Settings, load_settings

if TYPE_CHECKING:
    from fractions import Fraction

    from rotavel_app.files import StrPath
    from rotavel_app.school.calendar import Calendar
    from rotavel_app.school.week import Week


@dataclass
class Kept:
    """What is worked out from the school's folder, kept while its files stay
    the same: reading the week again on every call would read every CSV file."""

    week_key: object = None  # the folder's files' version the week was read at
    week: Week | None = None
    calendar: tuple[Week, Calendar] | None = None
    shares: tuple[Week, dict[str, Fraction]] | None = None


class Record(Protocol):
    """The record as the desk's parts use it (`Desk` is one): the parts do the
    work and the facade hands itself to them, so they need only this, never
    the facade."""

    folder: str  # the school's folder
    path: str | None  # the record's file; None for an empty record kept in memory
    settings: Settings
    kept: Kept

    @property
    def connection(self) -> sqlite3.Connection:
        """The record's one connection, used inside `reading` or `writing`."""
        ...

    def reading(self) -> AbstractContextManager[None]:
        """One transaction that reads: one snapshot for all of its reads."""
        ...

    def writing(self) -> AbstractContextManager[None]:
        """One transaction that writes: all of its changes or none."""
        ...


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
    (  # 4: the day as published kept apart from the desk's draft, its revisions and
        # their changes, each substitute's covers as told (seen, cancelled), set work,
        # personal links and the e-mail still to send (see publishing.py)
        """CREATE TABLE published_cover (
            day TEXT NOT NULL,
            teacher TEXT NOT NULL,  -- the absent teacher
            period INTEGER NOT NULL,
            classes TEXT NOT NULL,
            room TEXT NOT NULL DEFAULT '',
            substitute TEXT,
            how TEXT NOT NULL,
            work TEXT NOT NULL DEFAULT '',  -- the set work as published
            revision INTEGER NOT NULL,  -- the day's revision that last changed it
            PRIMARY KEY (day, teacher, period)
        )""",
        # Until now the record's covers of a published day were what people saw.
        """INSERT INTO published_cover
            SELECT c.day, c.teacher, c.period, c.classes, c.room, c.substitute, c.how, '', 1
            FROM cover AS c JOIN published_day AS p ON p.day = c.day""",
        """CREATE TABLE publication (
            day TEXT NOT NULL,
            revision INTEGER NOT NULL,
            published_at TEXT NOT NULL,
            published_by TEXT NOT NULL,  -- "command", or the web desk and its address
            PRIMARY KEY (day, revision)
        )""",
        "INSERT INTO publication SELECT day, revision, published_at, '' FROM published_day",
        """CREATE TABLE published_change (
            day TEXT NOT NULL,
            revision INTEGER NOT NULL,
            teacher TEXT NOT NULL,
            period INTEGER NOT NULL,
            what TEXT NOT NULL,  -- the change in words
            before_substitute TEXT,
            after_substitute TEXT,
            PRIMARY KEY (day, revision, teacher, period)
        )""",
        """CREATE TABLE duty (
            day TEXT NOT NULL,
            teacher TEXT NOT NULL,  -- the absent teacher
            period INTEGER NOT NULL,
            substitute TEXT NOT NULL,
            classes TEXT NOT NULL,
            room TEXT NOT NULL DEFAULT '',
            work TEXT NOT NULL DEFAULT '',
            sequence INTEGER NOT NULL DEFAULT 0,  -- raised each time it changes
            cancelled INTEGER NOT NULL DEFAULT 0,
            revision INTEGER NOT NULL,
            seen_at TEXT,  -- NULL: not seen since it last changed
            PRIMARY KEY (day, teacher, period, substitute)
        )""",
        """INSERT INTO duty (day, teacher, period, substitute, classes, room, revision)
            SELECT day, teacher, period, substitute, classes, room, 1 FROM published_cover
            WHERE substitute IS NOT NULL""",
        "CREATE INDEX duty_by_substitute ON duty (substitute, day)",
        """CREATE TABLE set_work (
            day TEXT NOT NULL,
            teacher TEXT NOT NULL,
            period INTEGER NOT NULL,
            work TEXT NOT NULL,
            PRIMARY KEY (day, teacher, period)
        )""",
        """CREATE TABLE personal_link (
            name TEXT PRIMARY KEY,
            token TEXT NOT NULL UNIQUE,  -- the secret in the teacher's link
            made_at TEXT NOT NULL
        )""",
        """CREATE TABLE outbox (
            id INTEGER PRIMARY KEY,
            day TEXT NOT NULL,
            substitute TEXT NOT NULL,
            revision INTEGER NOT NULL,  -- the day's revision the message tells of
            queued_at TEXT NOT NULL,
            sent_at TEXT,  -- NULL: still to send
            tries INTEGER NOT NULL DEFAULT 0,
            error TEXT NOT NULL DEFAULT ''  -- why the last try failed
        )""",
        "CREATE INDEX outbox_unsent ON outbox (sent_at, day)",
    ),
)
SCHEMA_VERSION = len(MIGRATIONS)
# Exported with the record; the personal links' secrets are not.
TABLES = (
    "absence",
    "cover",
    "published_day",
    "staff_rule",
    "published_cover",
    "publication",
    "published_change",
    "duty",
    "set_work",
    "outbox",
)


class DeskError(Exception):
    """A refused action or a record that cannot be used; one line for the user."""


def record_names(path: StrPath | None) -> tuple[str, ...]:
    """The names in the school folder that are the record's, not the school's: the
    usual record and its journals, and the record at `path` when it is elsewhere
    named (every commit changes them)."""
    names = [DB_NAME]
    if path is not None:
        names.append(os.path.basename(os.fspath(path)))
    return tuple(names)


def read_only_uri(path: str) -> str:
    """SQLite's URI opening `path` for reading only. The characters a URI gives
    a meaning are escaped by hand: urllib.parse would cost every reading
    command its import."""
    escaped = os.path.abspath(path)
    for char, code in (("%", "%25"), ("?", "%3f"), ("#", "%23")):
        escaped = escaped.replace(char, code)
    return f"file:{escaped}?mode=ro"


def writable(path: str) -> bool:
    """Whether the record and its folder (where SQLite keeps its -wal and -shm
    files) can both be written."""
    return os.access(path, os.W_OK) and os.access(os.path.dirname(os.path.abspath(path)), os.W_OK)


def create_private(path: str) -> None:
    """A new record is made readable by its owner alone (absence reasons are
    private); SQLite gives its -wal and -shm files the record's own mode."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
    except FileExistsError:
        pass
    except OSError as error:
        raise DeskError(
            _("%(path)s: cannot make the record: %(error)s")
            % {"path": path, "error": error.strerror}
        ) from None


def now() -> str:
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def day_text(date: datetime.date) -> str:
    """A date as the record keeps it."""
    return date.isoformat()


def numbers(values: Iterable[int] | None) -> str | None:
    """A set of periods or weekdays as the record keeps it: "1,2,5"; None stays None."""
    return None if values is None else ",".join(map(str, sorted(values)))


def read_numbers(text: str | None) -> frozenset[int] | None:
    return None if text is None else frozenset(int(n) for n in text.split(",") if n)


def connect(path: str, timeout: float, memory: bool) -> sqlite3.Connection:
    """A writer's connection to the record at `path` (an empty one in memory)."""
    try:
        return sqlite3.connect(
            ":memory:" if memory else path, timeout=timeout, isolation_level=None
        )
    except sqlite3.Error as error:
        raise DeskError(
            _("%(path)s: cannot open the record: %(error)s") % {"path": path, "error": error}
        ) from None


def connect_read_only(path: str, timeout: float) -> sqlite3.Connection:
    """A connection that only reads the record. A WAL record read where its
    -shm file cannot be made (a read-only folder) is read as immutable:
    nobody can write it there either."""
    uri = read_only_uri(path)
    where = os.path.dirname(os.path.abspath(path))
    if not os.access(where, os.W_OK) and not os.path.exists(path + "-wal"):
        uri += "&immutable=1"
    try:
        return sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
    except sqlite3.Error as error:
        raise DeskError(
            _("%(path)s: cannot open the record: %(error)s") % {"path": path, "error": error}
        ) from None


# How a desk is made from its folder, file, connection and settings (`Desk` itself).
type Making[D: Record] = Callable[[str, str | None, sqlite3.Connection, Settings], D]


def open_desk[D: Record](
    cls: Making[D], folder: StrPath, db: StrPath | None, create: bool, timeout: float
) -> D:
    """The record of the school in `folder` (`folder/rotavel.db` unless `db`
    says), brought to the current version. Without `create`, a record that
    does not exist yet is read as empty and nothing is written to disk."""
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise DeskError(_("%(folder)s: not a school folder (no such folder)") % {"folder": folder})
    try:
        settings = load_settings(folder)
    except InputError as error:
        raise DeskError(str(error)) from None
    path = os.fspath(db) if db is not None else os.path.join(folder, DB_NAME)
    if os.path.isdir(path):
        raise DeskError(_("%(path)s: is a folder; give the record's file name") % {"path": path})
    memory = not create and not os.path.exists(path)
    if not create and not memory and not writable(path):
        # A reading command reads: a read-only folder or record is no obstacle.
        # (Where both can be written it opens the record as a writer does: a
        # read-only connection would leave the -wal and -shm files behind.)
        desk = _open_read_only(cls, folder, path, settings, timeout)
        if desk is not None:
            return desk
    if create:
        create_private(path)
    connection = connect(path, timeout, memory)
    desk = cls(folder, None if memory else path, connection, settings)
    try:
        with errors(desk):
            # The timeout is the wait for another command's write to finish.
            connection.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
            # Recognised (or made) first: another program's database is left as it was.
            migrate(desk)
            if not memory:
                # Readers go on while a publish writes, and a crash rolls back cleanly.
                connection.execute("PRAGMA journal_mode = WAL")
    except BaseException:
        connection.close()
        raise
    return desk


def _open_read_only[D: Record](
    cls: Making[D], folder: str, path: str, settings: Settings, timeout: float
) -> D | None:
    """The record opened for reading only, or None when it must first be
    brought to this version (which writes)."""
    connection = connect_read_only(path, timeout)
    desk = cls(folder, path, connection, settings)
    try:
        with errors(desk):
            connection.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            if version < SCHEMA_VERSION:
                connection.close()
                return None
            migrate(desk)  # at this version: checks that it is a rotavel record
    except BaseException:
        connection.close()
        raise
    return desk


def others_wrote(desk: Record) -> int:
    """SQLite's data_version: changes with every commit of another connection."""
    with errors(desk):
        return int(desk.connection.execute("PRAGMA data_version").fetchone()[0])


def where(desk: Record) -> str:
    return str(desk.path) if desk.path is not None else _("the record")


@contextmanager
def errors(desk: Record) -> Iterator[None]:
    """SQLite's errors as one line for the user."""
    try:
        yield
    except sqlite3.OperationalError as error:
        text = str(error)
        name = where(desk)
        if "locked" in text or "busy" in text:
            raise DeskError(
                _(
                    "%(record)s is busy: another rotavel command is writing to it; "
                    "nothing was changed, try again"
                )
                % {"record": name}
            ) from None
        if "readonly" in text:
            raise DeskError(
                _("%(record)s: cannot write the record: read-only") % {"record": name}
            ) from None
        if "unable to open" in text and desk.path is not None:
            folder = os.path.dirname(os.path.abspath(desk.path))
            if not os.access(folder, os.W_OK):  # SQLite makes its -wal and -shm files there
                raise DeskError(
                    _(
                        "%(record)s: cannot write the record: its folder is read-only "
                        "(commands that only read still work)"
                    )
                    % {"record": name}
                ) from None
        if "disk is full" in text or ("disk I/O error" in text and _disk_full(desk.path)):
            raise DeskError(
                _("%(record)s: cannot write the record: the disk is full; nothing was changed")
                % {"record": name}
            ) from None
        raise DeskError(f"{name}: {text}") from None
    except sqlite3.ProgrammingError:
        raise  # the program's fault (a closed desk), not the record's: not "not a record"
    except sqlite3.DatabaseError as error:
        raise DeskError(
            _("%(record)s: not a rotavel record (%(error)s)")
            % {"record": where(desk), "error": error}
        ) from None


def _disk_full(path: str | None) -> bool:
    """Whether the record's disk has no room left: SQLite tells a full disk met
    while writing its -wal or -shm file as an I/O error."""
    try:
        info = os.statvfs(os.path.dirname(os.path.abspath(path or ".")))
    except OSError:
        return False
    return info.f_bavail * info.f_frsize < 64 * 1024


def _roll_back(db: sqlite3.Connection) -> None:
    """Undo the open transaction, if SQLite has not already (it does after a
    full disk). A rollback that fails itself must not hide the error that
    called for it: SQLite undoes an unfinished transaction when the
    connection closes."""
    if db.in_transaction:
        try:
            db.execute("ROLLBACK")
        except sqlite3.Error:
            pass


@contextmanager
def transaction(desk: Record, write: bool) -> Iterator[None]:
    """One transaction: all of its writes or none, and one snapshot for its reads."""
    db = desk.connection
    with errors(desk):
        db.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        try:
            yield
        except BaseException:
            _roll_back(db)
            raise
        try:
            db.execute("COMMIT")
        except BaseException:
            _roll_back(db)
            raise


def migrate(desk: Record) -> None:
    """The record brought to this version (a new one made), or refused when it
    is not a rotavel record or one of a newer rotavel."""
    db = desk.connection
    version = db.execute("PRAGMA user_version").fetchone()[0]
    if version > SCHEMA_VERSION:
        raise DeskError(
            _(
                "%(record)s was written by a newer rotavel (record version %(version)s; "
                "this one reads up to %(known)s)"
            )
            % {"record": where(desk), "version": version, "known": SCHEMA_VERSION}
        )
    if version == SCHEMA_VERSION:
        _check_application(desk)
        return
    with desk.writing():
        # Another command may have migrated it while this one waited.
        version = db.execute("PRAGMA user_version").fetchone()[0]
        if version == 0:
            if db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                raise DeskError(
                    _("%(record)s: not a rotavel record (it has other tables)")
                    % {"record": where(desk)}
                )
            # PRAGMAs take no parameters; the values are the code's own integers.
            db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        else:
            _check_application(desk)
        for step in MIGRATIONS[version:]:
            for statement in step:
                db.execute(statement)
        db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def _check_application(desk: Record) -> None:
    if desk.connection.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
        raise DeskError(_("%(record)s: not a rotavel record") % {"record": where(desk)})
