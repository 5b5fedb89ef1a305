"""The record under faults: private files, a foreign database left alone, a
read-only folder still read, a full disk said plainly, dates at the ends of
the calendar, exports safe in a spreadsheet, and a backup taken while the
desk publishes that restores to the same record."""

import contextlib
import csv
import datetime
import os
import sqlite3
import stat
import subprocess
import sys
import threading
import time

import pytest
from support.command import run
from support.desk import HAND, covers, foreign_record, stamp_record
from support.schools import TUE, WED, shorthand_school

from rotavel_app.desk.desk import SCHEMA_VERSION, Desk, DeskError

FULL = "{db}: cannot write the record: the disk is full; nothing was changed"


@pytest.fixture
def umask_022():
    old = os.umask(0o022)
    yield
    os.umask(old)


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@contextlib.contextmanager
def immutable(path):
    """`path` made immutable (chattr +i): not even root writes into it, as a
    read-only folder or file is for everyone else."""
    done = subprocess.run(["chattr", "+i", str(path)], capture_output=True)
    if done.returncode:
        pytest.skip(f"chattr +i is not available here: {done.stderr.decode().strip()}")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)


# -- private files ------------------------------------------------------------------


def test_the_record_and_its_wal_files_are_private(tmp_path, capfd, umask_022):
    folder = shorthand_school(tmp_path / "s", *HAND)
    assert run(capfd, "absent", folder, "Ann", "--date", TUE)[0] == 0
    with Desk.open(folder) as desk:
        desk.publish(TUE)  # the -wal and -shm files exist while a desk is open
        files = sorted(p.name for p in folder.iterdir() if p.name.startswith("rotavel.db"))
        modes = {name: mode(folder / name) for name in files}
    assert modes == {"rotavel.db": 0o600, "rotavel.db-shm": 0o600, "rotavel.db-wal": 0o600}


def test_export_files_are_private_safe_in_a_spreadsheet_and_readable(tmp_path, capfd, umask_022):
    folder = shorthand_school(tmp_path / "s", *HAND)
    with Desk.open(folder) as desk:
        desk.add_absence("Ann", TUE, TUE, frozenset({1, 2}), '=HYPERLINK("http://x","Médecin")')
        desk.add_absences([("Bob", WED, WED, None, "+1\t@me"), ("Cat", WED, WED, None, "-2")])
        desk.assign(TUE, "Ann", 2, "Dan")
        desk.publish(TUE)
        desk.set_staff_rule("Bob", cap_day=1)
        desk.set_staff_rule("Dan", days=frozenset({0, 2}))
    out = tmp_path / "out"
    out.mkdir()
    (out / "staff_rule.csv").write_text("old\n")
    os.chmod(out / "staff_rule.csv", 0o644)  # an older export's file: no longer readable by all
    # Written out: a table left out of the export would be lost to a spreadsheet.
    tables = ["absence", "cover", "published_day", "staff_rule", "published_cover", "publication"]
    tables += ["published_change", "duty", "set_work", "outbox"]
    assert run(capfd, "export", folder, out) == (0, "".join(f"{out / t}.csv\n" for t in tables), "")
    assert {p.name: mode(p) for p in out.iterdir()} == {f"{table}.csv": 0o600 for table in tables}
    data = (out / "absence.csv").read_bytes()
    assert data.startswith(b"\xef\xbb\xbfid,teacher,first_day,last_day,reason,entered_at,periods\n")
    read = {t: list(csv.reader(open(out / f"{t}.csv", encoding="utf-8-sig"))) for t in tables}
    # For a spreadsheet, a formula's text only (rotavel backup keeps the record exactly).
    assert [r[1:5] + r[6:] for r in read["absence"][1:]] == [
        ["Ann", "2026-03-10", "2026-03-10", '\'=HYPERLINK("http://x","Médecin")', "1,2"],
        ["Bob", "2026-03-11", "2026-03-11", "'+1\t@me", ""],
        ["Cat", "2026-03-11", "2026-03-11", "'-2", ""],
    ]
    assert read["staff_rule"] == [
        "name never last_resort cap_day cap_week days".split(),
        ["Bob", "0", "0", "1", "", ""],
        ["Dan", "0", "0", "", "", "Monday,Wednesday"],
    ]
    # The record itself keeps the days as it reads them back.
    with Desk.open(folder) as desk:
        assert desk.staff_rules()["Dan"].days == frozenset({0, 2})


