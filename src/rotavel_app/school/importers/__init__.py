"""Timetables exported by a school's timetabling program, read into the same
`Week` the CSV school folder gives: FET (a `.fet` file with its timetable, or
its `NAME_timetable.csv` export), Untis (the GPU001.TXT text export) and aSc
Timetables (its XML export).

`read_export` tells the format from the files themselves and returns None for
a plain school folder (teacher_list.csv and timetable.csv), which the command
reads as before.
"""

from __future__ import annotations

import os
import re
import stat
from collections.abc import Callable
from importlib import import_module
from typing import TYPE_CHECKING

from rotavel_app.language import N_, _
from rotavel_app.messages import InputError
from rotavel_app.school.folder import TEACHER_FILE, TIMETABLE_FILE
from rotavel_app.school.importers.names import (
    TIMED_SUFFIX,
    TIMETABLE_SUFFIX,
    UNTIS_TIMETABLE,
    find_file,
)
from rotavel_app.school.week import Week

if TYPE_CHECKING:
    from pathlib import Path

    from rotavel_app.files import StrPath

    Reader = Callable[[Path], Week]

__all__ = ["FORMATS", "read_asc", "read_export", "read_fet", "read_fet_csv", "read_untis"]

# What --input-format offers: "auto" tells from the files, "csv" is the school folder.
FORMATS = ("auto", "csv", "fet", "untis", "asc")

_HEAD_BYTES = 4096  # enough to see an XML file's root element or a CSV header
_PROLOG = re.compile(rb"<\?.*?\?>|<!--.*?-->", re.DOTALL)
_ROOT = re.compile(rb"<([A-Za-z_][\w.:-]*)")
_WHAT_WE_READ = N_(
    "FET (a .fet file, NAME_timetable.csv), Untis (GPU001.TXT) or aSc Timetables (.xml)"
)


def _lazy(module: str, name: str) -> Reader:
    """A reader imported at its first call: telling a plain school folder from an
    export must not load the three readers and the XML parser behind them."""

    def read(path: Path) -> Week:
        reader: Reader = getattr(import_module(f"rotavel_app.school.importers.{module}"), name)
        return reader(path)

    read.__name__ = read.__qualname__ = name
    return read


read_asc = _lazy("asc", "read_asc")
read_fet = _lazy("fet", "read_fet")
read_fet_csv = _lazy("fet_csv", "read_fet_csv")
read_untis = _lazy("untis", "read_untis")


def read_export(path: StrPath, format: str | None = None) -> Week | None:
    """The week of the timetabling program's export at `path` (a file, or a
    folder holding one), or None for a plain school folder (or with format
    "csv"), which the caller reads itself. `format` is one of `FORMATS`;
    None or "auto" tells the format from the files."""
    if format not in (None, *FORMATS):
        raise ValueError(f"unknown import format {format!r}; one of {', '.join(FORMATS)}")
    if format == "csv":
        return None
    wanted = None if format in (None, "auto") else format
    if wanted is None and _holds_school_files(path):
        return None
    from pathlib import Path  # the readers' own: a school folder's run does without it

    path = Path(path)
    found = _in_folder(path, wanted) if path.is_dir() else _file_reader(path, wanted)
    if found is None:
        return None
    reader, file = found
    try:
        return reader(file)
    except MemoryError:
        # Nothing is said in here: the error's traceback holds the reader's
        # frames, and with them the parsed document, until this clause ends.
        pass
    raise InputError(
        _("%(path)s: too large to read in the memory available; is it the right file?")
        % {"path": file}
    ) from None


def _in_folder(folder: Path, wanted: str | None) -> tuple[Reader, Path] | None:
    """The export a folder holds (its own CSV files were looked for first):
    Untis, FET, then aSc."""
    if wanted in (None, "untis"):
        gpu = find_file(folder, UNTIS_TIMETABLE)
        if gpu is not None:
            return read_untis, folder
    if wanted in (None, "fet"):
        try:
            files = sorted(p for p in folder.iterdir() if p.is_file())
        except OSError as error:
            raise InputError(
                _("%(path)s: cannot read the folder: %(error)s")
                % {"path": folder, "error": error.strerror}
            ) from None
        for suffix, reader in (
            (TIMED_SUFFIX + ".fet", read_fet),
            (TIMETABLE_SUFFIX, read_fet_csv),
            (".fet", read_fet),
        ):
            fet = _the_one(folder, "FET", [p for p in files if p.name.endswith(suffix)])
            if fet is not None:
                return reader, fet
    if wanted in (None, "asc"):
        xml = [p for p in sorted(folder.glob("*.xml")) if p.is_file() and _root(p) == b"timetable"]
        asc = _the_one(folder, "aSc", xml)
        if asc is not None:
            return read_asc, asc
    if wanted is None:
        return None
    raise InputError(
        _("%(path)s: no %(export)s in the folder") % {"path": folder, "export": _described(wanted)}
    )


def _holds_school_files(path: StrPath) -> bool:
    """A school folder with the school's own CSV files, which come before any export."""
    return os.path.isdir(path) and any(
        os.path.exists(os.path.join(path, name)) for name in (TEACHER_FILE, TIMETABLE_FILE)
    )


def _the_one(folder: Path, program: str, found: list[Path]) -> Path | None:
    """The one export of `program` found in `folder`, or None; of several, the user chooses."""
    if len(found) > 1:
        raise InputError(
            _("%(path)s: several %(program)s exports (%(files)s); name the one to read")
            % {"path": folder, "program": program, "files": ", ".join(p.name for p in found)}
        )
    return found[0] if found else None


def _file_reader(path: Path, wanted: str | None) -> tuple[Reader, Path]:
    """The reader for one file, told by its name and its first bytes."""
    if not path.exists():
        raise InputError(_("%(path)s: file not found") % {"path": path})
    root = _root(path)
    if wanted in (None, "fet"):
        if root == b"fet" or (wanted and path.suffix.lower() == ".fet"):
            return read_fet, path
        if path.name.endswith(TIMETABLE_SUFFIX) or b"activity id" in _head(path).lower()[:200]:
            return read_fet_csv, path
    if wanted in (None, "untis") and (wanted or path.name.casefold() == UNTIS_TIMETABLE.casefold()):
        return read_untis, path
    if wanted in (None, "asc") and (wanted or root == b"timetable"):
        return read_asc, path
    expected = _described(wanted) if wanted else _(_WHAT_WE_READ)
    raise InputError(
        _("%(path)s: not a timetable export rotavel reads; expected %(expected)s")
        % {"path": path, "expected": expected}
    )


def _described(format: str) -> str:
    """The export of one program, as the refusals name it."""
    if format == "fet":
        return _("FET export (a .fet file or NAME_timetable.csv)")
    if format == "untis":
        return _("Untis export (%(file)s)") % {"file": UNTIS_TIMETABLE}
    return _("aSc Timetables XML export")


def _head(path: Path) -> bytes:
    """The first bytes of a regular file; none of anything else (a pipe must
    not be waited on), whose reader then says what is wrong with it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return b""
    with os.fdopen(fd, "rb") as file:
        try:
            return file.read(_HEAD_BYTES) if stat.S_ISREG(os.fstat(fd).st_mode) else b""
        except OSError:
            return b""


def _root(path: Path) -> bytes | None:
    """The name of an XML file's root element, from its first bytes."""
    head = _head(path).removeprefix(b"\xef\xbb\xbf").lstrip()
    if not head.startswith(b"<"):
        return None
    match = _ROOT.search(_PROLOG.sub(b"", head))
    return match[1] if match else None
