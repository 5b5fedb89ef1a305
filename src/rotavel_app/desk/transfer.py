"""The record copied out and back: a backup of the whole record taken while
others work, a restore from one, and the record as CSV files for a
spreadsheet."""

from __future__ import annotations

import csv
import io
import os
import sqlite3
from typing import TYPE_CHECKING

from rotavel_app.desk.record import (
    APPLICATION_ID,
    SCHEMA_VERSION,
    TABLES,
    DeskError,
    create_private,
    errors,
    migrate,
    read_numbers,
    read_only_uri,
)
from rotavel_app.language import _
from rotavel_app.output import OutputError, write_file
from rotavel_app.school.weekdays import WEEKDAYS

if TYPE_CHECKING:
    from rotavel_app.desk.record import Record
    from rotavel_app.files import StrPath


def backup(desk: Record, target: StrPath) -> None:
    """A copy of the whole record into `target`, taken with SQLite's online
    backup in one step, so one consistent snapshot even while others
    publish; made beside `target` (readable by its owner alone) and put in
    its place only once complete."""
    target = os.fspath(target)
    if desk.path is None:
        raise DeskError(_("%(folder)s: no record to back up yet") % {"folder": desk.folder})
    if os.path.isdir(target):
        raise DeskError(
            _("%(target)s: is a folder; give the backup's file name") % {"target": target}
        )
    if os.path.exists(target) and os.path.samefile(target, desk.path):
        raise DeskError(
            _("%(target)s: is the record itself; give another file") % {"target": target}
        )
    folder, name = os.path.split(os.path.abspath(target))
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
    try:
        create_private(temporary)
        copy = sqlite3.connect(temporary, isolation_level=None)
        try:
            with errors(desk):
                desk.connection.backup(copy)
                # One file, readable without its -wal beside it.
                copy.execute("PRAGMA journal_mode = DELETE")
        finally:
            copy.close()
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, target)
    except OSError as error:
        raise DeskError(
            _("%(target)s: cannot write the backup: %(error)s")
            % {"target": target, "error": error.strerror}
        ) from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def restore(desk: Record, source: StrPath) -> None:
    """The record replaced by the backup in `source`, which must be a whole
    rotavel record; all of it in one transaction (with SQLite's backup), so
    that if anything fails the record stays as it was, and readers see the
    old record or the new one."""
    source = os.fspath(source)
    if desk.path is None:
        raise DeskError(_("%(folder)s: no record to restore into") % {"folder": desk.folder})
    if not os.path.isfile(source):
        raise DeskError(_("%(source)s: no such backup file") % {"source": source})
    if os.path.samefile(source, desk.path):
        raise DeskError(
            _("%(source)s: is the record itself; give the backup's file") % {"source": source}
        )
    try:
        copy = sqlite3.connect(read_only_uri(source), uri=True, isolation_level=None)
    except sqlite3.Error as error:
        raise DeskError(
            _("%(source)s: cannot open the backup: %(error)s") % {"source": source, "error": error}
        ) from None
    try:
        try:
            application, version, check = (
                copy.execute("PRAGMA application_id").fetchone()[0],
                copy.execute("PRAGMA user_version").fetchone()[0],
                copy.execute("PRAGMA integrity_check").fetchone()[0],
            )
        except sqlite3.DatabaseError as error:
            raise DeskError(
                _("%(source)s: not a rotavel record (%(error)s)")
                % {"source": source, "error": error}
            ) from None
        if application != APPLICATION_ID or not 0 < version <= SCHEMA_VERSION:
            raise DeskError(
                _("%(source)s: not a rotavel record (or one of a newer rotavel)")
                % {"source": source}
            )
        if check != "ok":
            raise DeskError(
                _("%(source)s: the backup is damaged (%(check)s)")
                % {"source": source, "check": check}
            )
        with errors(desk):
            copy.backup(desk.connection)
    finally:
        copy.close()
    desk.kept.week_key = None
    with errors(desk):
        migrate(desk)  # a backup of an older version is brought to this one


def export_csv(desk: Record, folder: StrPath) -> list[str]:
    """The whole record as CSV, one file per table (`cover.csv`, ...), read
    in one snapshot; each file is replaced only once written in full."""
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise DeskError(
            _("%(folder)s: cannot make the folder: %(error)s")
            % {"folder": folder, "error": error.strerror}
        ) from None
    from rotavel_app.pages.formats import spreadsheet_safe

    texts = {}
    with desk.reading():
        for table in TABLES:
            # The table names are the code's own; only values come from outside.
            cursor = desk.connection.execute(f"SELECT * FROM {table} ORDER BY rowid")
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


def _weekday_names(text: str) -> str:
    """A staff rule's days ("0,2") as people read them: "Monday,Wednesday"."""
    days = read_numbers(text) or frozenset()
    return ",".join(WEEKDAYS[day] if 0 <= day < 7 else str(day) for day in sorted(days))