# -- a foreign database, a read-only folder ------------------------------------------


@pytest.mark.parametrize("command", ["absences", "absent"])
@pytest.mark.parametrize(
    "make, message",
    [
        (
            lambda db: stamp_record(db, 99),
            "{db} was written by a newer rotavel (record version 99; this one reads up to {version})",
        ),
        (lambda db: stamp_record(db, 3, app=7), "{db}: not a rotavel record"),
        (foreign_record, "{db}: not a rotavel record (it has other tables)"),
        (
            lambda db: db.write_text("name,subject\n"),
            "{db}: not a rotavel record (file is not a database)",
        ),
        (lambda db: db.mkdir(), "{db}: is a folder; give the record's file name"),
    ],
    ids=["newer", "other application", "other tables", "not a database", "a folder"],
)
def test_a_refused_foreign_database_is_never_changed(tmp_path, capfd, command, make, message):
    folder = shorthand_school(tmp_path / "s", *HAND)
    db = tmp_path / "other.db"
    make(db)
    before = db.read_bytes() if db.is_file() else None
    argv = [command, folder, "--db", db, "--date", TUE] + (["Ann"] if command == "absent" else [])
    said = message.format(db=db, version=SCHEMA_VERSION)
    assert run(capfd, *argv) == (2, "", f"rotavel: {said}\n")
    assert (db.read_bytes() if db.is_file() else None) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other.db", "s"]


def _published_school(tmp_path, capfd):
    folder = shorthand_school(tmp_path / "s", *HAND)
    assert run(capfd, "absent", folder, "Ann", "--date", TUE)[0] == 0
    assert run(capfd, "plan", folder, "--date", TUE, "--publish")[0] == 0
    return folder


@pytest.mark.parametrize(
    "argv",
    [
        ("plan", "--date", TUE),
        ("free", "--date", TUE),
        ("history", "--to", TUE),
    ],
    ids=lambda argv: " ".join(map(str, argv)),
)
@pytest.mark.parametrize("read_only", ["folder", "record"])
def test_reading_commands_read_a_read_only_record(tmp_path, capfd, argv, read_only):
    folder = _published_school(tmp_path, capfd)
    expected = run(capfd, argv[0], folder, *argv[1:])
    assert expected[0] == 0
    target = folder if read_only == "folder" else folder / "rotavel.db"
    with immutable(target):
        assert run(capfd, argv[0], folder, *argv[1:]) == expected
        refused = run(capfd, "absent", folder, "Bob", "--date", TUE)
    why = "its folder is read-only (commands that only read still work)"
    why = why if read_only == "folder" else "read-only"
    assert refused == (2, "", f"rotavel: {folder / 'rotavel.db'}: cannot write the record: {why}\n")


# -- a full disk ----------------------------------------------------------------------


class _Full:
    f_bavail, f_frsize = 0, 4096


# SQLite says a full disk met in its -wal or -shm file as an I/O error.
@pytest.mark.parametrize("how", ["no page left", "an I/O error"])
def test_a_full_disk_is_said_as_one(tmp_path, monkeypatch, how):
    folder = shorthand_school(tmp_path / "s", *HAND)
    with Desk.open(folder) as desk, pytest.raises(DeskError) as caught:
        if how == "no page left":
            desk._db.execute("PRAGMA max_page_count = 1")
            desk.add_absence("Ann", TUE, TUE, None, "x" * 100_000)
        else:
            monkeypatch.setattr(os, "statvfs", lambda path: _Full)
            with desk._errors():
                raise sqlite3.OperationalError("disk I/O error")
    assert str(caught.value) == FULL.format(db=folder / "rotavel.db")


