"""What the pages work out once and serve until the record or the school changes.

A day's plan for a large school takes the desk most of a second to make, and
the Today page asks for it again on every visit and after every action. The
pages keep what they made under the record's version: SQLite's data_version
on a connection of their own (it changes with every commit by any other
connection, this process's desks and other commands alike) and the school
files' contents, as the desk itself tells them (`school_version`). A visit reads the version first and makes the page
again when it changed, so nothing is ever older than the record it was read
after.
"""

from __future__ import annotations

import sqlite3
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable
from pathlib import Path
from typing import Any, TypeVar

from rotavel_app.desk.desk import record_names
from rotavel_app.school.folder import school_version

T = TypeVar("T")
# Days kept: a few days around today, for several pages each.
ENTRIES = 32


class RecordVersion:
    """The version of a desk's record and of its school's files."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self._connection: sqlite3.Connection | None = None
        self._path: Path | None = None
        self._lock = threading.Lock()

    def watch(self, db: Path) -> None:
        """Follow the record at `db`; until it exists nothing is kept."""
        with self._lock:
            if self._path == db:
                return
            if not db.exists():
                return
            if self._connection is not None:
                self._connection.close()
            # Read-only: this connection only ever asks whether others committed.
            self._connection = sqlite3.connect(
                f"{db.resolve().as_uri()}?mode=ro", uri=True, check_same_thread=False
            )
            self._path = db

    def current(self) -> Hashable:
        files = self.school_files()
        with self._lock:
            if self._connection is None or files is None:
                return None  # nothing watched: never equal to a version, so nothing is kept
            record = self._connection.execute("PRAGMA data_version").fetchone()[0]
            return (self._path, record, files)

    def school_files(self) -> Hashable:
        """The school files' version: the part of the version not in the record, the
        same as the desk's own (a digest of every file of the folder, by content)."""
        try:
            return school_version(self.folder, record_names(self._path))
        except OSError:
            return None  # the desk says what is wrong with the folder

    def close(self) -> None:
        with self._lock:
            if self._connection is not None:
                self._connection.close()
                self._connection = None
                self._path = None


class PageCache:
    """Values made from the record, each kept with the version it was made at.
    Two visits that miss at once make the value once: the second waits."""

    def __init__(self, entries: int = ENTRIES) -> None:
        self._values: OrderedDict[Hashable, tuple[Hashable, Any]] = OrderedDict()
        self._locks: dict[Hashable, threading.Lock] = {}
        self._lock = threading.Lock()
        self.entries = entries

    def peek(self, key: Hashable) -> tuple[Hashable, Any] | None:
        """The value kept under `key` with the version it was made at, if any."""
        with self._lock:
            return self._values.get(key)

    def get(self, key: Hashable, version: Hashable, make: Callable[[], T]) -> T:
        if version is None:
            return make()
        with self._lock:
            lock = self._locks.setdefault(key, threading.Lock())
        with lock:
            with self._lock:
                kept = self._values.get(key)
                if kept is not None and kept[0] == version:
                    self._values.move_to_end(key)
                    return kept[1]  # type: ignore[no-any-return]
            value = make()
            self.put(key, version, value)
            return value

    def put(self, key: Hashable, version: Hashable, value: object) -> None:
        """Keep `value`, known to be what the record is at `version`."""
        with self._lock:
            self._values[key] = (version, value)
            self._values.move_to_end(key)
            while len(self._values) > self.entries:
                old, _ = self._values.popitem(last=False)
                self._locks.pop(old, None)