@pytest.fixture
def tiny_disk(tmp_path):
    """A 256 KiB file system of its own (a tmpfs; root only, else skipped)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    done = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(disk)], capture_output=True
    )
    if done.returncode:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")
    try:
        yield disk
    finally:
        subprocess.run(["umount", str(disk)], check=True)


@pytest.mark.parametrize("command", [("absent", "Bob"), ("plan", "--publish")])
def test_writing_on_a_full_disk_is_said_as_a_full_disk(tiny_disk, capfd, command):
    # Full before SQLite makes its -wal and -shm files: it says "disk I/O error".
    folder = shorthand_school(tiny_disk / "s", *HAND)
    assert run(capfd, "absent", folder, "Ann", "--date", TUE)[0] == 0
    before = _plans(folder, [TUE])
    free = os.statvfs(tiny_disk)
    (tiny_disk / "filler").write_bytes(bytes(free.f_bavail * free.f_frsize))
    said = FULL.format(db=folder / "rotavel.db")
    assert run(capfd, command[0], folder, command[1], "--date", TUE) == (
        2,
        "",
        f"rotavel: {said}\n",
    )
    (tiny_disk / "filler").unlink()
    assert _plans(folder, [TUE]) == before


# -- dates at the ends of the calendar ------------------------------------------------


@pytest.mark.parametrize("date", ["1899-12-31", "3000-01-01"])
@pytest.mark.parametrize(
    "argv",
    [
        ("plan", "{folder}", "--date"),
        ("back", "{folder}", "1", "--date"),
        ("absent", "{folder}", "Ann", "--from"),
        ("history", "{folder}", "--to"),
        ("{folder}", "--date"),
    ],
    ids=lambda argv: argv[0],
)
def test_dates_at_the_ends_of_the_calendar_are_refused_in_one_line(tmp_path, capfd, argv, date):
    folder = shorthand_school(tmp_path / "s", *HAND, toml='window = "cycle"\ncycle_days = 5\n')
    argv = [a.format(folder=folder) for a in argv] + [date]
    option = "--from/--date" if argv[0] == "absent" else argv[-2]
    command = "" if argv[0] == str(folder) else f" {argv[0]}"
    said = f"'{date}' is outside the dates rotavel plans (1900-01-01 to 2999-12-31)"
    assert run(capfd, *argv) == (
        2,
        "",
        f"rotavel: argument {option}: {said} (see rotavel{command} --help)\n",
    )


BIG = "99999999999999999999"


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        ("back {folder} " + BIG, f"argument N: '{BIG}' is not an absence's number"),
        (
            "staff {folder} Bob --cap-day " + BIG,
            f"argument --cap-day: '{BIG}' is not a whole number (or none)",
        ),
    ],
)
def test_numbers_beyond_sqlite_refused_in_one_line(tmp_path, capfd, argv, message):
    folder = shorthand_school(tmp_path / "s", *HAND)
    code, out, err = run(capfd, *argv.format(folder=folder).split())
    help_ = f"(see rotavel {argv.split()[0]} --help)"
    assert (code, out, err) == (2, "", f"rotavel: {message} {help_}\n")


@pytest.mark.parametrize("command", [("plan", "--date"), ("history", "--to")])
def test_a_cycle_longer_than_a_year_is_refused_not_counted(tmp_path, capfd, command):
    folder = shorthand_school(
        tmp_path / "s", *HAND, toml='window = "cycle"\ncycle_days = 9999999999\n'
    )
    assert run(capfd, command[0], folder, command[1], TUE) == (
        2,
        "",
        f"rotavel: {folder / 'rotavel.toml'}: cycle_days = 9999999999 is longer than a school "
        "year (at most 400 school days)\n",
    )


# -- backup and restore ---------------------------------------------------------------


def _plans(folder, days):
    with Desk.open(folder, create=False) as desk:
        published = [[(c.teacher, c.period, c.substitute) for c in desk.published(d)] for d in days]
        return [(covers(desk.plan(day)), kept) for day, kept in zip(days, published)]


# Publishes the days given, over and over, until the stop file appears; a line per publish.
PUBLISHER = """
import datetime, os, sys
from rotavel_app.desk.desk import Desk
folder, stop, *days = sys.argv[1:]
with Desk.open(folder) as desk:
    while not os.path.exists(stop):
        for day in days:
            desk.publish(datetime.date.fromisoformat(day))
            print(day, flush=True)
"""


@contextlib.contextmanager
def publishing(folder, days, stop):
    """Publishes of `days` running in another process while the block runs;
    yields a function telling how many have been made."""
    process = subprocess.Popen(
        [sys.executable, "-c", PUBLISHER, str(folder), str(stop), *map(str, days)],
        stdout=subprocess.PIPE,
        text=True,
    )
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(process.stdout))
    reader.start()
    try:
        yield lambda: len(lines)
    finally:
        stop.touch()
        assert process.wait(timeout=60) == 0
        reader.join()


def test_a_backup_taken_while_publishing_restores_the_same_record(tmp_path, capfd):
    # Seven school days (an absence on a weekend is refused).
    days = [TUE + datetime.timedelta(n) for n in range(0, 9)]
    days = [day for day in days if day.weekday() < 5]
    folder = shorthand_school(tmp_path / "s", *HAND)
    for day in days:
        assert run(capfd, "absent", folder, "Ann", "Eve@2", "--date", day)[0] == 0
    backups, counts = [], []
    with publishing(folder, days, tmp_path / "stop") as published:
        deadline = time.monotonic() + 30
        while published() < 3:
            assert time.monotonic() < deadline, "the publisher never published"
            time.sleep(0.01)
        for n in range(3):
            backup = tmp_path / f"backup{n}.db"
            said = f"The record is backed up into {backup}.\n"
            assert run(capfd, "backup", folder, backup) == (0, said, "")
            backups.append(backup)
            counts.append(published())
        # The publishes go on around the backups: one more after the last is awaited,
        # not assumed (on a busy machine the publisher may not have run since).
        while published() == counts[-1]:
            assert time.monotonic() < deadline + 30, "the publisher stopped at the backups"
            time.sleep(0.01)
    original = _plans(folder, days)
    for n, backup in enumerate(backups):
        check = sqlite3.connect(backup)
        assert check.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
        check.close()
        assert mode(backup) == 0o600
        # Restored into a copy of the school, each backup plans as the original
        # does, and its published days are the original's (they republish alike).
        restored = shorthand_school(tmp_path / f"r{n}", *HAND)
        said = f"The record is restored from {backup}.\n"
        assert run(capfd, "restore", restored, backup) == (0, said, "")
        plans = _plans(restored, days)
        assert [p[0] for p in plans] == [p[0] for p in original]
        assert [p[1] for p in plans if p[1]] == [p[1] for p, q in zip(original, plans) if q[1]]
        assert plans[0][1] != []  # the first days were published before any backup


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (foreign_record, "{backup}: not a rotavel record (or one of a newer rotavel)"),
        (
            lambda db: stamp_record(db, 99),
            "{backup}: not a rotavel record (or one of a newer rotavel)",
        ),
        (
            lambda db: db.write_text("x\n"),
            "{backup}: not a rotavel record (file is not a database)",
        ),
        (lambda db: None, "{backup}: no such backup file"),
    ],
)
def test_restore_refuses_what_is_not_a_record_and_keeps_the_old(tmp_path, capfd, make, message):
    folder = _published_school(tmp_path, capfd)
    before = _plans(folder, [TUE, WED])
    backup = tmp_path / "backup.db"
    make(backup)
    code, out, err = run(capfd, "restore", folder, backup)
    assert (code, out, err) == (2, "", f"rotavel: {message.format(backup=backup)}\n")
    assert _plans(folder, [TUE, WED]) == before


def test_restore_brings_back_what_was_lost(tmp_path, capfd):
    folder = _published_school(tmp_path, capfd)
    before = _plans(folder, [TUE])
    backup = tmp_path / "backup.db"
    assert run(capfd, "backup", folder, backup)[0] == 0
    assert run(capfd, "back", folder, "1", "--date", TUE)[0] == 0  # cancelled by mistake
    assert run(capfd, "plan", folder, "--date", TUE, "--publish")[0] == 0
    assert _plans(folder, [TUE]) != before
    assert run(capfd, "restore", folder, backup)[0] == 0
    assert _plans(folder, [TUE]) == before
    assert run(capfd, "absences", folder, "--date", TUE)[1].splitlines()[-1].startswith("#1  ")
